#include "core/TarrowDemo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "alarm/AlarmManager.h"
#include "config/ConfigManager.h"
#include "core/ConsolePrinter.h"
#include "core/DrbdBSWatcher.h"
#include "core/HAMachine.h"
#include "framework/AsyncExecutor.h"
#include "framework/Convert.h"
#include "framework/Env.h"
#include "framework/EventManager.h"
#include "framework/Exception.h"
#include "framework/InstanceLock.h"
#include "framework/MachineController.h"
#include "framework/ProcessTable.h"
#include "framework/Sleep.h"
#include "framework/StartReport.h"

namespace Oxbrindale {
namespace Velmora {
namespace Core {

using Alarm::OXAlarm;
using Config::ConfigManager;
using Framework::Convert;
using Framework::Env;
using Framework::EventManager;
using Framework::InstanceLock;
using Framework::MachineController;
using Framework::ProcessTable;
using Framework::ServiceProtector;
using Framework::StartReport;

const char TarrowDemo::kGuardFile[] = "tarrowguard";
const char TarrowDemo::kLockFile[] = "tarrowd.lock";
const char TarrowDemo::kBuild[] = "223";

namespace {

const char kInstallHint[] = "Oxbrindale Tarrow Cluster for LINUX, cannot start please install service first!\n";
const char kAlreadyRunning[] = "process is already running..\n";
const char kNotRunning[] = "tarrowd is not running\n";
// The alarm kind of a failed start and of a configuration file replaced by
// its defaults: a system error.
const int kSystemErrorAlarm = 12;

void TermSignals(sigset_t* set) {
  sigemptyset(set);
  sigaddset(set, TarrowDemo::kKeepTreeSignal);
  sigaddset(set, TarrowDemo::kStopTreeSignal);
}

}  // namespace

TarrowDemo::TarrowDemo() : TarrowDemo(Timing()) {}

TarrowDemo::TarrowDemo(const Timing& timing) : _timing(timing) {}

void TarrowDemo::_Print(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

void TarrowDemo::_PrintError(const std::string& line) {
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
}

void TarrowDemo::_End(int status) {
  Alarm::AlarmManager::Instance()->Dispose();
  std::fflush(stdout);
  std::fflush(stderr);
  _exit(status);
}

void TarrowDemo::_BlockTermSignals(sigset_t* previous) {
  sigset_t set;
  TermSignals(&set);
  sigprocmask(SIG_BLOCK, &set, previous);
}

int TarrowDemo::Main(int argc, char** argv) {
  MachineController::SetupProcess();
  if (argc < 2) {
    ForegroundRun();
    return 0;
  }
  const std::string word = argv[1];
  if (word == "start") return StartTarrowDeamon(argc, argv);
  if (word == "stop") return StopTarrowDeamon(argc, argv);
  if (word == "gentle_stop") {
    GentleStopTarrowService();
    return 0;
  }
  if (word == "-clear_backup") return ClearBackup(argc, argv);
  if (word == "-resume_backup") return ResumeBack(argc, argv);
  if (word == "-just_reboot") return JustReboot(argc, argv);
  if (word == "test") return Test(argc, argv);
  return 0;
}

// ---- start -----------------------------------------------------------------------

HAMachine* TarrowDemo::_Machine() {
  if (_machine != nullptr) return _machine;
  _machine = HAMachine::Instance(_timing.machine);
  // The split-brain watcher exists from the start, so that notices the peer
  // relays reach it; its pipe reader starts with the heartbeat.
  DrbdBSWatcher* watcher = DrbdBSWatcher::Instance();
  watcher->SetHeartBeatManager(&_machine->GetHeartBeatManager());
  _machine->SetSplitBrainReaderHook([watcher] { watcher->Init(); });
  if (_openConsole) _machine->SetConsoleListenerHook(_openConsole);
  return _machine;
}

void TarrowDemo::_StartSteps() {
  // The trace log drops lines while its folder is missing (a first start).
  Convert::ReadyDir(Convert::GetAppPath() + "log");
  EventManager::TrackLog("Before bool WithMachineBoot=!(WinService::IsServiceStarted(OX_SERVICE_WATCHER_NAME));");
  ConfigManager::Instance()->ClearDmp();
  EventManager::TrackLog("Before SetSSFlag");
  ConfigManager::Instance()->SetSSFlag(true);
  EventManager::TrackLog("Before StartReportor");
  EventManager::TrackLog("Before InitMachine");
  // Every file first: a file that cannot be used stops the start before the
  // machine runs on a part of the configuration.
  ConfigManager::Instance()->LoadAll();
  _machineBegun = true;
  _Machine()->InitMachine(0);
  for (const std::string& notice : ConfigManager::Instance()->TakeNotices()) {
    EventManager::TrackLog(notice);
    OXAlarm(kSystemErrorAlarm, notice);
  }
}

void TarrowDemo::_RecordStartFailure(const std::string& reason) {
  EventManager::TrackLog("启动失败：" + reason);
  // The alarm executors start with the machine; a start that failed before
  // it starts them here, so that the alarm reaches the log.
  if (!_machineBegun) Alarm::AlarmManager::Instance()->Init();
  OXAlarm(kSystemErrorAlarm, "启动失败：" + reason);
}

void TarrowDemo::_GuardWatcher() {
  pProtectorOfWatcherService = new ServiceProtector(kGuardFile, _timing.guard);
  pProtectorOfWatcherService->SetGiveUpAction([this] { _OnGuardGaveUp(); });
  pProtectorOfWatcherService->StartProtectedService(_timing.guardStartWaitMs);
  pProtectorOfWatcherService->StartProtection();
}

void TarrowDemo::_OnGuardGaveUp() {
  // Ending the daemon here would leave its trees running while the peer
  // takes them over: it keeps serving and tries again later.
  const std::string text = std::string("守护进程 ") + kGuardFile + " 多次启动失败，" +
                           std::to_string(_timing.guardRetryMs / 1000) + " 秒后重试。";
  OXAlarm(11, text);
  EventManager::TrackLog(text);
  const long long now = Env::Get()->WaitClockMs();
  _guardGaveUpAt.store(now > 0 ? now : 1);
}

void TarrowDemo::_RetryGuardWhenDue() {
  const long long at = _guardGaveUpAt.load();
  if (at == 0 || Env::Get()->WaitClockMs() < at + _timing.guardRetryMs) return;
  _guardGaveUpAt.store(0);
  // The old guard's thread ended with its give-up; the destructor joins it.
  delete pProtectorOfWatcherService;
  pProtectorOfWatcherService = nullptr;
  EventManager::TrackLog(std::string("重新守护 ") + kGuardFile);
  try {
    _GuardWatcher();
  } catch (Exception* e) {
    EventManager::TrackLog(std::string("守护 ") + kGuardFile + " 失败：" + e->message);
    delete e;
    const long long now = Env::Get()->WaitClockMs();
    _guardGaveUpAt.store(now > 0 ? now : 1);
  }
}

int TarrowDemo::StartTarrowDeamon(int, char**) {
  const std::string exe = Convert::GetExePath();
  if (!ProcessTable::PidsOf(exe, true).empty()) {
    _Print(kAlreadyRunning);
    return -2;
  }
  // Two "start"s at once may both find no daemon above; only the one that
  // takes the lock goes on, and its daemon keeps the lock for life.
  InstanceLock* lock = new InstanceLock(Convert::GetAppPath() + kLockFile);
  const InstanceLock::Result locked = lock->TryAcquire();
  const int lockError = errno;
  if (locked == InstanceLock::HELD_ELSEWHERE) {
    delete lock;
    _Print(kAlreadyRunning);
    return -2;
  }
  if (locked != InstanceLock::ACQUIRED) {
    _PrintError("cannot lock " + lock->GetPath() + ": " + std::strerror(lockError));
    delete lock;
    return kStartFailedStatus;
  }
  // The command waits for the daemon's word: up, or why its start failed.
  StartReport report;
  if (!report.Open()) {
    _PrintError(std::string("start tarrowd fail! pipe error: ") + std::strerror(errno));
    delete lock;
    return kStartFailedStatus;
  }

  // Blocked before the fork: the daemon has them blocked from its first
  // instruction on, and so has every thread it starts.
  sigset_t previous;
  _BlockTermSignals(&previous);
  if (!MachineController::ForkIntoBackground("start tarrowd fail! fork error", previous, report,
                                             kStartFailedStatus)) {
    delete lock;
    return -1;
  }

  // The daemon: no thread runs yet.
  _lock = lock;
  if (!MachineController::DetachAfterFork({lock->GetFd(), report.DaemonFd()})) {
    report.Failed(std::string("setsid fail: ") + std::strerror(errno));
    _exit(kStartFailedStatus);
  }

  try {
    _StartSteps();
    _GuardWatcher();
    OXAlarm(11, std::string("系统启动运行！ Build ") + kBuild);
  } catch (Exception* e) {
    const std::string reason = e->message;
    delete e;
    _RecordStartFailure(reason);
    report.Failed(reason);
    _End(kStartFailedStatus);
  }
  report.Up();
  term_handler(_WaitTermSignal());
  StopTarrowService(IsStopTree);
}

bool TarrowDemo::StartTarrowTest() {
  try {
    _StartSteps();
    OXAlarm(11, std::string("系统启动运行！ Build ") + kBuild);
    return true;
  } catch (Exception* e) {
    const std::string reason = e->message;
    delete e;
    _RecordStartFailure(reason);
    _PrintError(reason);
    return false;
  }
}

int TarrowDemo::ForegroundRun() {
  _Print(kInstallHint);
  _BlockTermSignals(nullptr);
  _printer = new ConsolePrinter();  // lives until the process ends
  EventManager::Instance()->Subscript(_printer);
  if (!StartTarrowTest()) _End(kStartFailedStatus);
  term_handler(_WaitTermSignal());
  StopTarrowService(IsStopTree);
}

// ---- signals and shutdown ---------------------------------------------------------

int TarrowDemo::_WaitTermSignal() {
  sigset_t set;
  TermSignals(&set);
  for (;;) {
    int sig;
    if (pProtectorOfWatcherService == nullptr && _guardGaveUpAt.load() == 0) {
      sig = sigwaitinfo(&set, nullptr);
    } else {
      _RetryGuardWhenDue();
      long long waitMs = _timing.guardCheckMs;
      const long long at = _guardGaveUpAt.load();
      if (at != 0) {
        const long long left = at + _timing.guardRetryMs - Env::Get()->WaitClockMs();
        if (left < waitMs) waitMs = left > 0 ? left : 0;
      }
      struct timespec wait;
      wait.tv_sec = static_cast<time_t>(waitMs / 1000);
      wait.tv_nsec = static_cast<long>(waitMs % 1000) * 1000000L;
      sig = sigtimedwait(&set, nullptr, &wait);
    }
    if (sig > 0) return sig;
    if (errno == EINTR || errno == EAGAIN) continue;
    return -1;
  }
}

void TarrowDemo::term_handler(int signal) {
  if (signal < 0) return;  // the wait failed: the shutdown that leaves the trees
  IsStopTree = signal == kStopTreeSignal;
  _Print("receive term sig " + std::to_string(signal) + "\n");
}

void TarrowDemo::StopTarrowService(bool stopTree) {
  // The guard first: tarrowguard must not start tarrowd again while it goes.
  if (pProtectorOfWatcherService != nullptr) {
    pProtectorOfWatcherService->CallStop();
    pProtectorOfWatcherService->GetExecutor()->ExitAndMakeSure(_timing.guardExitWaitMs);
    pProtectorOfWatcherService->StopProtectedService(_timing.guardStopWaitMs);
  }
  HAMachine* machine = _Machine();
  if (stopTree) {
    OXAlarm(11, "操作系统退出！");
    ConfigManager::Instance()->SetShutdownFlag();
    machine->ShutdownTakeover();
  } else {
    OXAlarm(11, "系统退出！");
    machine->ResetQuorumInfo();
    ConfigManager::Instance()->SetShutdownFlag();
    machine->SetKeepTrees(true);
    machine->SendOfflineNotify();
  }
  Sleep(static_cast<unsigned int>(_timing.shutdownPauseMs));
  _End(0);
}

// ---- stop --------------------------------------------------------------------------

int TarrowDemo::StopTarrowDeamon(int argc, char** argv) {
  const bool keepTrees = argc == 3 && std::string(argv[2]) == "nostoptree";
  const int result = DoStopTarrowDeamon(keepTrees ? kKeepTreeSignal : kStopTreeSignal);
  if (result == -3) std::fputs(kNotRunning, stderr);
  return result;
}

int TarrowDemo::DoStopTarrowDeamon(int signal) {
  const std::string exe = Convert::GetExePath();
  const std::vector<int> pids = ProcessTable::PidsOf(exe, true);
  if (pids.empty()) return -3;
  // Every other process of this executable: the daemon, and a command of it
  // that the look above may have found first (a start, a backup word).
  for (int pid : pids) kill(pid, signal);
  for (int look = 0; look < _timing.stopLooks; ++look) {
    if (ProcessTable::PidsOf(exe, true).empty()) return 0;
    Sleep(static_cast<unsigned int>(_timing.stopLookMs));
  }
  // Only processes that still run this executable are killed: a pid taken
  // over by another program is not ours.
  for (int pid : ProcessTable::PidsOf(exe, true)) kill(pid, SIGKILL);
  const long long deadline = Env::Get()->WaitClockMs() + _timing.killWaitMs;
  while (!ProcessTable::PidsOf(exe, true).empty() && Env::Get()->WaitClockMs() < deadline) {
    Sleep(static_cast<unsigned int>(_timing.stopLookMs));
  }
  return 0;
}

// ---- backup words ------------------------------------------------------------------

int TarrowDemo::_ModeSignal(const std::string& mode) { return mode == "-stop" ? kStopTreeSignal : kKeepTreeSignal; }

int TarrowDemo::_RefuseBackupWord(const std::string& usage, const std::string& reason) {
  std::fprintf(stderr, "%s\nusage: tarrowd %s\n", reason.c_str(), usage.c_str());
  std::fflush(stderr);
  return -1;
}

int TarrowDemo::ClearBackup(int argc, char** argv) {
  if (argc < 3) return _RefuseBackupWord("-clear_backup <-stop|-nonstop>", "missing word");
  Sleep(static_cast<unsigned int>(_timing.backupPauseMs));
  DoStopTarrowDeamon(_ModeSignal(argv[2]));
  {
    // A store of its own: the daemon that follows reads configs/ afresh.
    ConfigManager store;
    store.ClearConfig();
  }
  StartTarrowDeamon(argc, argv);
  return 0;
}

int TarrowDemo::ResumeBack(int argc, char** argv) {
  const std::string usage = "-resume_backup <-stop|-nonstop> <backup name>";
  if (argc < 4) return _RefuseBackupWord(usage, "missing word");
  if (!ConfigManager::IsValidBackupName(argv[3])) return _RefuseBackupWord(usage, ConfigManager::BAD_BACKUP_NAME);
  Sleep(static_cast<unsigned int>(_timing.backupPauseMs));
  DoStopTarrowDeamon(_ModeSignal(argv[2]));
  {
    ConfigManager store;
    if (!store.ResuemBackupConfig(argv[3])) EventManager::TrackLog(std::string("无法恢复备份配置：") + argv[3]);
  }
  StartTarrowDeamon(argc, argv);
  return 0;
}

int TarrowDemo::JustReboot(int argc, char** argv) {
  if (argc < 3) return _RefuseBackupWord("-just_reboot <-stop|-nonstop>", "missing word");
  Sleep(static_cast<unsigned int>(_timing.rebootPauseMs));
  DoStopTarrowDeamon(_ModeSignal(argv[2]));
  Sleep(static_cast<unsigned int>(_timing.rebootPauseMs));
  StartTarrowDeamon(argc, argv);
  return 0;
}

// ---- test ----------------------------------------------------------------------------

int TarrowDemo::Test(int, char**) {
  pWatcher = DrbdBSWatcher::Instance();
  pWatcher->Init();
  Sleep(static_cast<unsigned int>(_timing.testSleepMs));
  return 0;
}

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale
