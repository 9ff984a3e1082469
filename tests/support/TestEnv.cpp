#include "support/TestEnv.h"

#include <utility>

namespace tarrow_test {

using Oxbrindale::Velmora::Framework::Env;

TestEnv::TestEnv(std::string appPath, std::string systemRoot)
    : appPath_(std::move(appPath)), systemRoot_(std::move(systemRoot)) {
  Env::Set(this);
}

TestEnv::~TestEnv() { Env::Set(nullptr); }

struct timespec TestEnv::WallClock() {
  if (!fixed_.load()) return Env::WallClock();
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(seconds_.load());
  ts.tv_nsec = nanoseconds_.load();
  return ts;
}

void TestEnv::FixWallClock(long long seconds, long nanoseconds) {
  seconds_.store(seconds);
  nanoseconds_.store(nanoseconds);
  fixed_.store(true);
}

void TestEnv::FollowRealClock() { fixed_.store(false); }

}  // namespace tarrow_test
