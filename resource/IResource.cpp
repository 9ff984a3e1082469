#include "resource/IResource.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>

#include "config/IResourceConfig.h"
#include "config/ResourceTreeConfig.h"
#include "framework/AsyncExecutor.h"
#include "framework/Convert.h"
#include "framework/Env.h"
#include "framework/Exception.h"
#include "framework/MutexGuard.h"
#include "framework/ProcessManager.h"
#include "resource/ResourTreeFailEventListener.h"
#include "resource/ResourceEvents.h"
#include "resource/ResourceStarter.h"
#include "resource/ResourceStopper.h"
#include "resource/ResourceTree.h"

namespace Oxbrindale {
namespace Velmora {
namespace Resource {

using Config::IResourceConfig;
using Framework::AsyncExecutor;
using Framework::Convert;
using Framework::Env;
using Framework::MutexGuard;
using Framework::ProcessManager;

namespace {

// Longest single wait of a loop that also watches for a shutdown.
const long kSliceMs = 20;

const char* const kStartTimeoutText = "start resource failure, start thread working timeout！";
const char* const kStartVetoText = "启动失败！遭遇断言否决";
const char* const kStartRetryText = "启动失败！超过重试次数";
const char* const kStopRetryText = "停止失败！超过重试次数";
const char* const kCutShortText = "资源正在关闭，操作已中断！";

typedef std::chrono::steady_clock Clock;

long MsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<long>(left) : 0;
}

Clock::time_point After(long ms) { return Clock::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms); }

std::string Quoted(const std::string& name) { return "\"" + name + "\""; }

long long NowSeconds() { return static_cast<long long>(Env::Get()->WallClock().tv_sec); }

}  // namespace

IResource::IResource(short kind, short number) : ResourceEntity(kind, number) {}

IResource::~IResource() {
  // The kind's destructor has done this already; this is the last resort for
  // a kind that did not.
  EndForDestruction();
}

// ---- kinds' hooks --------------------------------------------------------

void IResource::ProcessOnResourceFailure() {
  if (!BeforeStartCheck(true)) {
    SetCannotStart(true);
    ResourceEvents::TreeChanged();
  }
}

void IResource::StartRes() {
  throw new Exception("PROGRAM", "程序BUG：采用了Thread方式启动资源但是却没有在子类中重写void StartRes()函数!");
}

void IResource::StopRes() {
  throw new Exception("PROGRAM", "程序BUG：采用了Thread方式停止资源但是却没有在子类中重写void StopRes()函数!");
}

void IResource::SetTree(ResourceTree* tree, unsigned inTreeId) {
  _tree.store(tree);
  SetInTreeId(inTreeId);
}

bool IResource::BeforeStartCheck(bool alarm) {
  (void)alarm;
  return true;
}

bool IResource::BeforeStartCheckNoImpact(bool alarm) { return BeforeStartCheck(alarm); }

std::string IResource::GetPreStartReason() {
  MutexGuard guard(_reasonLock);
  return _preStartReason;
}

void IResource::SetPreStartReason(const std::string& reason) {
  MutexGuard guard(_reasonLock);
  _preStartReason = reason;
}

IResource::Timings IResource::GetTimings() {
  MutexGuard guard(_timingsLock);
  return _timings;
}

void IResource::SetTimings(const Timings& timings) {
  MutexGuard guard(_timingsLock);
  _timings = timings;
}

// ---- check thread life ---------------------------------------------------

void IResource::_ClearFailureCounters() {
  SetFailureCount(0);
  SetSecondCounter(0);
}

bool IResource::_Ending() const { return _mode.load() == RES_OP_END || _shutdownRequested.load(); }

void IResource::InitTestThread(OX_RESOURCE_OP mode) {
  MutexGuard guard(_mutex);
  if (_mode.load() != RES_OP_END) return;
  _ClearFailureCounters();
  _shutdownRequested.store(false);
  _wake.Drain();
  _mode.store(mode);
  delete _executor;  // one left over has ended: ShutdownTestThread waited for it
  _executor = new AsyncExecutor(this, "RES_TEST_THREAD");
  try {
    _executor->Start();
  } catch (Exception* e) {
    ResourceEvents::Print(e->message);
    delete e;
    delete _executor;
    _executor = nullptr;
    _mode.store(RES_OP_END);
  }
}

void IResource::ShutdownTestThread() {
  // First cut short whatever the running step waits for, so that the step
  // ends and gives the mutex up.
  _shutdownRequested.store(true);
  _wake.Post();
  AsyncExecutor* executor = nullptr;
  {
    MutexGuard guard(_mutex);
    if (_mode.load() != RES_OP_END) {
      _mode.store(RES_OP_END);
      executor = _executor;
      _executor = nullptr;
    }
  }
  if (executor != nullptr) {
    _modeSem.Post();
    executor->WaitExited(GetTimings().shutdownWaitMs);
    delete executor;  // ends a thread that still runs
  }
  // The check thread is gone and with it the step the request was for. A
  // worker it left behind ends on its own: the resource's destruction waits
  // for it, nothing else does. A start or stop asked for from now on runs in
  // full.
  _shutdownRequested.store(false);
}

void IResource::EndForDestruction() {
  ShutdownTestThread();
  // Late workers still call into this object: cut their waits short and let
  // them end before it goes.
  _shutdownRequested.store(true);
  _wake.Post();
  _WaitLateWorkers();
}

bool IResource::_SetModeUnlessEnd(OX_RESOURCE_OP mode) {
  if (_mode.load() == RES_OP_END) return false;
  _mode.store(mode);
  _modeSem.Post();
  return true;
}

void IResource::TrunTestMode() {
  MutexGuard guard(_mutex);
  if (_mode.load() == RES_OP_END) return;
  _ClearFailureCounters();
  _SetModeUnlessEnd(RES_OP_TEST);
}

void IResource::TurnDeTestMode() {
  MutexGuard guard(_mutex);
  _SetModeUnlessEnd(RES_OP_DETEST);
}

void IResource::TrunNoneMode() {
  MutexGuard guard(_mutex);
  _SetModeUnlessEnd(RES_OP_NONE);
}

void IResource::TurnStartMode() {
  MutexGuard guard(_mutex);
  if (_mode.load() == RES_OP_END) {
    ResourceEvents::Print("*** cannot turn start mode ***");
    return;
  }
  SetOperating(true);
  _ClearFailureCounters();
  _SetModeUnlessEnd(RES_OP_START);
}

void IResource::TurnStopMode() {
  MutexGuard guard(_mutex);
  if (_mode.load() == RES_OP_END) return;
  SetOperating(true);
  _ClearFailureCounters();
  _SetModeUnlessEnd(RES_OP_STOP);
}

// ---- the check thread ----------------------------------------------------

std::string IResource::_Name() {
  IResourceConfig* config = GetIResConfig();
  return config != nullptr ? config->GetName() : std::string();
}

std::string IResource::_TreeName() {
  ResourceTree* tree = _tree.load();
  if (tree == nullptr || tree->GetConfig() == nullptr) return std::string();
  return tree->GetConfig()->GetName();
}

int IResource::Run() {
  while (_mode.load() != RES_OP_END) {
    IResourceConfig* config = GetIResConfig();
    const long interval = config != nullptr ? config->GetCheckInterval() : 1000;
    _modeSem.TimedWait(_mode.load() == RES_OP_RESUME ? GetTimings().resumeWaitMs : interval);

    int operation = -1;  // 1 start, 0 stop
    {
      MutexGuard guard(_mutex);
      switch (_mode.load()) {
        case RES_OP_TEST:
          DoTestRes();
          break;
        case RES_OP_RESUME:
          TryResumeRes();
          break;
        case RES_OP_DETEST:
          MakeSureResStop();
          break;
        case RES_OP_START:
          _DoStart();
          operation = 1;
          break;
        case RES_OP_STOP:
          _DoStop();
          operation = 0;
          break;
        default:
          break;
      }
      // Done with the tree's start or stop: idle again, and no longer
      // operating, before the tree hears of it. End stays End.
      if (operation >= 0) {
        if (_mode.load() != RES_OP_END) _mode.store(RES_OP_NONE);
        SetOperating(false);
      }
    }

    ResourceTree* tree = _tree.load();
    // A step cut short by a shutdown reports nothing: its result means nothing.
    if (operation >= 0 && tree != nullptr && !_Ending()) tree->OnOneResOpComplete(_lastResult.load(), operation);
    if (_treeFailurePending.exchange(false) && tree != nullptr && !_Ending()) tree->NotifyResourceFailure();

    // Failure reset: a failure older than the reset time is forgotten.
    config = GetIResConfig();
    if (config == nullptr) continue;
    const unsigned short failures = GetFailureCount();
    const int32_t failedAt = GetLastFailureTime();
    if (failures != 0 && failedAt != 0) {
      // Measured on the monotonic clock; the failure time kept in the
      // record is the wall clock's, for people to read.
      const long long elapsedMs = Env::Get()->WaitClockMs() - _failedAtClockMs.load();
      if (static_cast<uint64_t>(elapsedMs) >= static_cast<uint64_t>(config->GetFailureResetTime())) SetFailureCount(0);
    }

    // Giving up: too many failures in a row.
    if (static_cast<int>(GetFailureCount()) > config->GetMaxFailRestart()) {
      {
        MutexGuard guard(_mutex);
        const int mode = _mode.load();
        if (mode != RES_OP_START && mode != RES_OP_STOP && mode != RES_OP_END) _mode.store(RES_OP_NONE);
      }
      if (!_Ending()) {
        ProcessOnResourceFailure();
        if (tree != nullptr) tree->NotifyResourceFailure();
      }
      SetFailureCount(0);
      ResourceEvents::Alarm(2, "检测到资源树" + Quoted(_TreeName()) + "中的资源" + Quoted(_Name()) +
                                   "发生频繁失败，虽然尝试恢复，但是其失败次数超过了设定的最大恢复次数 " +
                                   Convert::ToString<int>(config->GetMaxFailRestart()) +
                                   " 次，达到切换条件，执行转移该资源树到对机操作！");
    }

    // A refused resource may start again: tell the tree's owner.
    if (_canStartRequest.load()) {
      bool tell = false;
      {
        MutexGuard guard(_mutex);
        const int mode = _mode.load();
        if (mode != RES_OP_START && mode != RES_OP_STOP && mode != RES_OP_END) {
          _mode.store(RES_OP_NONE);
          tell = true;
        }
      }
      _canStartRequest.store(false);
      if (tell && tree != nullptr && !_Ending()) {
        ResourTreeFailEventListener* listener = tree->GetListener();
        if (listener != nullptr) listener->OnResourceCanStart(tree);
      }
    }
  }
  return 0;
}

void IResource::DoTestRes() {
  if (Test()) {
    _newlyCreated.store(false);
    return;
  }
  IResourceConfig* config = GetIResConfig();
  if (config == nullptr || config->GetManaged() == 0) return;
  if (_Ending()) return;  // a check cut short by a shutdown counts for nothing
  if (!_newlyCreated.load())
    ResourceEvents::Alarm(7, "资源" + Quoted(_Name()) + "在日常运行检测中发生了失败，正在尝试恢复..");
  SetFailureCount(static_cast<unsigned short>(GetFailureCount() + 1));
  SetLastFailureTime(static_cast<int32_t>(NowSeconds()));
  _failedAtClockMs.store(Env::Get()->WaitClockMs());
  _mode.store(RES_OP_RESUME);
  _modeSem.Post();
}

void IResource::TryResumeRes() {
  SetOperating(true);
  ResourceEvents::TreeChanged();
  try {
    Start();
  } catch (Exception* e) {
    delete e;
  }
  SetOperating(false);
  if (Test()) {
    if (!_newlyCreated.load()) {
      ResourceEvents::Alarm(7, "资源" + Quoted(_Name()) + "在日常运行检测中发生了失败，但已经成功从失败中恢复！");
    } else {
      _newlyCreated.store(false);
      ResourceEvents::TreeChanged();
    }
    if (_mode.load() != RES_OP_END) _mode.store(RES_OP_TEST);
    return;
  }
  // A recovery cut short by a shutdown is no failure of the resource.
  if (_Ending()) return;
  if (!_newlyCreated.load()) {
    _mode.store(RES_OP_DETEST);
    ProcessOnResourceFailure();
    _treeFailurePending.store(true);  // told once the mutex is released
    ResourceEvents::Alarm(2, "检测到资源树" + Quoted(_TreeName()) + "中的资源" + Quoted(_Name()) +
                                 "失败，无法进行恢复，达到切换条件，执行转移该资源树到对机操作！");
  } else {
    _mode.store(RES_OP_NONE);
    IResourceConfig* config = GetIResConfig();
    if (config != nullptr) config->SetManaged(0);
    const std::string name = _Name();
    ResourceEvents::Alarm(3, "创建了资源：" + name + "，但是在无法启动，本资源将暂时不受管理，请修改本资源后重试！");
    ResourceEvents::Error("创建了资源：" + name + "，但是在无法启动，本资源将不受管理，请修改本资源后重试！");
  }
}

void IResource::MakeSureResStop() {
  IResourceConfig* config = GetIResConfig();
  if (Test() && config != nullptr && config->GetManaged() != 0) {
    try {
      Stop();
    } catch (Exception* e) {
      delete e;
    }
  }
  if (IsCannotStart() && BeforeStartCheck(false)) {
    SetCannotStart(false);
    ResourceEvents::TreeChanged();
    _canStartRequest.store(true);
  }
}

void IResource::_DoStart() {
  SetOperating(true);
  ResourceEvents::TreeChanged();
  try {
    Start();
  } catch (Exception* e) {
    delete e;
  }
  _lastResult.store(Test());
  SetOperating(false);
  ResourceEvents::TreeChanged();
}

void IResource::_DoStop() {
  SetOperating(true);
  ResourceEvents::TreeChanged();
  try {
    Stop();
  } catch (Exception* e) {
    ResourceEvents::Print("************" + e->message + "************");
    delete e;
  }
  SetOperating(false);
  _lastResult.store(!Test());
  ResourceEvents::TreeChanged();
}

// ---- check, start and stop -----------------------------------------------

bool IResource::_Pause(long ms) {
  const Clock::time_point deadline = After(ms);
  while (!_shutdownRequested.load()) {
    const long left = MsLeft(deadline);
    if (left <= 0) return true;
    _wake.TimedWait(std::min(left, kSliceMs));
  }
  return false;
}

bool IResource::_WaitWorker(AsyncExecutor* worker, long ms) {
  const Clock::time_point deadline = After(ms);
  for (;;) {
    if (worker->GetState() != AsyncExecutor::STATE_RUNNING) return true;
    const long left = MsLeft(deadline);
    if (left <= 0 || _shutdownRequested.load()) return false;
    worker->WaitExited(std::min(left, kSliceMs));
  }
}

bool IResource::_WaitChild(ProcessManager& child, long ms) {
  const Clock::time_point deadline = After(ms);
  for (;;) {
    if (!child.IsAlive()) return true;
    const long left = MsLeft(deadline);
    if (left <= 0 || _shutdownRequested.load()) return false;
    _wake.TimedWait(std::min(left, kSliceMs));
  }
}

bool IResource::Test() {
  if (!TestRes()) {
    SetCurrentStatu(0);
    return false;
  }
  IResourceConfig* config = GetIResConfig();
  if (config == nullptr || config->GetCustomTestSwitch() == 0) {
    SetCurrentStatu(1);
    return true;
  }
  ProcessManager program;
  program.SimpleStartProcess(config->GetCustomTestProgram(), config->GetCustomTestArgs());
  bool passed = false;
  if (_WaitChild(program, config->GetCustomTestTimeout())) {
    passed = program.GetExitCode() == 0;
  } else {
    program.Terminate();
  }
  SetCurrentStatu(passed ? 1 : 0);
  return passed;
}

void IResource::_KeepLateWorker(AsyncExecutor* worker, bool starter) {
  MutexGuard guard(_lateLock);
  _lateWorkers.push_back(worker);
  if (starter) _lateStarters.push_back(worker);
}

void IResource::_ReapLateWorkers() {
  std::vector<AsyncExecutor*> ended;
  {
    MutexGuard guard(_lateLock);
    for (auto it = _lateWorkers.begin(); it != _lateWorkers.end();) {
      if ((*it)->GetState() != AsyncExecutor::STATE_RUNNING) {
        ended.push_back(*it);
        _lateStarters.erase(std::remove(_lateStarters.begin(), _lateStarters.end(), *it), _lateStarters.end());
        it = _lateWorkers.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (AsyncExecutor* worker : ended) delete worker;  // joins the ended thread
}

void IResource::_WaitLateWorkers() {
  std::vector<AsyncExecutor*> workers;
  {
    MutexGuard guard(_lateLock);
    workers.swap(_lateWorkers);
    _lateStarters.clear();
  }
  for (AsyncExecutor* worker : workers) {
    worker->WaitExited();
    delete worker;
  }
}

size_t IResource::GetLateWorkerCount() {
  _ReapLateWorkers();
  MutexGuard guard(_lateLock);
  return _lateWorkers.size();
}

void IResource::StartByThread() {
  if (Test()) return;
  IResourceConfig* config = GetIResConfig();
  const int maxTry = config != nullptr ? config->GetMaxTry() : 0;
  const long timeout = config != nullptr ? config->GetStartTimeout() : 0;
  for (int attempt = 0;; ++attempt) {
    _ReapLateWorkers();
    const Timings timings = GetTimings();
    ResourceStarter* starter = new ResourceStarter(this, timings.workerRetryPauseMs, timings.vetoPauseMs);
    std::unique_ptr<AsyncExecutor> worker(new AsyncExecutor(starter, "ResStarter"));  // owns the starter
    try {
      worker->Start();
    } catch (Exception* e) {
      const std::string message = e->message;
      delete e;
      throw new Exception("RES_SS", message);
    }
    if (!_WaitWorker(worker.get(), timeout)) {
      starter->CallStop();
      if (!_WaitWorker(worker.get(), timings.startGraceMs)) _KeepLateWorker(worker.release(), true);
      throw new Exception("RES_SS", kStartTimeoutText);
    }
    const bool vetoed = starter->IsVetoed();
    worker.reset();
    if (Test()) return;
    if (vetoed) throw new Exception("RES_SS", kStartVetoText);
    if (attempt >= maxTry) throw new Exception("RES_SS", kStartRetryText);
    if (_shutdownRequested.load()) throw new Exception("RES_SS", kCutShortText);
  }
}

bool IResource::_AwaitLateStarters(long ms) {
  const Clock::time_point deadline = After(ms);
  for (;;) {
    _ReapLateWorkers();
    {
      MutexGuard guard(_lateLock);
      if (_lateStarters.empty()) return true;
    }
    const long left = MsLeft(deadline);
    if (left <= 0 || _shutdownRequested.load()) return false;
    _wake.TimedWait(std::min(left, kSliceMs));
  }
}

void IResource::StopByThread() {
  IResourceConfig* config = GetIResConfig();
  const int maxTry = config != nullptr ? config->GetMaxTry() : 0;
  const long timeout = config != nullptr ? config->GetStopTimeout() : 0;
  const std::string name = _Name();
  // A worker left over from an earlier start may still bring the resource
  // up: a stop that answered before it ended would not hold.
  if (!_AwaitLateStarters(timeout)) {
    if (_shutdownRequested.load()) throw new Exception("RES_SS", kCutShortText);
    ResourceEvents::Post("DEBUG", "停止失败。超过重试次数！");
    throw new Exception("RES_SS", kStopRetryText);
  }
  if (!Test()) return;
  for (int attempt = 0;; ++attempt) {
    _ReapLateWorkers();
    ResourceEvents::Post("DEBUG", "停止资源。" + name);
    const Timings timings = GetTimings();
    ResourceStopper* stopper = new ResourceStopper(this, timings.workerRetryPauseMs);
    std::unique_ptr<AsyncExecutor> worker(new AsyncExecutor(stopper, "ResStopper"));  // owns the stopper
    try {
      worker->Start();
    } catch (Exception* e) {
      const std::string message = e->message;
      delete e;
      throw new Exception("RES_SS", message);
    }
    if (!_WaitWorker(worker.get(), timeout)) {
      stopper->CallStop();
      if (!_WaitWorker(worker.get(), timings.stopGraceMs)) _KeepLateWorker(worker.release(), false);
    }
    worker.reset();
    if (!Test()) {
      ResourceEvents::Post("DEBUG", "成功停止资源。" + name);
      return;
    }
    if (attempt >= maxTry) {
      ResourceEvents::Post("DEBUG", "停止失败。超过重试次数！");
      throw new Exception("RES_SS", kStopRetryText);
    }
    if (_shutdownRequested.load()) throw new Exception("RES_SS", kCutShortText);
  }
}

void IResource::StartByProcess(const std::string& program, const std::string& arguments) {
  if (Test()) return;
  IResourceConfig* config = GetIResConfig();
  const int maxTry = config != nullptr ? config->GetMaxTry() : 0;
  const long timeout = config != nullptr ? config->GetStartTimeout() : 0;
  const std::string name = _Name();
  for (int attempt = 0;; ++attempt) {
    ResourceEvents::Post("DEBUG", "启动资源。" + name);
    // The attempt number is the last argument; no empty one before it.
    const std::string number = Convert::ToString<int>(attempt);
    ProcessManager child;
    child.SimpleStartProcess(program, arguments.empty() ? number : arguments + " " + number);
    if (!_WaitChild(child, timeout)) child.Terminate();
    ResourceEvents::Print("Exit Code Is: " + Convert::ToString<int>(child.GetExitCode()));
    child.Close();
    _Pause(GetTimings().programSettleMs);
    if (Test()) {
      ResourceEvents::Post("DEBUG", "成功启动资源。" + name);
      return;
    }
    if (attempt >= maxTry) {
      ResourceEvents::Post("DEBUG", "启动失败。超过重试次数！");
      throw new Exception("RES_SS", kStartRetryText);
    }
    if (_shutdownRequested.load()) throw new Exception("RES_SS", kCutShortText);
  }
}

void IResource::StopByProcess(const std::string& program, const std::string& arguments) {
  if (!Test()) return;
  IResourceConfig* config = GetIResConfig();
  const int maxTry = config != nullptr ? config->GetMaxTry() : 0;
  const long timeout = config != nullptr ? config->GetStopTimeout() : 0;
  const std::string name = _Name();
  for (int attempt = 0;; ++attempt) {
    ResourceEvents::Post("DEBUG", "停止资源。" + name);
    ProcessManager child;
    child.SimpleStartProcess(program, arguments);
    if (!_WaitChild(child, timeout)) child.Terminate();
    child.Close();
    _Pause(GetTimings().programSettleMs);
    if (!Test()) {
      ResourceEvents::Post("DEBUG", "成功停止资源。" + name);
      return;
    }
    if (attempt >= maxTry) {
      ResourceEvents::Post("DEBUG", "停止失败。超过重试次数！");
      throw new Exception("RES_SS", kStopRetryText);
    }
    if (_shutdownRequested.load()) throw new Exception("RES_SS", kCutShortText);
  }
}

}  // namespace Resource
}  // namespace Velmora
}  // namespace Oxbrindale
