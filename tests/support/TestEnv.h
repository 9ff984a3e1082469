#ifndef TARROW_TESTS_SUPPORT_TESTENV_H
#define TARROW_TESTS_SUPPORT_TESTENV_H

#include <atomic>
#include <map>
#include <string>

#include "framework/Env.h"

namespace tarrow_test {

// An Env for tests: the program directory and system files live under a
// temporary root, and the wall clock can be fixed. Installs itself on
// construction and restores the default on destruction.
class TestEnv : public Oxbrindale::Velmora::Framework::Env {
 public:
  // appPath: program directory with trailing '/'. systemRoot: prefix put in
  // front of system paths ("" keeps the real ones).
  explicit TestEnv(std::string appPath, std::string systemRoot = "");
  ~TestEnv() override;

  std::string AppPath() override { return appPath_; }
  std::string SystemPath(const std::string& path) override { return systemRoot_ + path; }
  struct timespec WallClock() override;

  // Fix the wall clock at this time (seconds, nanoseconds); FollowRealClock() undoes it.
  void FixWallClock(long long seconds, long nanoseconds = 0);
  void FollowRealClock();

 private:
  std::string appPath_;
  std::string systemRoot_;
  std::atomic<bool> fixed_{false};
  std::atomic<long long> seconds_{0};
  std::atomic<long> nanoseconds_{0};
};

}  // namespace tarrow_test

#endif
