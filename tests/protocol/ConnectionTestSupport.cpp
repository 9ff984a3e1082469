#include "ConnectionTestSupport.h"

#include <thread>

#include "support/Thrown.h"

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

std::string FailureCode(const std::function<void()>& call) { return tarrow_test::ThrownCode(call); }

std::string FailureText(const std::function<void()>& call) {
  const std::pair<std::string, std::string> thrown = tarrow_test::Thrown(call);
  return thrown.first.empty() ? "" : thrown.first + " " + thrown.second;
}

}  // namespace tarrow_test
