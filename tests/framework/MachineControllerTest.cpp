#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "framework/CommandRunner.h"
#include "framework/MachineController.h"
#include "support/TempDir.h"
#include "support/TestEnv.h"

using Oxbrindale::Velmora::Framework::CommandResult;
using Oxbrindale::Velmora::Framework::CommandRunner;
using Oxbrindale::Velmora::Framework::MachineController;

namespace {

// Records every command instead of running it; lsof answers what the test says.
class FakeRunner : public CommandRunner {
 public:
  int System(const std::string& command) override {
    commands.push_back({"system", command});
    return systemResult;
  }
  CommandResult Run(const std::vector<std::string>& argv, long timeoutMs, bool) override {
    commands.push_back(argv);
    timeouts.push_back(timeoutMs);
    CommandResult r;
    r.status = 0;
    if (!argv.empty() && argv[0] == "lsof") {
      r.status = lsofStatus;
      r.output = lsofOutput;
    }
    return r;
  }

  std::vector<std::vector<std::string>> commands;
  std::vector<long> timeouts;
  int systemResult = 0;
  int lsofStatus = 0;
  std::string lsofOutput;
};

class FakeRunnerEnv : public tarrow_test::TestEnv {
 public:
  explicit FakeRunnerEnv(const std::string& root) : TestEnv(root, root) {}
  ~FakeRunnerEnv() override { Leave(); }  // out of force before runner goes
  CommandRunner* Runner() override { return &runner; }
  FakeRunner runner;
};

class MachineControllerTest : public ::testing::Test {
 protected:
  tarrow_test::TempDir dir;
  FakeRunnerEnv env{dir.Path()};
};

const char kHeader[] = "COMMAND     PID USER   FD   TYPE DEVICE SIZE/OFF NODE NAME\n";

std::string LsofLine(int pid) {
  return "bash     " + std::to_string(pid) + " root  cwd    DIR  253,1     4096    2 /mnt/data\n";
}

TEST_F(MachineControllerTest, RestartAndShutdownRunTheirShellCommands) {
  env.runner.systemResult = 4 << 8;
  EXPECT_EQ(4 << 8, MachineController::RestartComputer());
  EXPECT_EQ(4 << 8, MachineController::ShutdownComputer());
  const std::vector<std::vector<std::string>> want = {{"system", "shutdown -r 0"}, {"system", "shutdown -h 0"}};
  EXPECT_EQ(want, env.runner.commands);
}

TEST_F(MachineControllerTest, GetUsingPidReadsLsofListing) {
  const int self = static_cast<int>(getpid());
  struct Case {
    int status;
    std::string output;
    std::vector<int> want;
  };
  const Case cases[] = {
      {0, kHeader + LsofLine(812) + LsofLine(812) + LsofLine(907), {812, 907}},
      {0, kHeader + LsofLine(self) + LsofLine(907), {907}},
      {0, kHeader, {}},
      {0, "", {}},
      {1 << 8, kHeader + LsofLine(812), {}},
      {0, std::string(kHeader) + "\n" + "x   notapid root\n" + LsofLine(33), {33}},
  };
  for (const Case& c : cases) {
    env.runner.commands.clear();
    env.runner.lsofStatus = c.status;
    env.runner.lsofOutput = c.output;
    EXPECT_EQ(c.want, MachineController::GetUsingPid("/mnt/my data")) << c.output;
    // The path is one argument, blanks and all.
    const std::vector<std::vector<std::string>> ran = {{"lsof", "/mnt/my data"}};
    EXPECT_EQ(ran, env.runner.commands);
  }
}

TEST_F(MachineControllerTest, KillUsingProcessKillsOnlyOtherRealProcesses) {
  const int self = static_cast<int>(getpid());
  env.runner.lsofOutput = std::string(kHeader) + "init      1 root cwd\n" + "x  0 root cwd\n" + "y -7 root cwd\n" +
                          LsofLine(self) + LsofLine(4242) + LsofLine(77) + LsofLine(4242);
  MachineController::KillUsingProcess("/dev/drbd0");
  const std::vector<std::vector<std::string>> want = {{"lsof", "/dev/drbd0"}, {"kill", "4242"}, {"kill", "77"}};
  EXPECT_EQ(want, env.runner.commands);
}

// A release of a mirror waits for lsof and every kill: none of them may hang it.
TEST_F(MachineControllerTest, LsofAndKillRunForABoundedTime) {
  env.runner.lsofOutput = kHeader + LsofLine(4242);
  MachineController::KillUsingProcess("/mnt/data");
  ASSERT_EQ(2u, env.runner.timeouts.size());
  for (long timeout : env.runner.timeouts) {
    EXPECT_GT(timeout, 0);
    EXPECT_LE(timeout, 60000);
  }
}

TEST_F(MachineControllerTest, KillUsingProcessWithoutUsersKillsNothing) {
  env.runner.lsofStatus = 1 << 8;  // lsof's answer when nothing uses the path
  MachineController::KillUsingProcess("/dev/drbd1");
  ASSERT_EQ(1u, env.runner.commands.size());
  EXPECT_EQ("lsof", env.runner.commands[0][0]);
}

TEST(MachineController, HostNameIsTheKernelsName) {
  char name[256] = {0};
  ASSERT_EQ(0, gethostname(name, sizeof(name) - 1));
  EXPECT_EQ(name[0] != '\0' ? std::string(name) : "NONAME", MachineController::GetHostName());
}

// CloseAllFD runs in a child of its own (a death test re-runs this program):
// it must not close the descriptors of the test program.
bool AllClosedBut(const std::vector<int>& open) {
  for (int fd = 0; fd < 10; ++fd) {
    bool isOpen = fcntl(fd, F_GETFD) != -1;
    bool wantOpen = false;
    for (int o : open) wantOpen = wantOpen || o == fd;
    if (isOpen != wantOpen) return false;
  }
  return true;
}

void OpenUpTo9() {
  for (int fd = 0; fd < 10; ++fd) {
    if (fcntl(fd, F_GETFD) == -1) {
      int opened = open("/dev/null", O_RDONLY);
      if (opened != fd) dup2(opened, fd);
    }
  }
}

// Opens 0 to 9, closes with keep/count, exits 0 when rc and the descriptors left open are as wanted.
void CloseAllCase(const int* keep, int count, int wantRc, const std::vector<int>& wantOpen) {
  OpenUpTo9();
  int rc = MachineController::CloseAllFD(keep, count);
  _exit(rc == wantRc && AllClosedBut(wantOpen) ? 0 : 1);
}

const int kKeep[] = {1, 2};

TEST(MachineControllerDeathTest, CloseAllFDClosesEverythingButTheKeepList) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(CloseAllCase(nullptr, 0, 0, {}), ::testing::ExitedWithCode(0), "");
  // Count 0: the list does not count.
  EXPECT_EXIT(CloseAllCase(kKeep, 0, 0, {}), ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(CloseAllCase(kKeep, 2, 0, std::vector<int>({1, 2})), ::testing::ExitedWithCode(0), "");
}

void CloseAllWithoutDevFd() {
  // No dev/fd under this root (and nothing to clean up: the process ends here).
  tarrow_test::TestEnv env("/nonexistent-tarrow-test-dir/", "/nonexistent-tarrow-test-dir");
  CloseAllCase(nullptr, 0, -1, std::vector<int>({0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

TEST(MachineControllerDeathTest, CloseAllFDWithoutDevFdClosesNothing) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(CloseAllWithoutDevFd(), ::testing::ExitedWithCode(0), "");
}

TEST(MachineControllerDeathTest, SetupProcessTurnsABrokenPipeIntoAnError) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        signal(SIGPIPE, SIG_DFL);
        MachineController::SetupProcess();
        int fds[2];
        if (pipe(fds) != 0) _exit(2);
        close(fds[0]);
        ssize_t n = write(fds[1], "x", 1);
        _exit(n == -1 && errno == EPIPE ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
