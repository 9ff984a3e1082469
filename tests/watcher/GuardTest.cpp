// tarrowguard as real processes: the daemon, its guard of tarrowd (a fake
// that logs each command word), "stop" and the single-instance rule. Each
// test runs in a sandbox of its own (program directory and namespaces).
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/DaemonSandbox.h"
#include "support/SkipRule.h"

namespace {

using tarrow_test::CountLines;
using tarrow_test::DaemonSandbox;
using tarrow_test::SignalMask;
using tarrow_test::Threads;
using tarrow_test::SessionOf;
using tarrow_test::WaitUntil;

const char kAlreadyRunning[] = "process is already running..\n";

// A sandbox with the program tarrowguard.
class GuardTest : public ::testing::Test {
 protected:
  virtual const char* Program() const { return TARROW_GUARD; }

  void SetUp() override {
    box.reset(new DaemonSandbox(Program(), TARROW_FAKE_TARROWD));
    if (!box->Ready()) TARROW_SKIP_UNLESS_PRIVILEGED("no private namespaces here (root needed)");
  }
  // The watcher daemons (DaemonSandbox::Daemons).
  std::vector<int> Daemons() { return box->Daemons("tarrowguard"); }

  // No process of tarrowguard is on its way to becoming a daemon: each leads
  // its own session or belongs to a daemon's (a daemon forks, and only then
  // leaves the session of the command that started it).
  bool Settled() {
    const std::vector<int> pids = box->Running("tarrowguard");
    for (int pid : pids) {
      const int session = SessionOf(pid);
      if (session != 0 && std::find(pids.begin(), pids.end(), session) == pids.end()) return false;
    }
    return true;
  }

  // The running fake tarrowd daemon (it writes its pid when it comes up), 0
  // when there is none.
  int Tarrowd() {
    const int pid = std::atoi(box->ReadFile("tarrowd.pid").c_str());
    const std::vector<int> running = box->Running("tarrowd");
    return pid > 0 && std::find(running.begin(), running.end(), pid) != running.end() ? pid : 0;
  }

  // "start", then the daemon and the tarrowd it started; the daemon's pid.
  int StartDaemon() {
    DaemonSandbox::Result started = box->Run({"start"});
    EXPECT_EQ(0, started.status);
    EXPECT_EQ("", started.output);
    int daemon = 0;
    EXPECT_TRUE(WaitUntil([&] {
      std::vector<int> pids = Daemons();
      daemon = pids.size() == 1 ? pids[0] : 0;
      return daemon != 0 && Tarrowd() != 0;
    })) << "no daemon guarding tarrowd";
    return daemon;
  }

  std::unique_ptr<DaemonSandbox> box;
};

// A sandbox with the copy of tarrowguard whose intervals are short: a guard
// cycle of 100 ms, a stop wait of 3 s.
class FastGuardTest : public GuardTest {
 protected:
  const char* Program() const override { return TARROW_GUARD_FAST; }
};

TEST_F(GuardTest, OtherWordsDoNothing) {
  for (const char* word : {"hello", "START", "Stop", "bs_notify", ""}) {
    DaemonSandbox::Result result = box->Run({word});
    EXPECT_EQ(0, result.status) << word;
    EXPECT_EQ("", result.output) << word;
  }
  EXPECT_TRUE(box->Running("tarrowd").empty());
  EXPECT_EQ("", box->ReadFile("tarrowd.log")) << "tarrowd was run";
}

TEST_F(GuardTest, StartGuardsTarrowdAndASecondStartIsRefused) {
  const int daemon = StartDaemon();
  EXPECT_EQ(1, CountLines(box->ReadFile("tarrowd.log"), "start"));

  DaemonSandbox::Result second = box->Run({"start"});
  EXPECT_EQ(254, second.status);
  EXPECT_EQ(kAlreadyRunning, second.output);
  EXPECT_EQ(std::vector<int>{daemon}, Daemons());
}

// Signal 15 never interrupts a thread of the daemon: no handler is
// installed, every thread but the main one has it blocked, and the main
// thread takes it in sigwaitinfo (which unblocks it while it waits).
TEST_F(GuardTest, DaemonTakesSignal15OnItsMainThreadOnly) {
  const int daemon = StartDaemon();
  const std::string mainThread = "/proc/" + std::to_string(daemon) + "/task/" + std::to_string(daemon) + "/status";
  // The guard thread runs beside the main thread.
  ASSERT_TRUE(WaitUntil([&] { return Threads(daemon).size() >= 2; }));
  const unsigned long long term = 1ULL << (SIGTERM - 1);
  for (const std::string& status : Threads(daemon)) {
    EXPECT_EQ(0u, SignalMask(status, "SigCgt") & term) << status;
    if (status != mainThread) {
      EXPECT_NE(0u, SignalMask(status, "SigBlk") & term) << status;
    }
  }
}

TEST_F(GuardTest, StopEndsTheDaemonAndLeavesTarrowdRunning) {
  const int daemon = StartDaemon();
  const int tarrowd = Tarrowd();

  DaemonSandbox::Result stopped = box->Run({"stop"});
  EXPECT_EQ(0, stopped.status);
  EXPECT_TRUE(box->Running("tarrowguard").empty());
  const int status = box->WaitExit(daemon);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  EXPECT_EQ(tarrowd, Tarrowd());
  EXPECT_EQ(1u, box->Running("tarrowd").size());
  EXPECT_EQ(0, CountLines(box->ReadFile("tarrowd.log"), "stop"));
}

TEST_F(GuardTest, StopWithNoWatcherRunning) {
  DaemonSandbox::Result stopped = box->Run({"stop"});
  EXPECT_EQ(253, stopped.status);
  EXPECT_EQ("", stopped.output);
}

TEST_F(FastGuardTest, RestartsTarrowdAfterKill9) {
  StartDaemon();
  const int first = Tarrowd();
  ASSERT_NE(0, first);
  ASSERT_EQ(0, kill(first, SIGKILL));

  EXPECT_TRUE(WaitUntil([&] {
    const int now = Tarrowd();
    return now != 0 && now != first;
  })) << "tarrowd was not started again";
  EXPECT_EQ(2, CountLines(box->ReadFile("tarrowd.log"), "start"));
}

// A tarrowd that never comes up: the first start and three more, then the
// guard gives up and the daemon ends with status 0.
TEST_F(FastGuardTest, GivesUpAfterFourFailures) {
  { std::ofstream(box->Dir() + "tarrowd.broken"); }
  ASSERT_EQ(0, box->Run({"start"}).status);
  pid_t daemon = 0;
  const int status = box->WaitForkedExit(&daemon, 60000);
  ASSERT_NE(0, daemon) << "the guard never gave up";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  EXPECT_TRUE(box->Running("tarrowguard").empty());
  EXPECT_EQ(4, CountLines(box->ReadFile("tarrowd.log"), "start"));
  EXPECT_TRUE(box->Running("tarrowd").empty());
}

// "stop" ends every process of the executable, not only the first found: a
// foreground guard beside the daemon ends too (by the default action of 15).
TEST_F(FastGuardTest, StopEndsEveryWatcher) {
  const int daemon = StartDaemon();
  const int tarrowd = Tarrowd();
  const pid_t foreground = box->Launch({}, false);
  ASSERT_TRUE(WaitUntil([&] {
    std::vector<int> pids = box->Running("tarrowguard");
    return std::find(pids.begin(), pids.end(), foreground) != pids.end();
  }));

  DaemonSandbox::Result stopped = box->Run({"stop"});
  EXPECT_EQ(0, stopped.status);
  EXPECT_TRUE(box->Running("tarrowguard").empty());
  const int daemonStatus = box->WaitExit(daemon);
  EXPECT_TRUE(WIFEXITED(daemonStatus) && WEXITSTATUS(daemonStatus) == 0) << "status " << daemonStatus;
  const int foregroundStatus = box->WaitExit(foreground);
  EXPECT_TRUE(WIFSIGNALED(foregroundStatus) && WTERMSIG(foregroundStatus) == SIGTERM) << "status " << foregroundStatus;
  EXPECT_EQ(tarrowd, Tarrowd());
}

// A watcher that does not end on signal 15 (here: stopped) is killed once
// the stop wait has run out, and "stop" still answers 0.
TEST_F(FastGuardTest, StopKillsAWatcherThatDoesNotEnd) {
  const int daemon = StartDaemon();
  ASSERT_EQ(0, kill(daemon, SIGSTOP));

  DaemonSandbox::Result stopped = box->Run({"stop"});
  EXPECT_EQ(0, stopped.status);
  EXPECT_TRUE(box->Running("tarrowguard").empty());
  const int status = box->WaitExit(daemon);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;
}

// Another "start" between its look for a running watcher and its fork holds
// the lock: this one must not become a second daemon.
TEST_F(GuardTest, StartIsRefusedWhileTheLockIsHeld) {
  int fd = open((box->Dir() + "tarrowguard.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(0, flock(fd, LOCK_EX | LOCK_NB));

  DaemonSandbox::Result refused = box->Run({"start"});
  EXPECT_EQ(254, refused.status);
  EXPECT_EQ(kAlreadyRunning, refused.output);
  EXPECT_TRUE(box->Running("tarrowguard").empty());

  close(fd);
  StartDaemon();
}

// Many "start"s at once, again and again: never more than one daemon, and
// each command either started it or was refused. (They may all refuse, each
// seeing another: a later "start" then makes the daemon.)
TEST_F(GuardTest, StartsAtOnceGiveOneDaemon) {
  for (int round = 0; round < 5; ++round) {
    std::vector<pid_t> commands;
    for (int i = 0; i < 8; ++i) commands.push_back(box->Launch({"start"}));
    for (pid_t command : commands) {
      DaemonSandbox::Result result = box->Finish(command);
      EXPECT_TRUE(result.status == 0 || (result.status == 254 && result.output == kAlreadyRunning))
          << result.status << " " << result.output;
    }
    ASSERT_TRUE(WaitUntil([&] { return Settled(); }));
    EXPECT_LE(Daemons().size(), 1u) << "round " << round;
    if (Daemons().empty()) StartDaemon();
    ASSERT_EQ(0, box->Run({"stop"}).status);
  }
}

}  // namespace
