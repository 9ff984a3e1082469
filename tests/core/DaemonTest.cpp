// tarrowd as real processes: its words, the foreground run, the daemon with
// its watcher tarrowguard (each keeps the other running), and its two
// shutdowns beside a scripted peer node. Each test runs in a sandbox of its
// own (program directory and namespaces) with the copies of both programs
// whose waits are short; the words that start nothing also run the program
// itself.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/ConfigManager.h"
#include "config/CustomResConfig.h"
#include "config/GlobalConfig.h"
#include "config/HeartBeatGlobalConfig.h"
#include "config/HeartBeatLinkConfig.h"
#include "config/ResourceTreeConfig.h"
#include "config/sResourceTreeRel.h"
#include "core/TarrowDemo.h"
#include "support/DaemonSandbox.h"
#include "support/SkipRule.h"
#include "support/TestEnv.h"

namespace {

using Oxbrindale::Velmora::Config::ConfigManager;
using Oxbrindale::Velmora::Config::CustomResConfig;
using Oxbrindale::Velmora::Config::HBL_TYPE_TCP;
using Oxbrindale::Velmora::Config::HeartBeatGlobalConfig;
using Oxbrindale::Velmora::Config::HeartBeatLinkConfig;
using Oxbrindale::Velmora::Config::ResourceTreeConfig;
using Oxbrindale::Velmora::Config::sResourceTreeRel;
using Oxbrindale::Velmora::Core::TarrowDemo;
using tarrow_test::DaemonSandbox;
using tarrow_test::ProcStat;
using tarrow_test::SignalMask;
using tarrow_test::Threads;
using tarrow_test::WaitUntil;

const char kAlreadyRunning[] = "process is already running..\n";
const char kInstallHint[] = "Oxbrindale Tarrow Cluster for LINUX, cannot start please install service first!\n";
const char kStarted[] = "系统启动运行！ Build 223";
const char kStoppedWithTrees[] = "操作系统退出！";
const char kStoppedKeepingTrees[] = "系统退出！";
// The fast copy retries a guard that gave up after 2 s.
const char kGuardGaveUp[] = "守护进程 tarrowguard 多次启动失败，2 秒后重试。";

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

bool IsAlive(int pid) {
  const std::string stat = ProcStat(pid);
  const std::string::size_type end = stat.rfind(')');
  return end != std::string::npos && end + 2 < stat.size() && stat[end + 2] != 'Z';
}

class DaemonTest : public ::testing::Test {
 protected:
  // The tarrowd build to copy as <dir>/tarrowd.
  virtual const char* Program() const { return TARROW_DAEMON_FAST; }

  void SetUp() override {
    box.reset(new DaemonSandbox(TARROW_DAEMON_GUARD_FAST, Program()));
    if (!box->Ready()) TARROW_SKIP_UNLESS_PRIVILEGED("no private namespaces here (root needed)");
  }

  DaemonSandbox::Result Tarrowd(const std::vector<std::string>& words) {
    return box->RunProgram(box->Tarrowd(), words);
  }

  // The texts of the alarms of kind in the alarm log (log/YYYYMM.log), in
  // order. A line is "kind|date time|text".
  std::vector<std::string> Alarms(int kind) {
    std::vector<std::string> texts;
    std::error_code ec;
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(box->Dir() + "log", ec)) {
      const std::string name = entry.path().filename().string();
      if (name.size() == 10 && name.compare(6, 4, ".log") == 0 &&
          std::all_of(name.begin(), name.begin() + 6, [](char c) { return c >= '0' && c <= '9'; })) {
        files.push_back(entry.path().string());
      }
    }
    std::sort(files.begin(), files.end());
    const std::string prefix = std::to_string(kind) + "|";
    for (const std::string& file : files) {
      std::ifstream in(file);
      std::string line;
      while (std::getline(in, line)) {
        if (line.compare(0, prefix.size(), prefix) != 0) continue;
        const std::string::size_type bar = line.find('|', prefix.size());
        if (bar != std::string::npos) texts.push_back(line.substr(bar + 1));
      }
    }
    return texts;
  }
  int CountAlarms(int kind, const std::string& text) {
    const std::vector<std::string> texts = Alarms(kind);
    return static_cast<int>(std::count(texts.begin(), texts.end(), text));
  }

  // A foreground run (no word) of tarrowd, once it has raised its started
  // alarm; its output is kept for Finish.
  pid_t Foreground() {
    const int before = CountAlarms(11, kStarted);
    const pid_t pid = box->LaunchProgram(box->Tarrowd(), {}, true);
    EXPECT_TRUE(WaitUntil([&] { return CountAlarms(11, kStarted) > before; })) << "the foreground run did not start";
    return pid;
  }

  // tarrowd with words, its standard error kept as well: {status, standard
  // error}. Standard output goes where Launch puts it.
  DaemonSandbox::Result TarrowdErrors(const std::vector<std::string>& words) {
    const std::string errors = "/tmp/tarrowd.err";  // the sandbox's own /tmp
    std::vector<std::string> command = {"-c", "exec \"$0\" \"$@\" 2>" + errors, box->Tarrowd()};
    command.insert(command.end(), words.begin(), words.end());
    DaemonSandbox::Result result = box->RunProgram("/bin/sh", command);
    std::ifstream in(box->Inside(errors));
    result.output.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return result;
  }

  // Makes path (a folder of the sandbox) read-only inside its namespaces: a
  // read-only bind mount over itself (root passes any permission bits).
  void ReadOnly(const std::string& path) {
    DaemonSandbox::Result mounted = box->RunProgram(
        "/bin/sh", {"-c", "mount --bind \"$0\" \"$0\" && mount -o remount,ro,bind \"$0\"", path});
    ASSERT_EQ(0, mounted.status) << mounted.output;
  }

  // The one daemon of file (a process of it leading its own session), 0 when
  // there is none or more than one.
  int Daemon(const std::string& file) {
    const std::vector<int> daemons = box->Daemons(file);
    return daemons.size() == 1 ? daemons[0] : 0;
  }

  // "start", then the daemon and the watcher it started.
  void StartPair(int* tarrowd, int* guard) {
    DaemonSandbox::Result started = Tarrowd({"start"});
    EXPECT_EQ(0, started.status);
    EXPECT_EQ("", started.output);
    EXPECT_TRUE(WaitUntil([&] {
      *tarrowd = Daemon("tarrowd");
      *guard = Daemon("tarrowguard");
      return *tarrowd != 0 && *guard != 0;
    })) << "tarrowd and tarrowguard did not both come up";
  }

  std::unique_ptr<DaemonSandbox> box;
};

// The program itself, for the words that start nothing.
class RealDaemonTest : public DaemonTest {
 protected:
  const char* Program() const override { return TARROW_DAEMON; }
};

TEST_F(RealDaemonTest, WordsWithoutARunningDaemon) {
  struct Row {
    std::vector<std::string> words;
    int status;
  };
  const std::vector<Row> rows = {
      {{"hello"}, 0},
      {{"START"}, 0},
      {{""}, 0},
      {{"gentle_stop"}, 0},
      {{"stop"}, 253},
      {{"stop", "nostoptree"}, 253},
      // Refused before anything is stopped: a missing word, a bad backup name.
      {{"-clear_backup"}, 255},
      {{"-just_reboot"}, 255},
      {{"-resume_backup", "-nonstop"}, 255},
      {{"-resume_backup", "-nonstop", "../x"}, 255},
      {{"-resume_backup", "-stop", "-x"}, 255},
  };
  for (const Row& row : rows) {
    std::string line;
    for (const std::string& word : row.words) line += "[" + word + "]";
    DaemonSandbox::Result result = Tarrowd(row.words);
    EXPECT_EQ(row.status, result.status) << line;
    EXPECT_EQ("", result.output) << line;
  }
  EXPECT_TRUE(box->Running("tarrowd").empty());
  EXPECT_TRUE(box->Running("tarrowguard").empty());
  EXPECT_FALSE(std::filesystem::exists(box->Dir() + "configs")) << "a word that starts nothing wrote configs/";
}

// The foreground run prints every event of the bus; what would stop it or
// start a second daemon is refused while it runs.
TEST_F(DaemonTest, ForegroundRunIsLeftAloneByRefusedWords) {
  const pid_t foreground = Foreground();
  ASSERT_EQ("1", box->ReadFile("configs/ss_flag.cfg"));

  DaemonSandbox::Result second = Tarrowd({"start"});
  EXPECT_EQ(254, second.status);
  EXPECT_EQ(kAlreadyRunning, second.output);
  for (const std::vector<std::string>& words : std::vector<std::vector<std::string>>{
           {"-clear_backup"}, {"-resume_backup", "-nonstop", "../x"}, {"-just_reboot"}}) {
    EXPECT_EQ(255, Tarrowd(words).status) << words[0];
  }
  EXPECT_TRUE(IsAlive(foreground));
  EXPECT_EQ("1", box->ReadFile("configs/ss_flag.cfg")) << "configs/ was cleared";
  EXPECT_EQ(0, CountAlarms(11, kStoppedWithTrees) + CountAlarms(11, kStoppedKeepingTrees));

  EXPECT_EQ(0, Tarrowd({"stop"}).status);
  DaemonSandbox::Result run = box->Finish(foreground);
  EXPECT_EQ(0, run.status);
  EXPECT_EQ(0u, run.output.find(kInstallHint)) << run.output;
  EXPECT_TRUE(Contains(run.output, "receive term sig 56\n")) << run.output;
  // ConsolePrinter: "Code:<kind> [<source>]<date time>:<text>".
  std::istringstream lines(run.output);
  std::string line;
  bool printed = false;
  while (std::getline(lines, line)) {
    if (line.compare(0, 16, "Code:-1 [NOTIFY]") == 0 && line.size() > 21 &&
        line.compare(line.size() - 21, 21, ":RunningStatusChanged") == 0) {
      printed = true;
    }
  }
  EXPECT_TRUE(printed) << run.output;
  EXPECT_EQ(1, CountAlarms(11, kStoppedWithTrees));
  // Standard output is the foreground run's console: the hint, the events,
  // the signal and the "@@ " lines; the step traces of the listener and the
  // connections ("OXTcpListener TryAccept", ...) go to the debug hook.
  std::istringstream all(run.output);
  while (std::getline(all, line)) {
    const bool console = line + "\n" == kInstallHint || line.compare(0, 5, "Code:") == 0 ||
                         line.compare(0, 17, "receive term sig ") == 0 || line.compare(0, 3, "@@ ") == 0;
    EXPECT_TRUE(console) << line;
  }
}

// "stop nostoptree" sends 15 (the trees stay), "stop" and "stop nostoptree
// <anything>" send 56 (the trees go to the peer); the run ends with 0.
TEST_F(DaemonTest, StopWordsChooseTheSignal) {
  struct Row {
    std::vector<std::string> words;
    int signal;
    const char* alarm;
  };
  const std::vector<Row> rows = {
      {{"stop", "nostoptree"}, 15, kStoppedKeepingTrees},
      {{"stop"}, 56, kStoppedWithTrees},
      {{"stop", "nostoptree", "x"}, 56, kStoppedWithTrees},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.words.size() == 1 ? row.words[0] : row.words[0] + " " + row.words[1]);
    const int before = CountAlarms(11, row.alarm);
    const pid_t foreground = Foreground();
    EXPECT_EQ(0, Tarrowd(row.words).status);
    DaemonSandbox::Result run = box->Finish(foreground);
    EXPECT_EQ(0, run.status);
    EXPECT_TRUE(Contains(run.output, "receive term sig " + std::to_string(row.signal) + "\n")) << run.output;
    EXPECT_FALSE(Contains(run.output, "receive term sig " + std::to_string(row.signal == 15 ? 56 : 15) + "\n"));
    EXPECT_EQ(before + 1, CountAlarms(11, row.alarm));
  }
}

TEST_F(DaemonTest, DaemonAndWatcherKeepEachOtherRunning) {
  int tarrowd = 0;
  int guard = 0;
  StartPair(&tarrowd, &guard);
  ASSERT_NE(0, tarrowd);
  ASSERT_NE(0, guard);
  EXPECT_TRUE(WaitUntil([&] { return CountAlarms(11, kStarted) == 1; }));
  EXPECT_EQ("1", box->ReadFile("configs/ss_flag.cfg"));
  const std::string trace = box->ReadFile("log/trace.log");
  std::string::size_type at = 0;
  for (const char* step : {"]Before bool WithMachineBoot=!(WinService::IsServiceStarted(OX_SERVICE_WATCHER_NAME));\r\n",
                           "]Before SetSSFlag\r\n", "]Before StartReportor\r\n", "]Before InitMachine\r\n"}) {
    at = trace.find(step, at);
    EXPECT_NE(std::string::npos, at) << step << " in " << trace;
  }

  // Signals 15 and 56 have no handler, and every thread but the main one
  // (which takes them in sigwaitinfo) has them blocked.
  const std::string mainThread = "/proc/" + std::to_string(tarrowd) + "/task/" + std::to_string(tarrowd) + "/status";
  const unsigned long long both = (1ULL << (SIGTERM - 1)) | (1ULL << (56 - 1));
  const std::vector<std::string> threads = Threads(tarrowd);
  EXPECT_GE(threads.size(), 3u);
  for (const std::string& status : threads) {
    EXPECT_EQ(0u, SignalMask(status, "SigCgt") & both) << status;
    if (status != mainThread) {
      EXPECT_EQ(both, SignalMask(status, "SigBlk") & both) << status;
    }
  }

  DaemonSandbox::Result second = Tarrowd({"start"});
  EXPECT_EQ(254, second.status);
  EXPECT_EQ(kAlreadyRunning, second.output);

  // Each restarts the other; the survivor stays as it is.
  ASSERT_EQ(0, kill(tarrowd, SIGKILL));
  int again = 0;
  EXPECT_TRUE(WaitUntil([&] {
    again = Daemon("tarrowd");
    return again != 0 && again != tarrowd;
  })) << "tarrowd was not started again";
  EXPECT_EQ(guard, Daemon("tarrowguard"));
  ASSERT_EQ(0, kill(guard, SIGKILL));
  int guardAgain = 0;
  EXPECT_TRUE(WaitUntil([&] {
    guardAgain = Daemon("tarrowguard");
    return guardAgain != 0 && guardAgain != guard;
  })) << "tarrowguard was not started again";
  EXPECT_EQ(again, Daemon("tarrowd"));
  // A watcher stopped by its own word comes back as well.
  EXPECT_EQ(0, box->Run({"stop"}).status);
  EXPECT_TRUE(WaitUntil([&] {
    const int now = Daemon("tarrowguard");
    return now != 0 && now != guardAgain;
  })) << "tarrowguard was not started again after its stop";
  EXPECT_EQ(again, Daemon("tarrowd"));

  // The stop ends the watcher first, so that nothing comes back.
  EXPECT_EQ(0, Tarrowd({"stop"}).status);
  EXPECT_TRUE(box->Running("tarrowd").empty());
  EXPECT_TRUE(WaitUntil([&] { return box->Running("tarrowguard").empty(); }));
  EXPECT_EQ(1, CountAlarms(11, kStoppedWithTrees));
  usleep(1500 * 1000);  // fifteen guard cycles of either program
  EXPECT_TRUE(box->Running("tarrowd").empty());
  EXPECT_TRUE(box->Running("tarrowguard").empty());
}

// "stop" signals every other process of the executable, not only the first
// it finds: here the daemon and a "test" run beside it (which has no use for
// the signal and ends by it). Neither is left to the SIGKILL at the end of
// the stop's wait.
TEST_F(DaemonTest, StopSignalsEveryProcessOfTheProgram) {
  int tarrowd = 0;
  int guard = 0;
  StartPair(&tarrowd, &guard);
  const pid_t test = box->LaunchProgram(box->Tarrowd(), {"test"}, false);
  ASSERT_TRUE(WaitUntil([&] {
    const std::vector<int> pids = box->Running("tarrowd");
    return std::find(pids.begin(), pids.end(), test) != pids.end();
  }));

  EXPECT_EQ(0, Tarrowd({"stop"}).status);
  EXPECT_TRUE(box->Running("tarrowd").empty());
  const int status = box->WaitExit(test);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == 56) << "status " << status;
  EXPECT_EQ(1, CountAlarms(11, kStoppedWithTrees));
}

// Another "start" between its look for a running daemon and its fork holds
// the lock: this one must not become a second daemon.
TEST_F(DaemonTest, StartIsRefusedWhileTheLockIsHeld) {
  int fd = open((box->Dir() + "tarrowd.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(0, flock(fd, LOCK_EX | LOCK_NB));
  DaemonSandbox::Result refused = Tarrowd({"start"});
  EXPECT_EQ(254, refused.status);
  EXPECT_EQ(kAlreadyRunning, refused.output);
  EXPECT_TRUE(box->Running("tarrowd").empty());
  EXPECT_FALSE(std::filesystem::exists(box->Dir() + "configs")) << "the refused start went on";
  close(fd);
}

// "start"s at once: never a second daemon; each command either started it
// or was refused. (They may all refuse, each seeing another: a later "start"
// then makes the daemon.)
TEST_F(DaemonTest, StartsAtOnceGiveOneDaemon) {
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const int startedBefore = CountAlarms(11, kStarted);
    std::vector<pid_t> commands;
    for (int i = 0; i < 4; ++i) commands.push_back(box->LaunchProgram(box->Tarrowd(), {"start"}));
    for (pid_t command : commands) {
      DaemonSandbox::Result result = box->Finish(command);
      EXPECT_TRUE(result.status == 0 || (result.status == 254 && result.output == kAlreadyRunning))
          << result.status << " " << result.output;
    }
    if (!WaitUntil([&] { return !box->Daemons("tarrowd").empty(); }, 3000)) {
      int tarrowd = 0, guard = 0;
      StartPair(&tarrowd, &guard);
    }
    EXPECT_TRUE(WaitUntil([&] { return Daemon("tarrowguard") != 0 && CountAlarms(11, kStarted) > startedBefore; }));
    EXPECT_EQ(1u, box->Daemons("tarrowd").size());
    EXPECT_EQ(startedBefore + 1, CountAlarms(11, kStarted));
    ASSERT_EQ(0, Tarrowd({"stop"}).status);
    ASSERT_TRUE(WaitUntil([&] { return box->Running("tarrowguard").empty(); }));
  }
}

// A watcher that cannot be started makes the guard give up: tarrowd raises
// an alarm and keeps serving, and guards again after the retry time.
TEST_F(DaemonTest, GuardThatGivesUpIsTriedAgainLater) {
  int tarrowd = 0;
  int guard = 0;
  StartPair(&tarrowd, &guard);
  ASSERT_NE(0, guard);
  std::filesystem::remove(box->Guard());
  ASSERT_EQ(0, kill(guard, SIGKILL));

  EXPECT_TRUE(WaitUntil([&] { return CountAlarms(11, kGuardGaveUp) >= 1; })) << "no alarm of the give-up";
  EXPECT_TRUE(Contains(box->ReadFile("log/trace.log"), std::string("]") + kGuardGaveUp + "\r\n"));
  EXPECT_TRUE(IsAlive(tarrowd));
  EXPECT_EQ(tarrowd, Daemon("tarrowd"));

  std::filesystem::copy_file(TARROW_DAEMON_GUARD_FAST, box->Guard());
  chmod(box->Guard().c_str(), 0755);
  EXPECT_TRUE(WaitUntil([&] { return Daemon("tarrowguard") != 0; })) << "the guard did not try again";
  EXPECT_EQ(tarrowd, Daemon("tarrowd"));

  EXPECT_EQ(0, Tarrowd({"stop"}).status);
  EXPECT_TRUE(box->Running("tarrowd").empty());
  EXPECT_TRUE(WaitUntil([&] { return box->Running("tarrowguard").empty(); }));
}

// What the console's "clear the configuration" runs beside the daemon: the
// daemon stops leaving its trees (signal 15 for "-nonstop"), configs/ is
// cleared, and the command becomes the new daemon, guarded again.
TEST_F(DaemonTest, ClearBackupRestartsTheDaemonOnAClearedConfiguration) {
  int tarrowd = 0;
  int guard = 0;
  StartPair(&tarrowd, &guard);
  ASSERT_TRUE(WaitUntil([&] { return CountAlarms(11, kStarted) == 1; }));
  {
    tarrow_test::TestEnv here(box->Dir());
    ConfigManager store;
    store.GetGC()->SetStartDelay(7000);
    store.SaveCrtGC();
  }

  DaemonSandbox::Result cleared = Tarrowd({"-clear_backup", "-nonstop"});
  EXPECT_EQ(0, cleared.status);
  EXPECT_EQ("", cleared.output);
  int again = 0;
  EXPECT_TRUE(WaitUntil([&] {
    again = Daemon("tarrowd");
    return again != 0 && again != tarrowd && Daemon("tarrowguard") != 0 && CountAlarms(11, kStarted) == 2;
  })) << "no new daemon";
  EXPECT_FALSE(IsAlive(tarrowd));
  EXPECT_EQ(1, CountAlarms(11, kStoppedKeepingTrees));
  EXPECT_EQ(0, CountAlarms(11, kStoppedWithTrees));
  {
    tarrow_test::TestEnv here(box->Dir());
    ConfigManager store;
    EXPECT_EQ(10000u, store.GetGC()->GetStartDelay()) << "configs/ was not cleared";
  }

  EXPECT_EQ(0, Tarrowd({"stop"}).status);
  EXPECT_TRUE(box->Running("tarrowd").empty());
}

// A start that fails says why and ends with its own status: the command
// waits until the daemon has taken its lock and loaded its configuration,
// and a file that cannot be used is left as it was; no daemon and no
// watcher stay behind. The same reason is in the trace log and an alarm.
TEST_F(DaemonTest, StartThatFailsSaysWhyAndLeavesNothing) {
  for (int status : {0, 253, 254, 255}) ASSERT_NE(status, TarrowDemo::kStartFailedStatus);
  const std::string hbCut = "15538\n3\n2000\n4000\n0\n请设置参考IP \n80\n1\n1\n0\npeer\n127.0";
  const std::string hbWord = "15538\n3\nabc\n4000\n0\n请设置参考IP \n80";
  const std::string trees = "#!garbage\n\x01\x02\x03";
  struct Case {
    const char* what;
    const char* file;  // the file written, "" for none
    std::string text;
    const char* readOnly;  // the folder made read-only, relative to the program directory
    std::string reason;    // what standard error says, <dir> for the program directory
    bool recorded;         // also in the trace log and as an alarm
  };
  const std::string cut = "存储结构数据错误，无法从序列化数据中反序列化存储数据!";
  const Case cases[] = {
      {"garbled tree file", "configs/resource_tree_config.cfg", trees, nullptr,
       "配置文件 configs/resource_tree_config.cfg 无法加载：" + cut, true},
      {"half-cut hb.cfg", "configs/hb.cfg", hbCut, nullptr, "配置文件 configs/hb.cfg 无法加载：" + cut, true},
      {"beat interval abc", "configs/hb.cfg", hbWord, nullptr,
       "配置文件 configs/hb.cfg 无法加载：第3行的数值“abc”不是十进制整数！", true},
      {"read-only configs/", "", "", "configs", "无法保存配置文件'<dir>configs/ss_flag.cfg'！", false},
      {"read-only program folder", "", "", "", "cannot lock <dir>tarrowd.lock: Read-only file system", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    box.reset(new DaemonSandbox(TARROW_DAEMON_GUARD_FAST, Program()));
    ASSERT_TRUE(box->Ready());
    std::filesystem::create_directories(box->Dir() + "configs");
    if (*c.file != '\0') {
      std::ofstream out(box->Dir() + c.file, std::ios::binary);
      out << c.text;
    }
    if (c.readOnly != nullptr) ReadOnly(box->Dir() + c.readOnly);

    std::string reason = c.reason;
    const std::string::size_type at = reason.find("<dir>");
    if (at != std::string::npos) reason.replace(at, 5, box->Dir());

    DaemonSandbox::Result started = TarrowdErrors({"start"});
    EXPECT_EQ(TarrowDemo::kStartFailedStatus, started.status);
    EXPECT_EQ(reason + "\n", started.output);
    if (*c.file != '\0') EXPECT_EQ(c.text, box->ReadFile(c.file)) << "the file was changed";
    EXPECT_TRUE(WaitUntil([&] { return box->Running("tarrowd").empty(); })) << "a daemon stayed";
    EXPECT_TRUE(box->Running("tarrowguard").empty());
    if (c.recorded) {
      EXPECT_TRUE(Contains(box->ReadFile("log/trace.log"), "]启动失败：" + reason + "\r\n"));
      EXPECT_TRUE(WaitUntil([&] { return CountAlarms(12, "启动失败：" + reason) == 1; })) << "no alarm";
      EXPECT_EQ(0, CountAlarms(11, kStarted));
    }
    // "stop" finds nothing to stop and says so.
    DaemonSandbox::Result stopped = TarrowdErrors({"stop"});
    EXPECT_EQ(253, stopped.status);
    EXPECT_EQ("tarrowd is not running\n", stopped.output);
  }
}

// The foreground run of a configuration that cannot be used ends at once
// with the same status and reason, instead of sitting without its machine.
TEST_F(DaemonTest, ForegroundRunOfAnUnusableConfigurationEnds) {
  std::filesystem::create_directories(box->Dir() + "configs");
  const std::string hb = "65557\n3\n2000\n4000\n0\n请设置参考IP \n80";
  {
    std::ofstream out(box->Dir() + "configs/hb.cfg", std::ios::binary);
    out << hb;
  }
  DaemonSandbox::Result run = TarrowdErrors({});
  EXPECT_EQ(TarrowDemo::kStartFailedStatus, run.status);
  EXPECT_EQ("配置文件 configs/hb.cfg 无法加载：第1行的数值“65557”超出范围（1～65535）！\n", run.output);
  EXPECT_EQ(hb, box->ReadFile("configs/hb.cfg"));
}

// A global settings file that cannot be used is kept beside as .bad and
// replaced by the defaults: the node runs, and says as an alarm that its
// console passwords are the built-in ones now.
TEST_F(DaemonTest, GlobalSettingsReplacedByDefaultsRaiseAnAlarm) {
  std::filesystem::create_directories(box->Dir() + "configs");
  const std::string unusable = "18562\n80\na hand edit gone wrong";
  {
    std::ofstream out(box->Dir() + "configs/global_config.cfg", std::ios::binary);
    out << unusable;
  }
  const pid_t foreground = Foreground();
  EXPECT_EQ(unusable, box->ReadFile("configs/global_config.cfg.bad"));
  EXPECT_TRUE(WaitUntil([&] {
    for (const std::string& text : Alarms(12)) {
      if (Contains(text, "configs/global_config.cfg.bad") && Contains(text, "控制台密码现为内置的默认密码")) return true;
    }
    return false;
  })) << "no alarm of the replaced passwords";
  EXPECT_EQ(0, Tarrowd({"stop"}).status);
  EXPECT_EQ(0, box->Finish(foreground).status);
}

// ---- beside a scripted peer ----------------------------------------------------------

const char kTreeGuid[] = "{5A0C3E21-7B44-4D19-9E62-0F1D2C3B4A59}";
const char kTreeStarted[] = "资源树：\"tree\"，启动完成。";
const char kTreeStopped[] = "资源树：\"tree\" 停止完成。";

// What a signal does to a foreground tarrowd whose tree runs.
struct Shutdown {
  int signal;
  const char* alarm;
  const char* notice;  // the request that tells the peer
  bool treeStops;
};

void PrintTo(const Shutdown& shutdown, std::ostream* out) { *out << "signal " << shutdown.signal; }

class DaemonPeerTest : public DaemonTest, public ::testing::WithParamInterface<Shutdown> {
 protected:
  std::string FlagFile() { return box->Dir() + "scripts/tree.up"; }

  // The peer's requests: "command<TAB>body" with LF written as '|'.
  std::vector<std::string> PeerRequests() {
    std::vector<std::string> lines;
    std::istringstream in(box->ReadFile("peer.log"));
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
  }
  static std::string Command(const std::string& line) { return line.substr(0, line.find('\t')); }

  // The node's configuration, written with the store: one TCP link to the
  // peer (this node is not the host side), the start delay, and one managed
  // tree at home here whose custom resource runs while the flag file exists.
  void Configure(unsigned short port) {
    const std::string scripts = box->Dir() + "scripts/";
    std::filesystem::create_directories(scripts);
    const std::string flag = "'" + FlagFile() + "'";
    auto script = [&](const std::string& name, const std::string& body) {
      {
        std::ofstream file(scripts + name, std::ios::trunc);
        file << "#!/bin/sh\n" << body << "\n";
      }
      chmod((scripts + name).c_str(), 0755);
      return scripts + name;
    };
    const std::string start = script("start.sh", "touch " + flag);
    const std::string stop = script("stop.sh", "rm -f " + flag);
    const std::string test = script("test.sh", "[ -e " + flag + " ]");

    tarrow_test::TestEnv here(box->Dir());
    ConfigManager store;
    HeartBeatGlobalConfig* settings = store.GetHeartBeatGlobalConfig();
    settings->SetHostRole(0);
    settings->SetPort(port);
    settings->SetBeatInterval(200);
    settings->SetBeatTimeout(5000);
    settings->SetMaxFailCount(5);
    {
      auto links = store.EditHeartBeatLinkConfig();
      HeartBeatLinkConfig* link = new HeartBeatLinkConfig();
      link->SetId(1);
      link->SetOrder(1);
      link->SetType(HBL_TYPE_TCP);
      link->SetName("peer");
      link->SetAddress("127.0.0.1");
      link->SetKeyA("first-key");
      link->SetKeyB("second-key");
      links->push_back(link);
      links.Save();
    }
    store.GetGC()->SetStartDelay(5000);  // the least the console accepts
    store.SaveCrtGC();
    {
      // Common lines (id, name, check interval, failures before restart,
      // tries, id, start and stop time-outs, own test, test program and
      // arguments, test time-out, failure reset, managed), then the custom
      // lines (start, its arguments, stop, its arguments, spare number).
      std::vector<std::string> lines = {"1",  "custom", "100",   "3",     "1", "1", "20000", "20000", "1", test,
                                        "",   "20000",  "3600000", "1", start, "",  stop,    "",      "0"};
      unsigned int index = 0;
      auto resources = store.EditCustomConfig();
      resources->push_back(new CustomResConfig(&lines, &index));
      resources.Save();
    }
    {
      ResourceTreeConfig* tree = new ResourceTreeConfig();
      tree->SetId(1);
      tree->SetName("tree");
      tree->SetGuid(kTreeGuid);
      tree->SetTakeBack(true);
      tree->SetHome(true);
      tree->SetRunning(false);
      tree->SetGoing(true);
      sResourceTreeRel relation;
      relation.kind = 5;
      relation.configId = 1;
      relation.inTreeId = 1;
      tree->SetRelations({relation});
      tree->SetNextInTreeId(2);
      auto trees = store.EditResourceTreeConfig();
      trees->push_back(tree);
      trees.Save();
    }
  }
};

TEST_P(DaemonPeerTest, SignalEndsTheRunningNodeAsItAsks) {
  const Shutdown& c = GetParam();
  box->LaunchProgram(TARROW_DAEMON_PEER, {box->Dir()}, false);
  ASSERT_TRUE(WaitUntil([&] { return !box->ReadFile("peer.port").empty(); })) << "the peer did not come up";
  Configure(static_cast<unsigned short>(std::atoi(box->ReadFile("peer.port").c_str())));

  const pid_t node = box->LaunchProgram(box->Tarrowd(), {}, true);
  // The tree's own alarm once it runs (its resource has run its start script).
  ASSERT_TRUE(WaitUntil([&] { return CountAlarms(11, kTreeStarted) == 1; }, 60000))
      << "the tree never ran; the peer was asked:\n" << box->ReadFile("peer.log");
  ASSERT_TRUE(std::filesystem::exists(FlagFile()));

  ASSERT_EQ(0, kill(node, c.signal));
  DaemonSandbox::Result run = box->Finish(node);
  EXPECT_EQ(0, run.status);
  EXPECT_TRUE(Contains(run.output, "receive term sig " + std::to_string(c.signal) + "\n")) << run.output;
  EXPECT_EQ(1, CountAlarms(11, c.alarm));
  EXPECT_EQ(c.treeStops, !std::filesystem::exists(FlagFile()));
  EXPECT_EQ(c.treeStops ? 1 : 0, CountAlarms(11, kTreeStopped));

  const std::vector<std::string> requests = PeerRequests();
  auto find = [&](const std::string& command) {
    return std::find_if(requests.begin(), requests.end(),
                        [&](const std::string& line) { return Command(line) == command; });
  };
  const auto notice = find(c.notice);
  EXPECT_NE(requests.end(), notice) << box->ReadFile("peer.log");
  const auto takeover = find("RES_RequestTakeover");
  if (c.treeStops) {
    ASSERT_NE(requests.end(), takeover) << box->ReadFile("peer.log");
    EXPECT_LT(notice, takeover);
    EXPECT_EQ(std::string("RES_RequestTakeover\t") + kTreeGuid + "|", *takeover);
    EXPECT_EQ(requests.end(), find("SYS_Offline"));
  } else {
    EXPECT_EQ(requests.end(), takeover) << box->ReadFile("peer.log");
    EXPECT_EQ(requests.end(), find("SYS_Shutdown"));
  }
}

INSTANTIATE_TEST_SUITE_P(Signals, DaemonPeerTest,
                         ::testing::Values(Shutdown{56, kStoppedWithTrees, "SYS_Shutdown", true},
                                           Shutdown{15, kStoppedKeepingTrees, "SYS_Offline", false}),
                         [](const ::testing::TestParamInfo<Shutdown>& info) {
                           return info.param.signal == 56 ? std::string("Signal56HandsTheTreeOver")
                                                          : std::string("Signal15LeavesTheTreeRunning");
                         });

}  // namespace
