#ifndef TARROW_TESTS_PROTOCOL_CONNECTIONTESTSUPPORT_H
#define TARROW_TESTS_PROTOCOL_CONNECTIONTESTSUPPORT_H

#include <chrono>
#include <functional>
#include <string>

// Small helpers the connection tests share (the ports: support/LoopbackPorts.h).
namespace tarrow_test {

using SteadyClock = std::chrono::steady_clock;

// Milliseconds from start until now.
long long MsSince(SteadyClock::time_point start);

// Polls until condition holds; false when it still does not after seconds
// (reached only when something is broken).
bool Eventually(const std::function<bool()>& condition, int seconds = 30);

// Runs call; the code of the Exception* it threw, "" when none.
std::string FailureCode(const std::function<void()>& call);

// Runs call; code and message of the Exception* it threw ("<code> <message>"),
// "" when none.
std::string FailureText(const std::function<void()>& call);

}  // namespace tarrow_test

#endif
