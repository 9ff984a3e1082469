#include "framework/ServiceProtector.h"

#include <unistd.h>

#include <cstdio>

#include "framework/Convert.h"
#include "framework/Env.h"
#include "framework/ProcessManager.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

namespace {

void _DefaultGiveUp() {
  std::fflush(stdout);
  // _exit, not exit: static destructors and atexit handlers must not run
  // while the other threads of the daemon still use what they destroy.
  _exit(0);
}

}  // namespace

ServiceProtector::ServiceProtector(std::string fileName) : ServiceProtector(std::move(fileName), Timing()) {}

ServiceProtector::ServiceProtector(std::string fileName, const Timing& timing)
    : _timing(timing),
      _fileName(std::move(fileName)),
      _path(Convert::GetAppPath() + _fileName),
      _giveUp(&_DefaultGiveUp),
      _guardExecutor(new AsyncExecutor(this, "服务守护线程")) {}

ServiceProtector::~ServiceProtector() {
  // The thread must be gone before the members it uses are.
  if (_guardExecutor->GetState() == AsyncExecutor::STATE_RUNNING) _guardExecutor->ExitAndMakeSure(6000);
  _guardExecutor.reset();
}

void ServiceProtector::StartProtection() { _guardExecutor->Start(); }

void ServiceProtector::CallStop() {
  AsyncExecutable::CallStop();
  _wake.Post();
}

long long ServiceProtector::_NowMs() const { return Env::Get()->WaitClockMs(); }

int ServiceProtector::Run() {
  while (!IsStopping()) {
    if (_failures > 0 && (_NowMs() - _lastFailureMs) / 1000 > _timing.failureWindowSec) _failures = 0;

    if (_SiblingRuns()) {
      _firstCycle = false;
    } else {
      // A stop during the delay ends the guard without counting a failure.
      if (_wake.TimedWait(_firstCycle ? _timing.firstDelayMs : _timing.retryDelayMs) || IsStopping()) break;
      _firstCycle = false;
      ++_failures;
      _lastFailureMs = _NowMs();
      std::string line = "FAIL ONE TIMES:" + _path + "\n";
      std::fwrite(line.data(), 1, line.size(), stdout);
      std::fflush(stdout);
      if (_failures > _timing.maxFailures) {
        _giveUp();
        return 0;
      }
      StartProtectedService(_timing.commandWaitMs);
    }

    _wake.TimedWait(_timing.cycleMs);
  }
  return 0;
}

bool ServiceProtector::_SiblingRuns() {
  if (_knownPid != 0 && ProcessManager::RunsPath(_knownPid, _path)) return true;
  _knownPid = ProcessManager::GetPidByPath(_path, false);
  return _knownPid != 0;
}

void ServiceProtector::_RunSibling(const char* word, long waitMs) {
  ProcessManager command;
  if (command.SimpleStartProcess(_path, word) < 0) return;
  if (!command.WaitTerminated(waitMs)) command.Terminate();
}

void ServiceProtector::StartProtectedService(long waitMs) { _RunSibling("start", waitMs); }

void ServiceProtector::StopProtectedService(long waitMs) { _RunSibling("stop", waitMs); }

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
