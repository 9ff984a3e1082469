#include "watcher/TarrowGuard.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "framework/AsyncExecutor.h"
#include "framework/Convert.h"
#include "framework/Env.h"
#include "framework/Exception.h"
#include "framework/InstanceLock.h"
#include "framework/MachineController.h"
#include "framework/ProcessManager.h"
#include "framework/ProcessTable.h"
#include "framework/Sleep.h"

namespace Oxbrindale {
namespace Velmora {
namespace Watcher {

using Framework::BsPipe;
using Framework::Convert;
using Framework::Env;
using Framework::InstanceLock;
using Framework::MachineController;
using Framework::ProcessManager;
using Framework::ProcessTable;
using Framework::ServiceProtector;

const char TarrowGuard::kGuardedFile[] = "tarrowd";
const char TarrowGuard::kLockFile[] = "tarrowguard.lock";

namespace {

void _TermSet(sigset_t* set) {
  sigemptyset(set);
  sigaddset(set, SIGTERM);
}

}  // namespace

TarrowGuard::TarrowGuard() : TarrowGuard(Timing()) {}

TarrowGuard::TarrowGuard(const Timing& timing) : _timing(timing) {}

void TarrowGuard::_Print(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

int TarrowGuard::Main(int argc, char** argv) {
  MachineController::SetupProcess();
  if (argc < 2) return ForegroundGuard();
  const std::string word = argv[1];
  if (word == "start") return StartTarrowWatcherDaemon();
  if (word == "stop") return StopTarrowWatcherDaemon();
  if (word == "BS_NOTIFY") return BrainSplitNotify(argc > 2 ? argv[2] : "");
  return 0;
}

void TarrowGuard::_Guard() {
  pProtectorOfMainService = new ServiceProtector(kGuardedFile, _timing.guard);
  pProtectorOfMainService->StartProtectedService(_timing.guard.commandWaitMs);
  pProtectorOfMainService->StartProtection();
}

int TarrowGuard::_WaitTermSignal() {
  sigset_t term;
  _TermSet(&term);
  for (;;) {
    int sig = sigwaitinfo(&term, nullptr);
    if (sig > 0) return sig;
    if (errno != EINTR) return -1;
  }
}

int TarrowGuard::ForegroundGuard() {
  try {
    _Guard();
  } catch (Exception* e) {
    _Print(e->message + "\n");
    delete e;
    return -1;
  }
  // No handler in this mode: a signal ends the process by its default action.
  for (;;) pause();
}

int TarrowGuard::StartTarrowWatcherDaemon() {
  if (ProcessManager::GetPidByPath(Convert::GetExePath(), true) != 0) {
    _Print("process is already running..\n");
    return -2;
  }
  // Two "start"s at once may both find no watcher above; only the one that
  // takes the lock goes on. Its daemon child keeps the lock for life. Where
  // no lock file can be made, the look above is all there is.
  InstanceLock* lock = new InstanceLock(Convert::GetAppPath() + kLockFile);
  if (lock->TryAcquire() == InstanceLock::HELD_ELSEWHERE) {
    delete lock;
    _Print("process is already running..\n");
    return -2;
  }

  // Signal 15 is blocked before the fork, so the daemon has it blocked from
  // its first instruction on, and so has every thread it starts; its main
  // thread takes it with sigwaitinfo.
  sigset_t term;
  sigset_t previous;
  _TermSet(&term);
  sigprocmask(SIG_BLOCK, &term, &previous);
  if (!MachineController::ForkIntoBackground("start tarrowguard fail! fork error", previous)) {
    delete lock;
    return -1;
  }

  // The daemon: no thread runs yet.
  if (!MachineController::DetachAfterFork(lock->GetFd())) return -1;

  try {
    _Guard();
    int sig = _WaitTermSignal();
    if (sig > 0) _Print("receive term sig " + Convert::ToString<int>(sig) + "\n");
    pProtectorOfMainService->CallStop();
    pProtectorOfMainService->GetExecutor()->ExitAndMakeSure(_timing.guardExitWaitMs);
  } catch (Exception* e) {
    _Print(e->message + "\n");
    delete e;
    return -1;
  }
  // tarrowd is left running. _exit: no static destructor runs while a
  // thread (a cancelled guard's leftovers, the runtime's) may still use it.
  std::fflush(stdout);
  _exit(0);
}

int TarrowGuard::StopTarrowWatcherDaemon() {
  const std::string exe = Convert::GetExePath();
  const std::vector<int> pids = ProcessTable::PidsOf(exe, true);
  if (pids.empty()) return -3;
  for (int pid : pids) kill(pid, SIGTERM);

  const long long deadline = Framework::Env::Get()->WaitClockMs() + _timing.stopWaitMs;
  for (;;) {
    if (ProcessTable::PidsOf(exe, true).empty()) return 0;
    if (Framework::Env::Get()->WaitClockMs() >= deadline) break;
    Sleep(static_cast<unsigned int>(_timing.stopPollMs));
  }
  // Hung, stopped, or deaf to signal 15. Only processes that still run this
  // executable are killed: a pid taken over by another program is not ours.
  for (int pid : ProcessTable::PidsOf(exe, true)) kill(pid, SIGKILL);
  const long long killDeadline = Framework::Env::Get()->WaitClockMs() + _timing.killWaitMs;
  while (!ProcessTable::PidsOf(exe, true).empty() && Framework::Env::Get()->WaitClockMs() < killDeadline) {
    Sleep(static_cast<unsigned int>(_timing.stopPollMs));
  }
  return 0;
}

int TarrowGuard::BrainSplitNotify(const std::string& name) {
  BsPipe pipe(_timing.pipe);
  return pipe.Notify(name);
}

}  // namespace Watcher
}  // namespace Velmora
}  // namespace Oxbrindale
