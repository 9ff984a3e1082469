#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "framework/ProcessManager.h"
#include "support/TempDir.h"

using Oxbrindale::Velmora::Framework::ProcessManager;

namespace {

long long ElapsedMs(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

// A copy of the helper program under dir, so that its path is this test's alone.
std::string CopyHelper(const tarrow_test::TempDir& dir, const std::string& name) {
  const std::string copy = dir.File(name);
  std::string command = std::string("cp '") + TARROW_TEST_HELPER + "' '" + copy + "'";
  if (system(command.c_str()) != 0) return "";
  return copy;
}

// Polls GetPidByPath until it finds a process (or gives up after 10 s).
int WaitForPidByPath(const std::string& path) {
  int found = 0;
  for (int i = 0; i < 1000 && found == 0; ++i) {
    found = ProcessManager::GetPidByPath(path, false);
    if (found == 0) usleep(10000);
  }
  return found;
}

TEST(ProcessManager, MakeArgsSplitsAtBlanksOutsideQuotes) {
  struct Case {
    std::string args;
    std::vector<std::string> want;
  };
  const Case cases[] = {
      {"", {"prog"}},
      {"-c 1 host1", {"prog", "-c", "1", "host1"}},
      {"create-md \"r0\"", {"prog", "create-md", "r0"}},
      {"a  b", {"prog", "a", "", "b"}},
      {"\"a b\" c", {"prog", "a b", "", "c"}},
      {"a ", {"prog", "a"}},
      {"\"\"", {"prog", ""}},
      {"x\ty", {"prog", "x\ty"}},
      {"ab\"c d\"", {"prog", "abc d"}},
      {"\"open end", {"prog", "open end"}},
  };
  for (const Case& c : cases) EXPECT_EQ(c.want, ProcessManager::_MakeArgs("prog", c.args)) << "[" << c.args << "]";
}

TEST(ProcessManager, ExitStatusOfFinishedChildren) {
  struct Case {
    bool pipes;
    std::string program;
    std::string args;
    int status;
  };
  const Case cases[] = {
      {true, "sh", "-c \"exit 3\"", 3 << 8},
      {false, "sh", "-c \"exit 0\"", 0},
      {true, "/nonexistent/program", "", 65280},
      {false, "no-such-program-on-path-xyz", "a b", 65280},
  };
  for (const Case& c : cases) {
    ProcessManager child;
    int pid = c.pipes ? child.StartProcess(c.program, c.args) : child.SimpleStartProcess(c.program, c.args);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(pid, child.GetPid());
    EXPECT_TRUE(child.WaitTerminated(20000)) << c.program;
    EXPECT_EQ(c.status, child.GetExitCode()) << c.program;
  }
}

TEST(ProcessManager, StatusIsKeptOnceReaped) {
  ProcessManager child;
  ASSERT_GT(child.StartProcess("sh", "-c \"exit 5\""), 0);
  child.WaitTerminated();
  EXPECT_EQ(5 << 8, child.GetExitCode());
  // Every later look answers from the kept status, without waiting or signalling again.
  EXPECT_FALSE(child.IsAlive());
  child.WaitTerminated();
  EXPECT_TRUE(child.WaitTerminated(1000));
  EXPECT_TRUE(child.Terminate());
  EXPECT_EQ(5 << 8, child.GetExitCode());
}

TEST(ProcessManager, KillsAChildThatOutlivesItsWait) {
  ProcessManager child;
  ASSERT_GT(child.SimpleStartProcess("sleep", "60"), 0);
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(child.WaitTerminated(500));
  EXPECT_GE(ElapsedMs(start), 500);
  EXPECT_TRUE(child.IsAlive());
  EXPECT_TRUE(child.Terminate());
  // Reaped by Terminate: no zombie left, death by signal 9 reported.
  EXPECT_FALSE(child.IsAlive());
  ASSERT_TRUE(WIFSIGNALED(child.GetExitCode()));
  EXPECT_EQ(SIGKILL, WTERMSIG(child.GetExitCode()));
  EXPECT_NE(0, kill(child.GetPid(), 0));
}

TEST(ProcessManager, RoundTripThroughCat) {
  ProcessManager cat;
  ASSERT_GT(cat.StartProcess("cat", ""), 0);
  cat.InputString("first line\nsecond line\n");
  EXPECT_EQ("first line\nsecond line\n", cat.GetOutputString());
  cat.WaitTerminated();
  EXPECT_EQ(0, cat.GetExitCode());
}

TEST(ProcessManager, OutputLinesEndAtTheirFirstNul) {
  ProcessManager child;
  ASSERT_GT(child.StartProcess("/usr/bin/printf", "ab\\000cd\\nef\\n"), 0);
  // The rest of a line after a NUL byte, its line break included, is dropped.
  EXPECT_EQ("abef\n", child.GetOutputString());
  child.WaitTerminated();
}

TEST(ProcessManager, LongOutputArrivesWhole) {
  ProcessManager child;
  ASSERT_GT(child.StartProcess("sh", "-c \"seq 1 20000\""), 0);
  std::string out = child.GetOutputString();
  child.WaitTerminated();
  std::ostringstream want;
  for (int i = 1; i <= 20000; ++i) want << i << "\n";
  EXPECT_EQ(want.str(), out);
}

TEST(ProcessManager, EmptyHandle) {
  ProcessManager none;
  EXPECT_EQ(-1, none.GetPid());
  EXPECT_EQ(-1, none.GetExitCode());
  EXPECT_EQ("", none.GetOutputString());
  EXPECT_FALSE(none.IsAlive());
  EXPECT_FALSE(none.WaitTerminated(10));
  EXPECT_FALSE(none.Terminate());
  none.InputString("nobody listens");
}

TEST(ProcessManager, ChildInheritsNoDescriptorOfTheParent) {
  int extra = open("/dev/null", O_RDONLY);  // inheritable on purpose
  ASSERT_GE(extra, 3);
  ProcessManager child;
  ASSERT_GT(child.StartProcess(TARROW_TEST_HELPER, "fds"), 0);
  std::string fds = child.GetOutputString();
  child.WaitTerminated();
  close(extra);
  EXPECT_EQ("0\n1\n2\n", fds);
  EXPECT_EQ(0, child.GetExitCode());
}

TEST(ProcessManager, ProcessThatIsNotOurChildIsNeverAliveNorSignalled) {
  tarrow_test::TempDir dir;
  const std::string daemon = CopyHelper(dir, "daemon");
  ASSERT_FALSE(daemon.empty());
  // "start" forks the real process and returns: it is our grandchild.
  ProcessManager starter;
  ASSERT_GT(starter.SimpleStartProcess(daemon, "start"), 0);
  ASSERT_TRUE(starter.WaitTerminated(20000));
  int grandchild = WaitForPidByPath(daemon);
  ASSERT_GT(grandchild, 1);

  ProcessManager adopted(grandchild);
  EXPECT_FALSE(adopted.IsAlive());
  EXPECT_EQ(-1, adopted.GetExitCode());
  EXPECT_TRUE(adopted.Terminate());
  EXPECT_EQ(0, kill(grandchild, 0)) << "Terminate signalled a process that is not our child";
  kill(grandchild, SIGKILL);  // started by this test
}

// GetPidByPath searches /proc; RunsPath asks one process.
TEST(ProcessManager, FindsAndRecognisesAProgramAlsoAfterItsFileWasDeleted) {
  tarrow_test::TempDir dir;
  const std::string copy = CopyHelper(dir, "prog copy");
  ASSERT_FALSE(copy.empty());
  EXPECT_EQ(0, ProcessManager::GetPidByPath(copy, false));

  ProcessManager child;
  int pid = child.SimpleStartProcess(copy, "sleep 30000");
  ASSERT_GT(pid, 0);
  // Until the exec is done the child still runs our own file.
  EXPECT_EQ(pid, WaitForPidByPath(copy));
  EXPECT_EQ(pid, ProcessManager::GetPidByPath(copy, true));

  EXPECT_TRUE(ProcessManager::RunsPath(pid, copy));
  EXPECT_FALSE(ProcessManager::RunsPath(static_cast<int>(getpid()), copy));

  ASSERT_EQ(0, unlink(copy.c_str()));
  EXPECT_EQ(pid, ProcessManager::GetPidByPath(copy, false));
  EXPECT_TRUE(ProcessManager::RunsPath(pid, copy));
  // Only the exact path, with or without the kernel's deletion mark.
  EXPECT_EQ(0, ProcessManager::GetPidByPath(copy + " (del", false));
  EXPECT_EQ(0, ProcessManager::GetPidByPath(dir.File("prog"), false));
  EXPECT_FALSE(ProcessManager::RunsPath(pid, copy + " (del"));
  EXPECT_FALSE(ProcessManager::RunsPath(pid, dir.File("prog")));

  EXPECT_TRUE(child.Terminate());
  EXPECT_FALSE(ProcessManager::RunsPath(pid, copy)) << "an ended process";
  EXPECT_FALSE(ProcessManager::RunsPath(0, copy));
  EXPECT_FALSE(ProcessManager::RunsPath(-1, copy));
}

TEST(ProcessManager, GetPidByPathSkipsItself) {
  tarrow_test::TempDir dir;
  const std::string copy = CopyHelper(dir, "self");
  ASSERT_FALSE(copy.empty());
  ProcessManager child;
  ASSERT_GT(child.StartProcess(copy, "pidbypath"), 0);
  std::istringstream out(child.GetOutputString());
  child.WaitTerminated();
  int self = 0, skipping = -1, notSkipping = -1;
  out >> self >> skipping >> notSkipping;
  EXPECT_EQ(child.GetPid(), self);
  EXPECT_EQ(0, skipping);
  EXPECT_EQ(self, notSkipping);
}

// Several threads start children with pipes while other threads start
// long-running children: no child may hold another child's pipe open.
TEST(ProcessManagerConcurrency, ParallelChildrenGetTheirOutputPromptly) {
  std::atomic<bool> done{false};
  std::vector<int> longPids;
  std::thread longStarter([&] {
    while (!done.load() && longPids.size() < 60) {
      ProcessManager sleeper;
      int pid = sleeper.StartProcess("sleep", "60");
      if (pid > 0) longPids.push_back(pid);
      usleep(10000);
    }
  });

  auto start = std::chrono::steady_clock::now();
  std::atomic<int> good{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < 8; ++t) {
    workers.emplace_back([t, &good] {
      for (int i = 0; i < 5; ++i) {
        ProcessManager echo;
        const std::string word = "w" + std::to_string(t) + "-" + std::to_string(i);
        if (echo.StartProcess("echo", word) < 0) continue;
        std::string out = echo.GetOutputString();
        echo.WaitTerminated();
        if (out == word + "\n" && echo.GetExitCode() == 0) ++good;
      }
    });
  }
  for (std::thread& w : workers) w.join();
  long long ms = ElapsedMs(start);
  done.store(true);
  longStarter.join();

  for (int pid : longPids) {
    ProcessManager sleeper(pid);
    sleeper.Terminate();
  }
  EXPECT_EQ(40, good.load());
  EXPECT_LT(ms, 30000) << "a reader waited for an unrelated long-running child";
}

}  // namespace
