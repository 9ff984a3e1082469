#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "framework/CommandRunner.h"
#include "framework/Exception.h"
#include "framework/HostNameTool.h"
#include "framework/ProcessManager.h"
#include "support/SkipRule.h"
#include "support/TempDir.h"
#include "support/TestEnv.h"

using Oxbrindale::Velmora::Framework::CommandResult;
using Oxbrindale::Velmora::Framework::CommandRunner;
using Oxbrindale::Velmora::Framework::ProcessManager;

namespace {

class RecordingRunner : public CommandRunner {
 public:
  int System(const std::string& command) override {
    runs.push_back({"system", command});
    return 0;
  }
  CommandResult Run(const std::vector<std::string>& argv, long timeoutMs, bool) override {
    runs.push_back(argv);
    timeouts.push_back(timeoutMs);
    CommandResult r;
    r.status = 0;
    return r;
  }
  std::vector<std::vector<std::string>> runs;
  std::vector<long> timeouts;
};

// System files under a temporary root; outside commands recorded, never run.
class HostNameToolTest : public ::testing::Test {
 protected:
  class Env : public tarrow_test::TestEnv {
   public:
    explicit Env(const std::string& root) : TestEnv(root, root) {}
    ~Env() override { Leave(); }  // out of force before runner goes
    CommandRunner* Runner() override { return &runner; }
    RecordingRunner runner;
  };

  void SetUp() override {
    dir.MakeDir("etc/sysconfig");
  }
  void WriteHosts(const std::string& text) { dir.Write("etc/hosts", text); }
  std::string Hosts() { return dir.Read("etc/hosts"); }

  // Runs op, answers the code of the Exception it threw ("" when none).
  template <typename Op>
  std::string ThrownCode(Op op) {
    try {
      op();
    } catch (Exception* e) {
      std::string code = e->code;
      delete e;
      return code;
    }
    return "";
  }

  tarrow_test::TempDir dir;
  Env env{dir.Path()};
};

TEST_F(HostNameToolTest, GetUntilMetCutCharWalksFields) {
  const std::string text = "  ab\tcd";
  int position = 0;
  EXPECT_EQ("ab", HostNameTool::GetUntilMetCutChar(text, position));
  EXPECT_EQ(4, position);
  EXPECT_EQ("cd", HostNameTool::GetUntilMetCutChar(text, position));
  EXPECT_EQ(7, position);
  EXPECT_EQ("", HostNameTool::GetUntilMetCutChar(text, position));
  EXPECT_EQ(7, position);
}

TEST_F(HostNameToolTest, WriteEtcHostLineRules) {
  struct Case {
    const char* before;
    const char* after;
  };
  const Case cases[] = {
      // The mapping exists (fields split by tabs or several blanks): the file is not touched.
      {"127.0.0.1\tlocalhost\n\n10.0.0.5  node9 other\n", "127.0.0.1\tlocalhost\n\n10.0.0.5  node9 other\n"},
      {"10.0.0.5\t \tnode9\r\n", "10.0.0.5\t \tnode9\r\n"},
      // Lines of the address with other names keep them: the name gets a line
      // of its own; empty lines and CRs go.
      {"127.0.0.1 localhost\r\n\n10.0.0.5  old alias # note\n::1 ip6\n",
       "127.0.0.1 localhost\n10.0.0.5  old alias # note\n::1 ip6\n10.0.0.5\tnode9\n"},
      {"10.0.0.5 a\n10.0.0.50 b\n10.0.0.5 c\n", "10.0.0.5 a\n10.0.0.50 b\n10.0.0.5 c\n10.0.0.5\tnode9\n"},
      // No line of the address: appended, also after a last line without line break.
      {"127.0.0.1 localhost", "127.0.0.1 localhost\n10.0.0.5\tnode9\n"},
      // The name is a further alias of the address: the mapping is there.
      {"10.0.0.5 other node9\n", "10.0.0.5 other node9\n"},
      // Named only in a comment, or for another address: not there.
      {"10.0.0.5 other # node9\n10.0.0.6 node9\n", "10.0.0.5 other # node9\n10.0.0.6 node9\n10.0.0.5\tnode9\n"},
  };
  for (const Case& c : cases) {
    WriteHosts(c.before);
    HostNameTool::WriteEtcHost("node9", "10.0.0.5");
    EXPECT_EQ(c.after, Hosts()) << c.before;
  }
  EXPECT_TRUE(env.runner.runs.empty());
}

TEST_F(HostNameToolTest, WriteEtcHostKeepsTheFileMode) {
  WriteHosts("127.0.0.1 localhost\n");
  ASSERT_EQ(0, chmod(dir.File("etc/hosts").c_str(), 0644));
  HostNameTool::WriteEtcHost("node9", "10.0.0.5");
  struct stat st;
  ASSERT_EQ(0, stat(dir.File("etc/hosts").c_str(), &st));
  EXPECT_EQ(0644u, st.st_mode & 07777);
  EXPECT_EQ("127.0.0.1 localhost\n10.0.0.5\tnode9\n", Hosts());
}

TEST_F(HostNameToolTest, EmptyOrMissingHostsFileIsAnIOErrorAndStaysAsItWas) {
  EXPECT_EQ("IO", ThrownCode([] { HostNameTool::WriteEtcHost("node9", "10.0.0.5"); }));
  EXPECT_EQ("IO", ThrownCode([] { HostNameTool::RemoveEtcHost("node9", "10.0.0.5"); }));
  WriteHosts("");
  EXPECT_EQ("IO", ThrownCode([] { HostNameTool::WriteEtcHost("node9", "10.0.0.5"); }));
  EXPECT_EQ("IO", ThrownCode([] { HostNameTool::RemoveEtcHost("node9", "10.0.0.5"); }));
  EXPECT_EQ("", Hosts());
}

TEST_F(HostNameToolTest, WriteEtcHostRefusesBadNamesAndAddresses) {
  const std::string before = "127.0.0.1 localhost\n";
  struct Case {
    std::string name;
    std::string address;
  };
  const Case cases[] = {
      {"", "10.0.0.5"},
      {"two words", "10.0.0.5"},
      {"a\tb", "10.0.0.5"},
      {"x\n10.0.0.6 evil", "10.0.0.5"},
      {"-F", "10.0.0.5"},
      {".lead", "10.0.0.5"},
      {"semi;colon", "10.0.0.5"},
      {"名字", "10.0.0.5"},
      {"db_1", "10.0.0.5"},
      {"node9.", "10.0.0.5"},
      {std::string(65, 'a'), "10.0.0.5"},
      {"node9", ""},
      {"node9", "10.0.0"},
      {"node9", "10.0.0.5 extra"},
      {"node9", "host"},
  };
  for (const Case& c : cases) {
    WriteHosts(before);
    EXPECT_EQ("FORM_ERR", ThrownCode([&] { HostNameTool::WriteEtcHost(c.name, c.address); }))
        << c.name << " / " << c.address;
    EXPECT_EQ(before, Hosts());
  }
  WriteHosts(before);
  HostNameTool::WriteEtcHost(std::string(64, 'a'), "10.0.0.5");
  EXPECT_EQ(before + "10.0.0.5\t" + std::string(64, 'a') + "\n", Hosts());
}

// Only a line that gives the address this one name goes: what WriteEtcHost
// added. Other names of the address, and the name for other addresses (an
// alias "localhost" and the loopback line), stay.
TEST_F(HostNameToolTest, RemoveEtcHostDropsOnlyTheNamesOwnLine) {
  struct Case {
    const char* name;
    const char* before;
    const char* after;
  };
  const Case cases[] = {
      {"node9", "10.0.0.5 node9\n10.0.0.6 other node9\n", "10.0.0.6 other node9\n"},
      {"node9", "10.0.0.5\t\tnode9 # mine\n\n127.0.0.1  localhost\r\n", "127.0.0.1  localhost\n"},
      {"localhost", "127.0.0.1 localhost\n10.0.0.5\tlocalhost\n", "127.0.0.1 localhost\n"},
      // No such line: nothing is written, the blank line stays.
      {"node9", "127.0.0.1 localhost\n\n10.0.0.5 other node9\n10.0.0.6 node9\n",
       "127.0.0.1 localhost\n\n10.0.0.5 other node9\n10.0.0.6 node9\n"},
      {"node9", "10.0.0.5 Node9\n", "10.0.0.5 Node9\n"},
      {"localhost", "127.0.0.1 localhost\n", "127.0.0.1 localhost\n"},
  };
  for (const Case& c : cases) {
    WriteHosts(c.before);
    HostNameTool::RemoveEtcHost(c.name, "10.0.0.5");
    EXPECT_EQ(c.after, Hosts()) << c.before;
  }
}

// Adding an alias and taking it back leaves the file as it was.
TEST_F(HostNameToolTest, WriteThenRemoveGivesTheFileBack) {
  const std::string before = "127.0.0.1\tlocalhost\n10.0.0.5 db db.example\n";
  for (const char* name : {"node9", "localhost", "db"}) {
    WriteHosts(before);
    const bool added = HostNameTool::WriteEtcHost(name, "10.0.0.5");
    EXPECT_EQ(std::string(name) != "db", added) << name;
    HostNameTool::RemoveEtcHost(name, "10.0.0.5");
    EXPECT_EQ(before, Hosts()) << name;
  }
}

// A name /bin/hostname would refuse is refused here too, loudly: the alias
// resource must not take silence for success. An empty name would also match
// every one-field line.
TEST_F(HostNameToolTest, RemoveEtcHostRefusesBadNames) {
  const std::string before = "lonely\n\n10.0.0.5 db_1\n10.0.0.6 名字\n10.0.0.7 node9.\n";
  for (const std::string& bad : {std::string(""), std::string("db_1"), std::string("名字"), std::string("node9."),
                                 std::string("a b"), std::string(65, 'n')}) {
    WriteHosts(before);
    EXPECT_EQ("FORM_ERR", ThrownCode([&] { HostNameTool::RemoveEtcHost(bad, "10.0.0.5"); })) << bad;
    EXPECT_EQ(before, Hosts()) << bad;
  }
}

TEST_F(HostNameToolTest, CfgHostNameFromNetworkFileThenHostnameFile) {
  const char* kMissing = nullptr;
  struct Case {
    const char* network;
    const char* hostname;
    std::string want;
  };
  const Case cases[] = {
      {"NETWORKING=yes\nHOSTNAME=node1\n", "deb\n", "node1"},
      {"\nNETWORKING=yes\r\nHOSTNAME=\"q n\"\n", kMissing, "\"q n\""},
      {"HOSTNAME=a=b\n", kMissing, "NONAME"},
      {"NETWORKING=yes\n", kMissing, "NONAME"},
      {"HOSTNAME=\n", kMissing, "NONAME"},
      {"HOSTNAME=a=b\nHOSTNAME=second\n", kMissing, "second"},
      // Debian: no /etc/sysconfig/network.
      {kMissing, "# comment\n\n  deb1 \n", "deb1"},
      {kMissing, "deb2", "deb2"},
      {kMissing, kMissing, "NONAME"},
      {kMissing, "\n", "NONAME"},
      {"", "deb3\n", "deb3"},
      {"NETWORKING=yes\n", "deb4\n", "deb4"},
  };
  for (const Case& c : cases) {
    unlink(dir.File("etc/sysconfig/network").c_str());
    unlink(dir.File("etc/hostname").c_str());
    if (c.network != kMissing) dir.Write("etc/sysconfig/network", c.network);
    if (c.hostname != kMissing) dir.Write("etc/hostname", c.hostname);
    EXPECT_EQ(c.want, HostNameTool::GetCfgHostName())
        << (c.network ? c.network : "(none)") << " / " << (c.hostname ? c.hostname : "(none)");
  }
}

TEST_F(HostNameToolTest, SetHostNameRunsHostnameOnlyForValidNames) {
  HostNameTool::SetHostName("node-1.example");
  const std::vector<std::vector<std::string>> want = {{"/bin/hostname", "node-1.example"}};
  EXPECT_EQ(want, env.runner.runs);
  EXPECT_EQ(std::vector<long>({5000}), env.runner.timeouts);

  env.runner.runs.clear();
  for (const std::string& bad :
       {std::string(""), std::string("-F"), std::string("a b"), std::string("x;reboot"), std::string("\"q\""),
        std::string("db_1"), std::string("名字"), std::string("node."), std::string(65, 'n')}) {
    EXPECT_EQ("FORM_ERR", ThrownCode([&] { HostNameTool::SetHostName(bad); })) << bad;
  }
  // No configured name: nothing to set.
  HostNameTool::SetHostName("NONAME");
  EXPECT_TRUE(env.runner.runs.empty());
}

// Exit status of the real /bin/hostname setting name in a private UTS
// namespace of a child process (the machine's own name is never touched);
// 77 when no such namespace can be made.
int RealHostnameStatus(const std::string& name) {
  std::vector<char> arg(name.begin(), name.end());
  arg.push_back('\0');
  char program[] = "/bin/hostname";
  char* argv[] = {program, arg.data(), nullptr};
  const pid_t pid = fork();
  if (pid == 0) {
    if (unshare(CLONE_NEWUTS) != 0) _exit(77);
    const int quiet = open("/dev/null", O_WRONLY);
    dup2(quiet, 1);
    dup2(quiet, 2);
    execv(program, argv);
    _exit(127);
  }
  int status = -1;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST(HostNameTool, ValidNamesAreThoseBinHostnameSets) {
  struct Case {
    std::string name;
    bool valid;
  };
  const Case cases[] = {
      {"node9", true},         {"Node-1.example", true}, {"1abc", true},  {"a--b", true},
      {"a.b.c", true},         {"9", true},              {std::string(64, 'a'), true},
      {"db_1", false},         {"名字", false},          {"é", false},    {"a b", false},
      {"a;b", false},          {"a\nb", false},          {"", false},     {"a-", false},
      {"a.", false},           {".a", false},            {"a..b", false}, {"a.-b", false},
      {"a-.b", false},         {std::string(65, 'a'), false},
  };
  for (const Case& c : cases) EXPECT_EQ(c.valid, HostNameTool::IsValidHostName(c.name)) << c.name;
  // /bin/hostname takes a leading '-' as an option of its own.
  EXPECT_FALSE(HostNameTool::IsValidHostName("-F"));
  EXPECT_FALSE(HostNameTool::IsValidHostName("-a"));

  if (RealHostnameStatus("node9") == 77) TARROW_SKIP_UNLESS_PRIVILEGED("no permission for a private UTS namespace");
  for (const Case& c : cases) EXPECT_EQ(c.valid, RealHostnameStatus(c.name) == 0) << c.name;
}

TEST(HostNameTool, HostNameIsTheKernelsName) {
  char name[512] = {0};
  ASSERT_EQ(0, gethostname(name, sizeof(name) - 1));
  EXPECT_EQ(name[0] != '\0' ? std::string(name) : "NONAME", HostNameTool::GetHostName());
}

// The real /bin/hostname, in a private UTS namespace of a helper process.
TEST(HostNameTool, SetAndReadInAPrivateUtsNamespace) {
  ProcessManager helper;
  ASSERT_GT(helper.StartProcess(TARROW_TEST_HELPER, "uts tarrow-uts-check.local"), 0);
  std::string out = helper.GetOutputString();
  helper.WaitTerminated();
  if (WIFEXITED(helper.GetExitCode()) && WEXITSTATUS(helper.GetExitCode()) == 77)
    TARROW_SKIP_UNLESS_PRIVILEGED("no permission for a private UTS namespace");
  EXPECT_EQ(0, helper.GetExitCode());
  EXPECT_EQ("tarrow-uts-check.local\ntarrow-uts-check.local\n", out);
  EXPECT_NE("tarrow-uts-check.local", HostNameTool::GetHostName());
}

}  // namespace
