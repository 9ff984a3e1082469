#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "framework/CommandRunner.h"
#include "framework/Env.h"
#include "framework/ProcessCommandRunner.h"

using Oxbrindale::Velmora::Framework::CommandResult;
using Oxbrindale::Velmora::Framework::Env;
using Oxbrindale::Velmora::Framework::ProcessCommandRunner;

namespace {

long long ElapsedMs(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

TEST(CommandRunner, EnvDefaultIsOneRealRunner) {
  auto* runner = Env::Get()->Runner();
  ASSERT_NE(nullptr, dynamic_cast<ProcessCommandRunner*>(runner));
  EXPECT_EQ(runner, Env::Get()->Runner());
}

TEST(CommandRunner, RunReportsStatusAndOutput) {
  struct Case {
    std::vector<std::string> argv;
    bool capture;
    int status;
    std::string output;
  };
  const Case cases[] = {
      // Arguments go through unsplit and unquoted.
      {{"/bin/echo", "a  b", "\"q\""}, true, 0, "a  b \"q\"\n"},
      {{"sh", "-c", "echo out; exit 3"}, true, 3 << 8, "out\n"},
      {{"sh", "-c", "echo out"}, false, 0, ""},
      // Standard input is /dev/null: cat ends at once.
      {{"cat"}, true, 0, ""},
      {{"/nonexistent/program"}, true, 255 << 8, ""},
      {{"no-such-program-on-path-xyz"}, true, 255 << 8, ""},
  };
  ProcessCommandRunner runner;
  for (const Case& c : cases) {
    CommandResult r = runner.Run(c.argv, 20000, c.capture);
    EXPECT_EQ(c.status, r.status) << c.argv[0];
    EXPECT_EQ(c.output, r.output) << c.argv[0];
    EXPECT_FALSE(r.timedOut) << c.argv[0];
  }
}

TEST(CommandRunner, EmptyArgvRunsNothing) {
  ProcessCommandRunner runner;
  CommandResult r = runner.Run({}, 1000, true);
  EXPECT_EQ(-1, r.status);
}

TEST(CommandRunner, KillsACommandThatOutlivesItsTime) {
  ProcessCommandRunner runner;
  for (bool capture : {true, false}) {
    auto start = std::chrono::steady_clock::now();
    CommandResult r = runner.Run({"sh", "-c", "echo early; exec sleep 30"}, 400, capture);
    long long ms = ElapsedMs(start);
    EXPECT_TRUE(r.timedOut);
    ASSERT_TRUE(WIFSIGNALED(r.status));
    EXPECT_EQ(SIGKILL, WTERMSIG(r.status));
    EXPECT_GE(ms, 390);
    EXPECT_LT(ms, 20000);
    if (capture) {
      EXPECT_EQ("early\n", r.output);
    }
  }
}

TEST(CommandRunner, DoesNotWaitForABackgroundGrandchildHoldingTheOutput) {
  ProcessCommandRunner runner;
  auto start = std::chrono::steady_clock::now();
  CommandResult r = runner.Run({"sh", "-c", "sleep 20 & echo $!"}, 60000, true);
  long long ms = ElapsedMs(start);
  ASSERT_EQ(0, r.status);
  EXPECT_FALSE(r.timedOut);
  EXPECT_LT(ms, 15000);
  int grandchild = std::stoi(r.output);
  ASSERT_GT(grandchild, 1);
  kill(grandchild, SIGKILL);  // started by this test
}

TEST(CommandRunner, ChildGetsNoDescriptorAboveTwoAndDefaultSignals) {
  int extra = open("/dev/null", O_RDONLY);  // inheritable on purpose
  ASSERT_GE(extra, 3);
  struct sigaction old;
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &old);
  sigset_t block, oldMask;
  sigemptyset(&block);
  sigaddset(&block, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &block, &oldMask);

  ProcessCommandRunner runner;
  CommandResult fds = runner.Run({TARROW_TEST_HELPER, "fds"}, 20000, true);
  CommandResult sigs = runner.Run({"grep", "-E", "^Sig(Ign|Blk)", "/proc/self/status"}, 20000, true);

  // The spawning thread gets its own mask back: every signal is blocked
  // only while a child starts.
  sigset_t after;
  pthread_sigmask(SIG_SETMASK, nullptr, &after);
  const bool usr1Blocked = sigismember(&after, SIGUSR1) == 1;
  const bool termBlocked = sigismember(&after, SIGTERM) == 1;

  pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
  sigaction(SIGPIPE, &old, nullptr);
  close(extra);

  EXPECT_TRUE(usr1Blocked);
  EXPECT_FALSE(termBlocked);

  EXPECT_EQ("0\n1\n2\n", fds.output);
  EXPECT_EQ("SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n", sigs.output);
}

// Children of many threads start at once, each from its own thread's
// arguments and descriptors, while the other threads go on allocating.
TEST(CommandRunner, ThreadsStartChildrenAtOnce) {
  constexpr int kThreads = 8;
  constexpr int kRuns = 25;
  ProcessCommandRunner runner;
  std::vector<std::string> wrong(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&runner, &wrong, t] {
      for (int i = 0; i < kRuns && wrong[t].empty(); ++i) {
        std::vector<std::string> noise(64, std::string(100 + t * 10 + i, 'x'));
        const std::string word = std::to_string(t) + "-" + std::to_string(i);
        CommandResult r = runner.Run({"/bin/echo", word}, 20000, true);
        if (r.status != 0 || r.output != word + "\n") wrong[t] = word + " gave [" + r.output + "]";
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ("", wrong[t]) << "thread " << t;
}

TEST(CommandRunner, SystemRunsAShellLine) {
  ProcessCommandRunner runner;
  EXPECT_EQ(0, runner.System("test 1 -eq 1"));
  EXPECT_EQ(7 << 8, runner.System("exit 7"));
}

}  // namespace
