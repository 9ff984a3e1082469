#include "support/Thrown.h"

#include "framework/Exception.h"

namespace tarrow_test {

std::pair<std::string, std::string> Thrown(const std::function<void()>& call) {
  try {
    call();
  } catch (Exception* e) {
    std::pair<std::string, std::string> result(e->code, e->message);
    delete e;
    return result;
  }
  return {"", ""};
}

std::string ThrownCode(const std::function<void()>& call) { return Thrown(call).first; }

std::string ThrownText(const std::function<void()>& call) {
  const std::pair<std::string, std::string> thrown = Thrown(call);
  return thrown.first.empty() && thrown.second.empty() ? std::string() : thrown.first + ": " + thrown.second;
}

}  // namespace tarrow_test
