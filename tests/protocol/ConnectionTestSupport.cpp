#include "ConnectionTestSupport.h"

#include <thread>

#include "framework/Exception.h"

namespace tarrow_test {

long long MsSince(SteadyClock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start).count();
}

bool Eventually(const std::function<bool()>& condition, int seconds) {
  const auto deadline = SteadyClock::now() + std::chrono::seconds(seconds);
  while (!condition()) {
    if (SteadyClock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

std::string FailureCode(const std::function<void()>& call) {
  try {
    call();
  } catch (Exception* e) {
    std::string code = e->code;
    delete e;
    return code;
  }
  return "";
}

std::string FailureText(const std::function<void()>& call) {
  try {
    call();
  } catch (Exception* e) {
    std::string text = e->code + " " + e->message;
    delete e;
    return text;
  }
  return "";
}

}  // namespace tarrow_test
