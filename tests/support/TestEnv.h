#ifndef TARROW_TESTS_SUPPORT_TESTENV_H
#define TARROW_TESTS_SUPPORT_TESTENV_H

#include <atomic>
#include <map>
#include <string>

#include "framework/Env.h"

namespace tarrow_test {

// An Env for tests: the program directory and system files live under a
// temporary root, and the wall clock can be fixed. In force from construction
// to destruction; a TestEnv made while another is in force hides it until it
// is destroyed.
//
// A TestEnv is never installed with Env::Set itself. The test program
// installs one Env that lives until the process ends and hands every call to
// the TestEnv in force (the default behaviour while there is none).
// Destruction takes the TestEnv out and waits for the calls already inside
// it, so a background thread that outlives the test (event bus, thread
// pool, alarm executors) never calls into a destroyed TestEnv; from then on
// it sees the default Env. A subclass whose overrides use members with a
// destructor calls Leave() first in its own destructor.
class TestEnv : public Oxbrindale::Velmora::Framework::Env {
 public:
  // appPath: program directory with trailing '/'. systemRoot: prefix put in
  // front of system paths ("" keeps the real ones).
  explicit TestEnv(std::string appPath, std::string systemRoot = "");
  ~TestEnv() override;
  TestEnv(const TestEnv&) = delete;
  TestEnv& operator=(const TestEnv&) = delete;

  std::string AppPath() override { return appPath_; }
  std::string SystemPath(const std::string& path) override { return systemRoot_ + path; }
  struct timespec WallClock() override;

  // Fix the wall clock at this time (seconds, nanoseconds); FollowRealClock() undoes it.
  void FixWallClock(long long seconds, long nanoseconds = 0);
  void FollowRealClock();

  // WaitClockMs() runs ms ahead from now on (forward only: a wait under
  // way never lasts longer for it; it may end sooner). Timed waits on the
  // semaphores and condition deadlines are not moved.
  long long WaitClockMs() override;
  void AdvanceWaitClock(long long ms);

  // Takes this TestEnv out of force and waits until no thread is inside one
  // of its calls any more. Called by the destructor; idempotent.
  void Leave();

  // The Env the test program installs; it lives until the process ends.
  static Oxbrindale::Velmora::Framework::Env* Installed();

 private:
  std::string appPath_;
  std::string systemRoot_;
  std::atomic<bool> fixed_{false};
  std::atomic<long long> seconds_{0};
  std::atomic<long> nanoseconds_{0};
  std::atomic<long long> waitAhead_{0};
  std::atomic<bool> entered_{false};
};

}  // namespace tarrow_test

#endif
