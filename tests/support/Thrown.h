#ifndef TARROW_TESTS_SUPPORT_THROWN_H
#define TARROW_TESTS_SUPPORT_THROWN_H

#include <functional>
#include <string>
#include <utility>

namespace tarrow_test {

// Runs call and answers the code and message of the Exception* it threw
// (deleting it); "" and "" when it threw none.
std::pair<std::string, std::string> Thrown(const std::function<void()>& call);
// Thrown(call).first.
std::string ThrownCode(const std::function<void()>& call);
// "<code>: <message>" of the Exception* call threw; "" when it threw none.
std::string ThrownText(const std::function<void()>& call);

}  // namespace tarrow_test

#endif
