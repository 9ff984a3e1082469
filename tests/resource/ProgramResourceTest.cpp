// The program resource against real processes: its own children, a program
// left by an earlier run of the daemon (not a child), process ids that belong
// to other programs, scripts, and the check thread's recovery after kill -9.

#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "config/ConfigManager.h"
#include "config/ProgramResConfig.h"
#include "framework/Exception.h"
#include "resource/KindConfigs.h"
#include "resource/ProgramResource.h"
#include "resource/ResourceTestSupport.h"
#include "support/SkipRule.h"
#include "support/TempDir.h"

namespace resource_test {
namespace {

using Oxbrindale::Velmora::Config::ConfigManager;
using Oxbrindale::Velmora::Config::ProgramResConfig;
using Oxbrindale::Velmora::Resource::ProgramResource;
using Oxbrindale::Velmora::Resource::RES_OP_TEST;

// A process that is not a child of this one: started by a shell that exits
// at once, as a program left running by an earlier run of the daemon.
int StartOrphan(const std::string& commandLine) {
  FILE* pipe = popen(("(" + commandLine + ") </dev/null >/dev/null 2>&1 & echo $!").c_str(), "r");
  if (pipe == nullptr) return -1;
  int pid = -1;
  if (fscanf(pipe, "%d", &pid) != 1) pid = -1;
  pclose(pipe);
  return pid;
}

// Processes the test started; killed at the end whatever happened.
class Started {
 public:
  ~Started() {
    for (int pid : pids_) {
      if (pid > 1) kill(pid, SIGKILL);
    }
    for (int pid : children_) waitpid(pid, nullptr, 0);
  }
  int Orphan(const std::string& commandLine) {
    const int pid = StartOrphan(commandLine);
    pids_.push_back(pid);
    return pid;
  }
  // A child of this process running argv.
  int Child(const std::vector<std::string>& argv) {
    const pid_t pid = fork();
    if (pid == 0) {
      std::vector<char*> args;
      for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
      args.push_back(nullptr);
      execvp(args[0], args.data());
      _exit(127);
    }
    pids_.push_back(pid);
    children_.push_back(pid);
    return pid;
  }
  void Keep(int pid) { pids_.push_back(pid); }

 private:
  std::vector<int> pids_;
  std::vector<int> children_;
};

class ProgramResourceTest : public ::testing::Test {
 protected:
  // A record of the store (so that saves write it) and its resource.
  ProgramResource* Make(const std::string& program, const std::string& args, uint32_t pid = 0) {
    CommonSettings common;
    common.id = 7000 + NextSeq();
    common.name = UniqueName("program");
    config_ = MakeRecord<ProgramResConfig>(common, {std::to_string(pid) + "|0", program, args});
    ConfigManager::Instance()->EditProgramConfig()->push_back(config_);  // the store owns it
    resource_.reset(new ProgramResource(config_));
    resource_->SetTimings(FakeResource::FastTimings());
    ProgramResource::ProgramTimings timings;
    timings.startSettleMs = 20;
    resource_->SetProgramTimings(timings);
    return resource_.get();
  }
  int Pid() { return static_cast<int>(config_->GetProcessId()); }

  void TearDown() override {
    if (resource_) {
      resource_->ShutdownTestThread();
      const int pid = Pid();
      try {
        resource_->StopRes();
      } catch (Exception* e) {
        delete e;
      }
      if (pid > 1) waitpid(pid, nullptr, WNOHANG);
    }
  }

  ProgramResConfig* config_ = nullptr;
  std::unique_ptr<ProgramResource> resource_;
  tarrow_test::TempDir dir_;
  Started started_;
};

// Shutting the check thread down is no shutdown of the resource: a stop
// asked for afterwards (the owner makes sure it is down) stops the program,
// at once and for good, or says that it did not.
TEST_F(ProgramResourceTest, StopAfterTheCheckThreadEndedStopsTheProgram) {
  ProgramResource* resource = Make("/bin/sleep", "1000");
  config_->SetMaxTry(2);
  resource->InitTestThread(RES_OP_TEST);
  resource->Start();
  const int pid = Pid();
  ASSERT_GT(pid, 1);
  ASSERT_TRUE(ProcessRuns(pid));
  resource->ShutdownTestThread();
  std::string thrown;
  try {
    resource->Stop();
  } catch (Exception* e) {
    thrown = e->message;
    delete e;
  }
  EXPECT_EQ("", thrown);
  EXPECT_FALSE(ProcessRuns(pid)) << "Stop returned with the program running";
  EXPECT_FALSE(resource->Test());
}

TEST_F(ProgramResourceTest, StartCheckAndStopAChildByPathAndByBareName) {
  for (const std::string program : {"/bin/sleep", "sleep"}) {
    SCOPED_TRACE(program);
    ProgramResource* resource = Make(program, "1000");
    EXPECT_FALSE(resource->TestRes()) << "no process id yet";
    resource->Start();
    const int pid = Pid();
    ASSERT_GT(pid, 1);
    EXPECT_TRUE(ProcessRuns(pid));
    EXPECT_TRUE(resource->Test());
    EXPECT_EQ(1, resource->GetCurrentStatu());
    // The same process seen as not ours (a daemon restarted by its guard).
    EXPECT_TRUE(WaitUntil([&] { return ProgramResource::RunsProgram(pid, program); })) << "once it has executed";

    resource->Stop();
    EXPECT_FALSE(ProcessRuns(pid));
    EXPECT_EQ(0u, config_->GetProcessId());
    EXPECT_EQ(0u, config_->GetProcessSecond());
    const std::string saved = ReadText(World::Get().AppPath() + "configs/program_config.cfg");
    EXPECT_NE(std::string::npos, saved.find(config_->GetName() + "\n")) << saved;
    EXPECT_NE(std::string::npos, saved.find("\n0|0\n" + program + "\n1000")) << saved;
    resource_.reset();
  }
}

TEST_F(ProgramResourceTest, AProgramLeftByAnEarlierRunIsAdoptedCheckedAndStopped) {
  const int orphan = started_.Orphan("exec /bin/sleep 1000");
  ASSERT_GT(orphan, 1);
  ASSERT_TRUE(WaitUntil([&] { return ProgramResource::RunsProgram(orphan, "sleep"); }));
  ASSERT_NE(0, waitpid(orphan, nullptr, WNOHANG)) << "the orphan must not be a child of the test";

  ProgramResource* resource = Make("/bin/sleep", "1000", static_cast<uint32_t>(orphan));
  EXPECT_TRUE(resource->Test()) << "a live program of an earlier run counts as running";
  EXPECT_EQ(orphan, Pid());
  resource->Start();  // already running: nothing new is started
  EXPECT_EQ(orphan, Pid());

  resource->Stop();
  EXPECT_TRUE(WaitUntil([&] { return !ProcessRuns(orphan); })) << "the adopted program was not killed";
  EXPECT_EQ(0u, config_->GetProcessId());
}

TEST_F(ProgramResourceTest, AProcessIdOfAnotherProgramIsForgottenAndNeverKilled) {
  const std::string script = dir_.File("server.sh");
  WriteScript(script, "exec sleep 1000\n");
  const int unrelated = started_.Child({"sleep", "1000"});
  ASSERT_TRUE(WaitUntil([&] { return ProgramResource::RunsProgram(unrelated, "sleep"); }));

  struct Row {
    std::string what;
    uint32_t pid;
  };
  for (const Row& row : {Row{"a reused id", static_cast<uint32_t>(unrelated)}, Row{"a failed start's -1", 0xFFFFFFFFu},
                         Row{"init", 1u}, Row{"none", 0u}}) {
    SCOPED_TRACE(row.what);
    ProgramResource* resource = Make(script, "", row.pid);
    EXPECT_FALSE(resource->TestRes());
    EXPECT_EQ(0u, config_->GetProcessId()) << "the id is cleared by the failed check";
    config_->SetProcessId(row.pid);
    resource->StopRes();
    EXPECT_EQ(0u, config_->GetProcessId());
    EXPECT_TRUE(ProcessRuns(unrelated)) << "a process of another program was killed";
    resource_.reset();
  }
}

TEST_F(ProgramResourceTest, AScriptIsRecognisedThroughItsInterpreter) {
  const std::string script = dir_.File("loop.sh");
  WriteScript(script, "while true; do sleep 1; done\n");
  ProgramResource* resource = Make(script, "");
  resource->Start();
  const int pid = Pid();
  ASSERT_GT(pid, 1);
  EXPECT_TRUE(resource->Test());
  EXPECT_TRUE(ProgramResource::RunsProgram(pid, script)) << "the command line names the script";
  EXPECT_FALSE(ProgramResource::RunsProgram(pid, "/bin/sleep"));
  resource->Stop();
  EXPECT_FALSE(ProcessRuns(pid));
}

// A command line whose read fails, as that of a process reaped between the
// look at its program and the read does, is no match: never a crash.
TEST_F(ProgramResourceTest, ACommandLineThatCannotBeReadIsNoMatch) {
  const std::string script = dir_.File("wanted.sh");
  WriteScript(script, "exit 0\n");
  const int pid = started_.Child({"sleep", "60"});
  ASSERT_TRUE(WaitUntil([&] { return ProgramResource::RunsProgram(pid, "sleep"); }));
  std::string why;
  bool matched = true;
  std::thread thread([&] {
    // In a mount namespace of this thread only, reading the command line
    // reads the process's memory at address 0, which fails.
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      why = std::string("no private mount namespace: ") + strerror(errno);
      return;
    }
    const std::string proc = "/proc/" + std::to_string(pid);
    if (mount((proc + "/mem").c_str(), (proc + "/cmdline").c_str(), nullptr, MS_BIND, nullptr) != 0) {
      why = std::string("cannot bind over the command line: ") + strerror(errno);
      return;
    }
    matched = ProgramResource::RunsProgram(pid, script);
  });
  thread.join();
  if (!why.empty()) TARROW_SKIP_UNLESS_PRIVILEGED(why);
  EXPECT_FALSE(matched);
}

TEST_F(ProgramResourceTest, AProgramThatCannotRunFailsTheStart) {
  ProgramResource* resource = Make(dir_.File("missing-program"), "");
  std::string code;
  try {
    resource->Start();
  } catch (Exception* e) {
    code = e->code;
    delete e;
  }
  EXPECT_EQ("RES_SS", code);
  EXPECT_EQ(0u, config_->GetProcessId());
}

TEST_F(ProgramResourceTest, KilledProgramIsDetectedAlarmedAndRestarted) {
  ProgramResource* resource = Make("sleep", "1000");
  resource->Start();
  const int first = Pid();
  ASSERT_GT(first, 1);
  resource->InitTestThread(RES_OP_TEST);

  ASSERT_EQ(0, kill(first, SIGKILL));
  const std::string name = "\"" + config_->GetName() + "\"";
  AlarmRecorder& alarms = World::Get().Alarms();
  EXPECT_TRUE(alarms.WaitFor(7, name + "在日常运行检测中发生了失败，正在尝试恢复.."));
  EXPECT_TRUE(alarms.WaitFor(7, name + "在日常运行检测中发生了失败，但已经成功从失败中恢复！"));
  EXPECT_TRUE(WaitUntil([&] { return Pid() > 1 && Pid() != first && ProcessRuns(Pid()); }));
  EXPECT_TRUE(WaitUntil([&] { return resource->GetMode() == RES_OP_TEST; }));
  EXPECT_EQ(0, alarms.Count(2, name)) << "a repaired failure is not given up";
}

}  // namespace
}  // namespace resource_test
