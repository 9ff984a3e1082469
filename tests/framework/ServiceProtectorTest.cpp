#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "framework/AsyncExecutor.h"
#include "framework/Convert.h"
#include "framework/ProcessManager.h"
#include "framework/Semaphore.h"
#include "framework/ServiceProtector.h"
#include "support/TempDir.h"
#include "support/TestEnv.h"

using Oxbrindale::Velmora::Framework::AsyncExecutor;
using Oxbrindale::Velmora::Framework::Convert;
using Oxbrindale::Velmora::Framework::ProcessManager;
using Oxbrindale::Velmora::Framework::Semaphore;
using Oxbrindale::Velmora::Framework::ServiceProtector;

namespace {

long long ElapsedMs(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

// The guard's intervals shrunk so a test takes well under a second per cycle.
ServiceProtector::Timing FastTiming() {
  ServiceProtector::Timing t;
  t.cycleMs = 50;
  t.firstDelayMs = 10;
  t.retryDelayMs = 20;
  t.commandWaitMs = 5000;
  return t;
}

// Number of running processes whose executable is path.
int CountProcesses(const std::string& path) {
  int count = 0;
  for (const auto& entry : Convert::ListFile("/proc", "[0-9]*")) {
    if (Convert::ReadLink(entry.fullPath + "/exe") == path) ++count;
  }
  return count;
}

bool WaitUntil(const std::function<bool()>& done, long ms = 10000) {
  auto start = std::chrono::steady_clock::now();
  while (!done()) {
    if (ElapsedMs(start) > ms) return false;
    usleep(5000);
  }
  return true;
}

int CountLines(const std::string& text, const std::string& prefix) {
  int n = 0;
  for (size_t pos = 0; (pos = text.find(prefix, pos)) != std::string::npos; pos += prefix.size()) ++n;
  return n;
}

// A program directory holding a copy of the helper program as the sibling
// daemon ("start" forks a copy that runs; "stop" ends it).
class ServiceProtectorConcurrency : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string command = std::string("cp '") + TARROW_TEST_HELPER + "' '" + dir.File("sibling") + "'";
    ASSERT_EQ(0, system(command.c_str()));
  }
  void TearDown() override {
    // Whatever sibling a test left runs from our temporary directory: ours to end.
    for (int i = 0; i < 100; ++i) {
      int pid = ProcessManager::GetPidByPath(dir.File("sibling"), false);
      if (pid == 0) break;
      kill(pid, SIGKILL);
      usleep(10000);
    }
  }
  std::string Sibling() const { return dir.File("sibling"); }

  tarrow_test::TempDir dir;
  tarrow_test::TestEnv env{dir.Path()};  // the program directory; /proc stays the real one
};

TEST_F(ServiceProtectorConcurrency, StartsAMissingSiblingOnce) {
  ServiceProtector guard("sibling", FastTiming());
  EXPECT_EQ(Sibling(), guard.GetPath());
  std::atomic<bool> gaveUp{false};
  guard.SetGiveUpAction([&] { gaveUp = true; });

  testing::internal::CaptureStdout();
  guard.StartProtection();
  bool started = WaitUntil([&] { return ProcessManager::GetPidByPath(Sibling(), false) != 0; });
  usleep(500000);  // about ten more checks with the sibling running
  guard.GetExecutor()->ExitAndMakeSure(2000);
  std::string out = testing::internal::GetCapturedStdout();

  EXPECT_TRUE(started);
  EXPECT_EQ(1, CountProcesses(Sibling()));
  EXPECT_EQ(1, CountLines(out, "FAIL ONE TIMES:" + Sibling() + "\n")) << out;
  EXPECT_FALSE(gaveUp);
  EXPECT_EQ(0, guard.GetExecutor()->GetExitCode());

  guard.StopProtectedService();
  EXPECT_TRUE(WaitUntil([&] { return CountProcesses(Sibling()) == 0; }));
}

// The guard asks the process it found last time first; once that one is
// gone it searches again and starts a new sibling.
TEST_F(ServiceProtectorConcurrency, StartsTheSiblingAgainAfterTheOneItSawEnded) {
  ServiceProtector guard("sibling", FastTiming());
  guard.StartProtectedService();
  int first = 0;
  ASSERT_TRUE(WaitUntil([&] { return (first = ProcessManager::GetPidByPath(Sibling(), false)) != 0; }));

  testing::internal::CaptureStdout();
  guard.StartProtection();
  usleep(300000);  // several checks finding the first sibling
  kill(first, SIGKILL);  // started by this test
  int second = 0;
  bool restarted = WaitUntil([&] {
    second = ProcessManager::GetPidByPath(Sibling(), false);
    return second != 0 && second != first;
  });
  usleep(300000);
  guard.GetExecutor()->ExitAndMakeSure(2000);
  std::string out = testing::internal::GetCapturedStdout();

  EXPECT_TRUE(restarted);
  EXPECT_EQ(1, CountLines(out, "FAIL ONE TIMES:" + Sibling() + "\n")) << out;
  EXPECT_EQ(1, CountProcesses(Sibling()));
}

TEST_F(ServiceProtectorConcurrency, QuietWhileTheSiblingRunsAndStopsAtOnce) {
  ServiceProtector guard("sibling");  // the real 5-s cycle
  guard.StartProtectedService();
  ASSERT_TRUE(WaitUntil([&] { return ProcessManager::GetPidByPath(Sibling(), false) != 0; }));

  testing::internal::CaptureStdout();
  guard.StartProtection();
  usleep(300000);
  auto start = std::chrono::steady_clock::now();
  guard.GetExecutor()->ExitAndMakeSure(2000);
  long long ms = ElapsedMs(start);
  std::string out = testing::internal::GetCapturedStdout();

  EXPECT_EQ("", out);
  EXPECT_LT(ms, 1900) << "the guard did not wake from its wait";
  EXPECT_EQ(0, guard.GetExecutor()->GetExitCode()) << "the guard had to be cancelled";
  EXPECT_EQ(AsyncExecutor::STATE_EXITED, guard.GetExecutor()->GetState());
  EXPECT_EQ(1, CountProcesses(Sibling()));
}

// The sibling's file is a script: it never shows up as a process of that
// file, so every check fails; the script logs each start attempt.
class ServiceProtectorFailingConcurrency : public ServiceProtectorConcurrency {
 protected:
  void SetUp() override {
    dir.Write("sibling", "#!/bin/sh\necho \"$1\" >> '" + dir.File("log") + "'\n");
    ASSERT_EQ(0, chmod(Sibling().c_str(), 0755));
  }
  int Attempts() { return CountLines(dir.Read("log"), "start\n"); }
};

TEST_F(ServiceProtectorFailingConcurrency, GivesUpAtTheFourthFailure) {
  ServiceProtector guard("sibling", FastTiming());
  Semaphore gaveUp;
  std::atomic<int> giveUps{0};
  guard.SetGiveUpAction([&] {
    ++giveUps;
    gaveUp.Post();
  });
  testing::internal::CaptureStdout();
  guard.StartProtection();
  EXPECT_TRUE(gaveUp.TimedWait(20000));
  // An action that returns ends the guard thread, with no further start.
  EXPECT_TRUE(guard.GetExecutor()->WaitExited(5000));
  std::string out = testing::internal::GetCapturedStdout();

  EXPECT_EQ(1, giveUps.load());
  EXPECT_EQ(3, Attempts());
  EXPECT_EQ(4, CountLines(out, "FAIL ONE TIMES:" + Sibling() + "\n")) << out;
}

// Failures an hour apart on the monotonic clock never add up; an hour's
// step of the wall clock (either way) between failures forgets none.
TEST_F(ServiceProtectorFailingConcurrency, FailuresFurtherApartThanTheWindowNeverGiveUp) {
  struct Row {
    const char* what;
    long long waitAheadMs;   // the wait clock moves on by this after each attempt
    long long wallStepSec;   // the wall clock steps by this after each attempt
    bool givesUp;
  };
  const std::vector<Row> rows = {Row{"an hour later each time", 3600000, 0, false},
                                 Row{"the wall clock an hour ahead each time", 0, 3600, true},
                                 Row{"the wall clock an hour back each time", 0, -3600, true}};
  for (size_t index = 0; index < rows.size(); ++index) {
    const Row& row = rows[index];
    SCOPED_TRACE(row.what);
    const std::string go = "go-" + std::to_string(index) + "-";
    // Each start attempt waits for the test to move the clock, so the next
    // check surely sees the new time.
    dir.Write("log", "");
    dir.Write("sibling", "#!/bin/sh\necho \"$1\" >> '" + dir.File("log") + "'\nn=$(wc -l < '" + dir.File("log") +
                             "')\nwhile [ ! -e '" + dir.File(go) +
                             "'$n ]; do sleep 0.01; done\n");
    long long wall = 1000000;
    env.FixWallClock(wall);
    ServiceProtector::Timing timing = FastTiming();
    timing.commandWaitMs = 60000;
    ServiceProtector guard("sibling", timing);
    std::atomic<bool> gaveUp{false};
    guard.SetGiveUpAction([&] { gaveUp = true; });

    testing::internal::CaptureStdout();
    guard.StartProtection();
    // Giving up comes at the fourth failure, after three start attempts.
    const int attempts = row.givesUp ? 3 : 6;
    for (int attempt = 1; attempt <= attempts; ++attempt) {
      if (!WaitUntil([&] { return Attempts() >= attempt; })) {
        ADD_FAILURE() << "no start attempt " << attempt;
        break;
      }
      env.AdvanceWaitClock(row.waitAheadMs);
      wall += row.wallStepSec;
      env.FixWallClock(wall);
      dir.Write(go + std::to_string(attempt), "");
    }
    if (row.givesUp) EXPECT_TRUE(WaitUntil([&] { return gaveUp.load(); }));
    guard.GetExecutor()->ExitAndMakeSure(5000);
    for (int later = attempts + 1; later <= attempts + 3; ++later) dir.Write(go + std::to_string(later), "");
    std::string out = testing::internal::GetCapturedStdout();

    EXPECT_EQ(row.givesUp, gaveUp.load());
    EXPECT_GE(CountLines(out, "FAIL ONE TIMES:"), row.givesUp ? 4 : 6);
  }
}

TEST_F(ServiceProtectorFailingConcurrency, StopAndStartCommandsRunTheSiblingWithTheirWord) {
  ServiceProtector guard("sibling");
  guard.StartProtectedService();
  guard.StopProtectedService(3000);
  EXPECT_EQ("start\nstop\n", dir.Read("log"));
}

TEST_F(ServiceProtectorFailingConcurrency, HangingCommandIsKilledAfterItsWait) {
  dir.Write("sibling", "#!/bin/sh\necho $$ > '" + dir.File("pid") + "'\nexec sleep 60\n");
  ServiceProtector guard("sibling");
  auto start = std::chrono::steady_clock::now();
  guard.StopProtectedService(300);
  long long ms = ElapsedMs(start);
  EXPECT_GE(ms, 300);
  EXPECT_LT(ms, 20000);
  int pid = std::atoi(dir.Read("pid").c_str());
  ASSERT_GT(pid, 1);
  EXPECT_NE(0, kill(pid, 0)) << "the hanging command still runs (or was left a zombie)";
}

// The default give-up ends the whole process with status 0 at the fourth
// failure, after flushing what it printed.
void GuardWithMissingSibling() {
  std::fflush(stdout);
  dup2(2, 1);  // the death test sees standard error only
  // Nothing to clean up afterwards: the process ends inside the guard.
  tarrow_test::TestEnv env("/nonexistent-tarrow-test-dir/");
  ServiceProtector guard("missing-sibling", FastTiming());
  guard.StartProtection();
  sleep(60);
  _exit(3);
}

TEST(ServiceProtectorGiveUpConcurrency, DefaultGiveUpEndsTheProcessWithStatusZero) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(GuardWithMissingSibling(), ::testing::ExitedWithCode(0),
              "^(FAIL ONE TIMES:[^\n]*/missing-sibling\n){4}$");
}

}  // namespace
