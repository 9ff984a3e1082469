#include "core/HAMachine.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <limits>
#include <thread>

#include "alarm/AlarmManager.h"
#include "config/ConfigManager.h"
#include "config/GlobalConfig.h"
#include "config/HeartBeatGlobalConfig.h"
#include "config/HeartBeatLinkConfig.h"
#include "config/IPResourceConfig.h"
#include "config/ResourceTreeConfig.h"
#include "core/HeartBeatManager.h"
#include "core/IResourceTreeHandle.h"
#include "core/ResourceTreeHandle.h"
#include "framework/AsyncExecutor.h"
#include "framework/Convert.h"
#include "framework/Env.h"
#include "framework/EventManager.h"
#include "framework/Exception.h"
#include "framework/IOXThreadPoolExec.h"
#include "framework/MutexGuard.h"
#include "framework/OXThreadPool.h"
#include "framework/Sleep.h"
#include "resource/NetAdaptorFactory.h"
#include "resource/NetTest.h"
#include "resource/ResourceTree.h"
#include "storage/LinuxDisk.h"

namespace Oxbrindale {
namespace Velmora {
namespace Core {

using Config::ResourceTreeConfig;
using Framework::EventManager;
using Framework::MutexGuard;
using Framework::RwLock;
using Resource::ResourceTree;

namespace {

const char* const kTerminateCode = "TERMINATE";
const char* const kTerminateText = "HAMachine接收到停机指令，立刻中断所有操作！";

// A job of the machine on the thread pool; counted while it lives so the
// machine outlives it.
class MachineJob : public Framework::IOXThreadPoolExec {
 public:
  MachineJob(std::atomic<int>* count, std::function<void()> body) : _count(count), _body(std::move(body)) {
    _count->fetch_add(1);
  }
  ~MachineJob() override { _count->fetch_sub(1); }
  void Run() override { _body(); }

 private:
  std::atomic<int>* _count;
  std::function<void()> _body;
};

// The legal changes: a change to the status of the index is accepted from
// the statuses listed.
bool IsLegalChange(int from, int to) {
  switch (to) {
    case HAM_NONE:
      return from == HAM_CREATED;
    case HAM_CREATED:
      return from == HAM_NONE;
    case HAM_INIT_START:
      return from == HAM_CREATED;
    case HAM_INITIALISING:
      return from == HAM_INIT_START || from == HAM_INITIALISING || from == HAM_NOT_CONFIGURED ||
             from == HAM_FAILURE_CHECK;
    case HAM_NOT_CONFIGURED:
      return from == HAM_INIT_START || from == HAM_NOT_CONFIGURED || from == HAM_RUNNING ||
             from == HAM_FAILURE_CHECK;
    case HAM_RUNNING:
      return from == HAM_INITIALISING || from == HAM_RUNNING || from == HAM_TAKING_OVER ||
             from == HAM_FAILURE_CHECK || from == HAM_BEING_TAKEN_OVER;
    case HAM_TAKING_OVER:
      return from == HAM_RUNNING;
    case HAM_FAILURE_CHECK:
      return from == HAM_RUNNING || from == HAM_TAKING_OVER || from == HAM_FAILURE_CHECK ||
             from == HAM_BEING_TAKEN_OVER;
    case HAM_ENDED:
      return from == HAM_INITIALISING || from == HAM_NOT_CONFIGURED || from == HAM_RUNNING ||
             from == HAM_TAKING_OVER || from == HAM_BEING_TAKEN_OVER;
    case HAM_BEING_TAKEN_OVER:
      return from == HAM_RUNNING || from == HAM_BEING_TAKEN_OVER;
    default:
      return false;
  }
}

std::vector<std::string> SplitLines(std::string text) {
  return Framework::Convert::tokenize(text, "\n", false, "");
}

// Whether the list (GUIDs joined or ended by "\n") names guid.
bool ListHas(const std::string& list, const std::string& guid) {
  const std::vector<std::string> guids = SplitLines(list);
  return std::find(guids.begin(), guids.end(), guid) != guids.end();
}

// A heartbeat-failure check is taken and run only by a running machine.
bool AcceptsFailureCheck(int statu) { return Entity::RunningStatusEntity::IsRunningMachineStatu(statu); }

}  // namespace

// ---- construction ------------------------------------------------------------------

HAMachine* HAMachine::Instance() { return Instance(HaTimings()); }

HAMachine* HAMachine::Instance(const HaTimings& timings) {
  static HAMachine* const machine = [&timings] {
    HAMachineParts parts;
    parts.timings = timings;
    HAMachine* made = new HAMachine(parts);
    IHeartBeatMachine::Install(made);
    return made;
  }();
  return machine;
}

HAMachine::HAMachine(const HAMachineParts& parts)
    : _parts(parts),
      _config(parts.config != nullptr ? parts.config : Config::ConfigManager::Instance()),
      _timings(parts.timings) {
  _heartbeat.reset(new HeartBeatManager(_config, this, _timings, [this](int kind, const std::string& text) {
    _Alarm(kind, text);
  }));
  const int32_t now = static_cast<int32_t>(_NowSeconds());
  _runningStatus.SetText("bl");
  _runningStatus.SetRunningTrees(0);
  _runningStatus.SetForeignRunningTrees(0);
  _runningStatus.SetMachineStatu(-1);
  _runningStatus.SetReportTime(now);
  _runningStatus.SetStartTime(now);
}

HAMachine::~HAMachine() {
  _EndThread();
  // The links and their request jobs end first, then the trees (their
  // threads may still call back), then the machine's own jobs.
  _heartbeat.reset();
  std::vector<std::shared_ptr<IResourceTreeHandle>> trees;
  {
    RwLock::Write writing(_treeListLock);
    trees.swap(_trees);
  }
  trees.clear();
  while (_activeJobs.load() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (IHeartBeatMachine::Installed() == this) IHeartBeatMachine::Install(nullptr);
}

void HAMachine::_EndThread() {
  if (_thread != nullptr) {
    RequestEndMachine();
    _thread->WaitExited();
    _thread.reset();
  }
  // The end asked the links to exit; they and their request jobs call back
  // into the machine, so they are gone before any part of it is.
  _heartbeat.reset();
}

// ---- status ---------------------------------------------------------------------------

std::string HAMachine::GetStatuString(int statu) {
  switch (statu) {
    case HAM_NONE:
      return "None";
    case HAM_CREATED:
      return "创建完毕";
    case HAM_INIT_START:
      return "初始启动";
    case HAM_INITIALISING:
      return "初始化";
    case HAM_NOT_CONFIGURED:
      return "未配置";
    case HAM_RUNNING:
      return "运行中";
    case HAM_TAKING_OVER:
      return "正在接管";
    case HAM_FAILURE_CHECK:
      return "心跳失败检测";
    case HAM_ENDED:
      return "结束";
    case HAM_BEING_TAKEN_OVER:
      return "请求被接管中";
    default:
      return "N/A";
  }
}

void HAMachine::_StatuChange(int statu) {
  const int old = _statu.load();
  if (!IsLegalChange(old, statu)) throw new Exception("STATU_ERR", GetStatuString(statu));
  // Only an accepted change tells the trees whether the peer is reachable.
  ResourceTree::IsHBOK.store(statu == HAM_NOT_CONFIGURED || statu == HAM_RUNNING || statu == HAM_TAKING_OVER ||
                             statu == HAM_BEING_TAKEN_OVER);
  if (statu == HAM_RUNNING || statu == HAM_TAKING_OVER) _startWait.store(false);
  _statu.store(statu);
  if (statu != old) {
    _Debug("HAMachine 状态变更：" + GetStatuString(old) + "->" + GetStatuString(statu));
    NotifyRunningStatusChanged();
  }
}

std::string HAMachine::GetOperationGuids() {
  MutexGuard guard(_textLock);
  return _opGuids;
}

std::string HAMachine::GetDeferredTakeover() {
  MutexGuard guard(_textLock);
  return _deferredTakeover;
}

void HAMachine::_SetOperation(int op, const std::string& guids) {
  {
    MutexGuard guard(_textLock);
    _opGuids = guids;
  }
  _pendingOp.store(op);
}

// ---- queuing ---------------------------------------------------------------------------

void HAMachine::_RequestStart() {
  MutexGuard guard(_machineLock);
  if (_statu.load() != HAM_CREATED) return;
  _pendingOp.store(HAM_OP_START);
  _opSem.Post();
}

bool HAMachine::RequestTakeOverResourceTree(const std::string& guids, bool force) {
  // A hand-over holds the machine mutex through its request to the peer,
  // and the peer may be handing trees to this node at that very moment:
  // the takeover waits behind the hand-over instead of for the mutex.
  if (_QueueAfterHandOver(guids, force, true)) return true;
  MutexGuard guard(_machineLock);
  const int statu = _statu.load();
  if (statu == HAM_BEING_TAKEN_OVER || (statu == HAM_RUNNING && _pendingOp.load() == HAM_OP_BE_TAKEN_OVER)) {
    // A queued hand-over is never replaced: its trees delivered their
    // failure once and do not offer it again.
    _QueueAfterHandOver(guids, force, false);
    return true;
  }
  if (statu != HAM_RUNNING) return false;
  _QueueTakeover(guids, force);
  return true;
}

void HAMachine::_QueueTakeover(const std::string& guids, bool force) {
  std::string list = guids;
  if (_pendingOp.load() == HAM_OP_TAKEOVER) {
    // A takeover queued and not yet run (the peer's hand-over of one tree,
    // the console's of another) keeps its trees: the new ones join it.
    list = GetOperationGuids();
    for (const std::string& guid : SplitLines(guids)) {
      if (!guid.empty() && !ListHas(list, guid)) list += (list.empty() ? "" : "\n") + guid;
    }
    force = force || _force.load();
  }
  _force.store(force);
  _SetOperation(HAM_OP_TAKEOVER, list);
  _opSem.Post();
}

bool HAMachine::_QueueAfterHandOver(const std::string& guids, bool force, bool onlyWhileHandingOver) {
  MutexGuard guard(_textLock);
  // The status is read under the text lock: a hand-over that ends stores
  // its new status before it takes the list (_TakeUpAfterHandOver).
  if (onlyWhileHandingOver && _statu.load() != HAM_BEING_TAKEN_OVER) return false;
  for (const std::string& guid : SplitLines(guids)) {
    if (!guid.empty() && !ListHas(_afterHandOver, guid)) _afterHandOver += guid + "\n";
  }
  _afterHandOverForce = _afterHandOverForce || force;
  return true;
}

void HAMachine::_TakeUpAfterHandOver() {
  const int statu = _statu.load();
  const int pending = _pendingOp.load();
  // Kept while a hand-over or a check is still to end.
  if (statu == HAM_BEING_TAKEN_OVER || statu == HAM_FAILURE_CHECK || statu == HAM_TAKING_OVER) return;
  if (statu == HAM_RUNNING && pending == HAM_OP_BE_TAKEN_OVER) return;
  std::string list;
  bool force = false;
  {
    MutexGuard guard(_textLock);
    list.swap(_afterHandOver);
    force = _afterHandOverForce;
    _afterHandOverForce = false;
  }
  if (list.empty()) return;
  list.erase(list.size() - 1);
  if (statu != HAM_RUNNING || (pending != HAM_OP_REST && pending != HAM_OP_TAKEOVER)) {
    // The machine decides anew (init): the request is void.
    _Debug("接管请求在移交资源后已失效：" + list);
    return;
  }
  _QueueTakeover(list, force);
}

bool HAMachine::RequestFailureCheck() {
  // Called under the heartbeat manager's notice lock, so it never waits for
  // the machine mutex (that would close a cycle through the heartbeat
  // listener's locks, and hold the notices for a whole operation). A check
  // refused while an operation is about to make the machine run is queued
  // when that operation ends (_RunPendingOperation).
  if (!AcceptsFailureCheck(_statu.load())) return false;
  // Its own flag: a takeover or hand-over queued later does not replace it.
  _failureCheckPending.store(true);
  _opSem.Post();
  return true;
}

bool HAMachine::RequestEndMachine() {
  _running.store(false);
  _pendingOp.store(HAM_OP_END);
  _endRequested.store(true);
  if (_heartbeat != nullptr) _heartbeat->OnTerminationReleaseHBAliveSin();
  _opSem.Post();
  _endSem.Post();
  return true;
}

// ---- the machine thread ------------------------------------------------------------

int HAMachine::Run() {
  for (;;) {
    if (!_running.load()) break;
    _opSem.TimedWait(_timings.loopWakeMs);  // a time-out runs the pending operation again
    if (!_running.load()) break;
    _RunPendingOperation();
    Sleep(static_cast<unsigned int>(std::max<long>(0, _timings.opPauseMs)));
  }
  _RunEnd();
  return 0;
}

void HAMachine::_RunEnd() {
  MutexGuard guard(_machineLock);
  try {
    _DoOpEnd();
  } catch (Exception* e) {
    _Debug("HAMACHINE 线程遇到异常：[" + e->code + "]" + e->message);
    delete e;
  }
}

void HAMachine::_RunPendingOperation() {
  MutexGuard guard(_machineLock);
  // A check runs only in a status that accepts it. One queued while an
  // earlier check ran is dropped once that check went back to initialising:
  // the init decision waits for a link itself, and a check run there could
  // only fail its first status change and be queued again for ever.
  const bool check = _failureCheckPending.exchange(false) && AcceptsFailureCheck(_statu.load());
  const int op = check ? static_cast<int>(HAM_OP_FAILURE_CHECK) : _pendingOp.load();
  try {
    if (check) {
      _DoOpFailureCheck();
    } else {
      switch (op) {
        case HAM_OP_START:
          _DoOpStart();
          break;
        case HAM_OP_TAKEOVER:
          _DoOpTakenOver();
          break;
        case HAM_OP_INIT:
          _DoOpInit();
          break;
        case HAM_OP_FAILURE_CHECK:
          _DoOpFailureCheck();
          break;
        case HAM_OP_BE_TAKEN_OVER:
          _DoOpBeTakenOver();
          break;
        default:
          _DoOpRest();
          break;
      }
      // An operation that queued another keeps that one; init and being
      // taken over repeat until they queue something else.
      if (_pendingOp.load() == op && op != HAM_OP_INIT && op != HAM_OP_END && op != HAM_OP_BE_TAKEN_OVER) {
        _pendingOp.store(HAM_OP_REST);
      }
    }
  } catch (Exception* e) {
    // The same operation runs again at the next wake-up.
    _Debug("HAMACHINE 线程遇到异常：[" + e->code + "]" + e->message);
    delete e;
    if (check) _failureCheckPending.store(true);
  }
  // Takeovers the peer or the console asked for while a hand-over was
  // queued or running come next.
  _TakeUpAfterHandOver();
  // Running without a usable link: a link lost while the machine could not
  // take the failure check (initialising) is decided on now.
  if (_running.load() && _statu.load() == HAM_RUNNING && !_failureCheckPending.load() &&
      !_heartbeat->GetHeartBeatLink().empty() && _heartbeat->GetOneAvalableHBL() == nullptr) {
    _failureCheckPending.store(true);
    _opSem.Post();
  }
}

void HAMachine::_Pause(long ms) {
  _CheckEnding();
  if (_endSem.TimedWait(std::max<long>(0, ms))) {
    _endSem.Post();  // every later wait ends at once too
    throw new Exception(kTerminateCode, kTerminateText);
  }
  _CheckEnding();
}

void HAMachine::_CheckEnding() {
  if (!_running.load()) throw new Exception(kTerminateCode, kTerminateText);
}

// ---- start ------------------------------------------------------------------------------

void HAMachine::InitMachine(unsigned short startMode) {
  if (_parts.initAlarms)
    _parts.initAlarms();
  else
    Alarm::AlarmManager::Instance()->Init();
  _startArg.store(startMode);
  {
    MutexGuard guard(_machineLock);
    _StatuChange(HAM_CREATED);
  }
  std::vector<ResourceTreeConfig*> records;
  {
    // Copied first: building a tree reads the store again.
    auto edit = _config->EditResourceTreeConfig();
    records = edit.List();
  }
  for (ResourceTreeConfig* record : records) AddResourceTree(record, false);
  // The reboot guard and the stop-failure rules count from the start until
  // a first link comes up.
  EventManager::Instance()->SetMarkTime();
  _thread.reset(new Framework::AsyncExecutor(this, "HA_MACHINE_THREAD"));
  _thread->Start();
  _RequestStart();
  Sleep(static_cast<unsigned int>(std::max<long>(0, _timings.consoleListenerDelayMs)));
  if (_parts.startConsoleListener) _parts.startConsoleListener();
}

void HAMachine::_DoOpStart() {
  _StatuChange(HAM_INIT_START);
  _startClockMs.store(Framework::Env::Get()->WaitClockMs());
  _started.store(true);
  bool anyLink = false;
  {
    auto links = _config->EditHeartBeatLinkConfig();
    anyLink = !links->empty();
  }
  try {
    if (!anyLink) {
      // Straight to the init decision: nothing to settle with, no split-brain
      // reader, no tree touched.
      _heartbeat->InitHeartBeat();
      _SetOperation(HAM_OP_INIT, GetOperationGuids());
      _opSem.Post();
      return;
    }
    _Debug("开启心跳连接管理器。。");
    _heartbeat->InitHeartBeat();
    if (_parts.startSplitBrainReader) _parts.startSplitBrainReader();
    _Debug("等待建立心跳连接.." + std::to_string(_timings.firstLinkWaitMs) + "ms");
    const bool link = _heartbeat->WaitHeartBeatAlive(static_cast<unsigned int>(_timings.firstLinkWaitMs));
    _CheckEnding();
    if (link) {
      _Debug("心跳连接建立成功，开始同步资源树状态..");
      _TrySyncResourceTreeHostSide();
    } else {
      _Debug("心跳连接建立超时，开始侦测本机网络环境..");
      Config::HeartBeatGlobalConfig* settings = _config->GetHeartBeatGlobalConfig();
      if (!_ReferenceTest(settings->GetRefAddresses(), settings->GetRefTestPort())) {
        _Debug("本机网络环境不正常，不做任何处理..");
      } else {
        const long long elapsedMs = _MsSinceStart();
        const long long delay = _config->GetGC()->GetStartDelay();
        bool linkLater = false;
        if (delay > elapsedMs) {
          linkLater = _heartbeat->WaitHeartBeatAlive(static_cast<unsigned int>(delay - elapsedMs));
          _CheckEnding();
        }
        if (linkLater) {
          _Debug("刚刚检测到心跳连接又建立成功了，开始同步资源..");
          _TrySyncResourceTreeHostSide();
        } else {
          _Debug("本机网络环境正常，准备直接启动本机资源..");
          _StartHostTree();
        }
      }
    }
  } catch (Exception* e) {
    if (e->code == kTerminateCode) throw e;
    // Reported, and the node goes on to its init decision: run again, the
    // start could never pass its first status change.
    const std::string text = "HAMachine 启动过程遇到异常：[" + e->code + "]" + e->message;
    delete e;
    EventManager::TrackLog(text);
    _Alarm(11, text);
    if (!anyLink) {
      _SetOperation(HAM_OP_INIT, GetOperationGuids());
      _opSem.Post();
      return;
    }
  }
  _firstBootDone.store(true);
  _SetOperation(HAM_OP_INIT, "");
  _opSem.Post();
}

void HAMachine::_StartHostTree() {
  for (const std::shared_ptr<IResourceTreeHandle>& tree : GetTrees()) {
    ResourceTreeConfig* config = tree->GetConfig();
    if (!config->GetHome() && !config->GetRunning()) {
      tree->StopTree(false);
    } else if (config->GetGoing()) {
      tree->SetHandBack(true);
      tree->StartTree();
    } else {
      tree->StopTree(false);
    }
  }
}

// ---- init decision and synchronisation ------------------------------------------------

void HAMachine::_TrySyncResourceTreeHostSide() {
  _Pause(_timings.syncPauseMs);
  bool peerFirstBootDone = false;  // a failed question counts as "not done"
  _heartbeat->GetIsRemoteFirstBootDone(peerFirstBootDone);
  for (const std::shared_ptr<IResourceTreeHandle>& tree : GetTrees()) {
    ResourceTreeConfig* config = tree->GetConfig();
    if (!config->GetGoing()) continue;
    bool peerHolds = false;
    const HB_REQ_RET ret = _heartbeat->GetResourceTreeIsHold(config->GetGuid(), peerHolds);
    bool holds = config->GetRunning();
    if (ret != HB_REQ_OK) {
      holds = false;
    } else if (holds == peerHolds) {
      holds = peerFirstBootDone ? !peerHolds : config->GetHome();
    }
    config->SetRunning(holds);
    // A tree away from its home that this node holds runs here; trees at
    // home are left to the init decision.
    if (holds && !config->GetHome()) tree->StartTree();
  }
  _config->SaveResourceTreeConfig();
}

void HAMachine::_DoOpInit() {
  _StatuChange(HAM_INITIALISING);
  const bool link = _heartbeat->WaitHeartBeatAlive(static_cast<unsigned int>(_timings.initLinkWaitMs));
  _CheckEnding();
  if (!link) {
    if (!_startWait.load() || _MsSinceStart() < _timings.loneNodeDecisionSec * 1000LL) {
      _opSem.Post();
      return;
    }
    // Once per run, and never after the node was running: alone for the
    // whole wait, the node decides by its reference addresses.
    if (!_heartbeat->GetHeartBeatLink().empty()) {
      Config::HeartBeatGlobalConfig* settings = _config->GetHeartBeatGlobalConfig();
      const std::vector<std::string> addresses = settings->GetRefAddresses();
      const bool reached = _ReferenceTest(addresses, 0) || _ReferenceTest(addresses, settings->GetRefTestPort());
      _NoHeartBeatTakeOver(reached);
    }
    _startWait.store(false);
    _opSem.Post();
    return;
  }

  const long long elapsedMs = _MsSinceStart();
  const long long delay = _config->GetGC()->GetStartDelay();
  if (elapsedMs < delay) {
    if (_startArg.load() == 0) _Pause(static_cast<long>(delay - elapsedMs));
  } else {
    _Pause(_timings.afterStartDelayMs);
  }

  std::string takeovers;
  for (const std::shared_ptr<IResourceTreeHandle>& tree : GetTrees()) {
    // A tree that does not settle within the bound is left as it is.
    if (!tree->WaitForStableStatu(static_cast<unsigned long>(std::max<long>(0, _timings.stableTreeBoundMs)))) {
      continue;
    }
    if (tree->GetStatu() != Resource::RES_TREE_STOPPED) continue;
    ResourceTreeConfig* config = tree->GetConfig();
    const bool managed = config->GetGoing();
    if ((config->GetHome() && config->GetTakeBack() && managed) || (config->GetRunning() && managed)) {
      takeovers += config->GetGuid() + "\n";
    } else {
      tree->TurnDeTestMode();
    }
  }
  ResetQuorumInfo();
  _StatuChange(HAM_RUNNING);
  if (!takeovers.empty()) {
    _handBack.store(true);
    _SetOperation(HAM_OP_TAKEOVER, takeovers.substr(0, takeovers.size() - 1));
    _opSem.Post();
  } else {
    _SetOperation(HAM_OP_REST, "");
  }
}

// ---- taking trees over from the peer ------------------------------------------------

namespace {

// One tree of a takeover run.
struct TakeoverEntry {
  enum State { ASK_PEER = 0, STARTED_HERE = 2, TAKEN = 3, FAILED = 4, UNMANAGED = 5 };
  std::string guid;
  std::shared_ptr<IResourceTreeHandle> tree;  // null: left out of the run
  int state = ASK_PEER;
  std::string reason;
  int asks = 0;
  std::chrono::steady_clock::time_point since;
};

// Holds a mutex only when it was free.
class TryGuard {
 public:
  explicit TryGuard(Framework::Mutex& mutex) : _mutex(mutex), _owns(pthread_mutex_trylock(mutex.Native()) == 0) {}
  ~TryGuard() {
    if (_owns) _mutex.Unlock();
  }
  bool Owns() const { return _owns; }

 private:
  Framework::Mutex& _mutex;
  const bool _owns;
};

}  // namespace

void HAMachine::_DoOpTakenOver() {
  {
    MutexGuard guard(_textLock);
    _deferredTakeover.clear();
  }
  const std::string list = GetOperationGuids();
  if (list.empty()) {
    _StatuChange(HAM_RUNNING);
    _SetOperation(HAM_OP_REST, "");
    return;
  }
  _StatuChange(HAM_TAKING_OVER);

  std::vector<TakeoverEntry> entries;
  for (const std::string& guid : SplitLines(list)) {
    TakeoverEntry entry;
    entry.guid = guid;
    entry.since = std::chrono::steady_clock::now();
    if (!guid.empty()) entry.tree = FindTreeHandleByGuid(guid);
    if (entry.tree != nullptr && !entry.tree->CanStart()) {
      // A resource cannot start here: the tree is left out.
      entry.tree->TurnDeTestMode();
      entry.tree.reset();
    }
    if (entry.tree != nullptr && !entry.tree->GetConfig()->GetGoing()) entry.state = TakeoverEntry::UNMANAGED;
    entries.push_back(entry);
  }

  const unsigned int stableWait = static_cast<unsigned int>(std::max<long>(0, _timings.takeoverStableWaitMs));
  const bool stopFailActs = _config->GetGC()->GetStopFailAction() != 0;
  bool aborted = false;
  // An entry that has not settled after its bound of asks or time fails.
  auto exhausted = [this](TakeoverEntry& entry) {
    ++entry.asks;
    const long long spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - entry.since)
                                .count();
    return entry.asks >= _timings.takeoverEntryAsks || spent >= _timings.takeoverEntryMs;
  };
  auto unsettled = [&entries] {
    for (const TakeoverEntry& entry : entries) {
      if (entry.tree != nullptr && (entry.state == TakeoverEntry::ASK_PEER || entry.state == TakeoverEntry::STARTED_HERE))
        return true;
    }
    return false;
  };

  while (!aborted && unsettled()) {
    for (TakeoverEntry& entry : entries) {
      if (entry.tree == nullptr) continue;
      if (_handBack.load()) entry.tree->SetHandBack(true);
      if (entry.state == TakeoverEntry::STARTED_HERE) {
        const bool stable = entry.tree->WaitForStableStatu(stableWait);
        _CheckEnding();
        const int statu = entry.tree->GetStatu();
        if (stable && statu == Resource::RES_TREE_RUNNING) {
          entry.state = TakeoverEntry::TAKEN;
        } else if (stable || exhausted(entry)) {
          entry.reason = "本机启动资源失败，资源树状态=" + ResourceTree::GetStatuString(statu);
          entry.state = TakeoverEntry::FAILED;
        }
        continue;
      }
      if (entry.state != TakeoverEntry::ASK_PEER) continue;

      Resource::OX_RESTREE_STATU peer = Resource::RES_TREE_UNINIT;
      const HB_REQ_RET ret = _heartbeat->GetTryWaitResourceTreeStableStatu(entry.guid, stableWait, &peer);
      _CheckEnding();
      const std::string retText = HeartBeatManager::GetReqRetString(ret);
      if (ret == HB_REQ_NO_LINK || ret == HB_REQ_REFUSED) {
        entry.reason = "获取对机资源树状态失败 ret=" + retText;
        if (ret == HB_REQ_NO_LINK) {
          MutexGuard guard(_textLock);
          _deferredTakeover += entry.guid + "\n";
        }
        entry.state = TakeoverEntry::FAILED;
      } else if (peer == Resource::RES_TREE_STOPPED) {
        _heartbeat->RequestTakeoverNotify(entry.guid, static_cast<unsigned int>(_timings.takeoverNotifyMs));
        entry.tree->StartTree();
        entry.state = TakeoverEntry::STARTED_HERE;
        Sleep(static_cast<unsigned int>(std::max<long>(0, _timings.afterTakeoverStartMs)));
        _Pause(_timings.afterTakeoverStartWaitMs);
      } else if (peer == Resource::RES_TREE_RUNNING) {
        _Pause(_timings.beforeStopRequestMs);
        entry.tree->SetHandBack(true);
        const HB_REQ_RET stop = _heartbeat->RequestStopResourceTree(
            entry.guid, static_cast<unsigned int>(_timings.takeoverStopRequestMs), _force.load());
        _CheckEnding();
        if (stop != HB_REQ_OK) {
          entry.reason = "请求对机停止资源失败 ret=" + HeartBeatManager::GetReqRetString(stop);
          entry.state = TakeoverEntry::FAILED;
        } else if (exhausted(entry)) {
          entry.reason = "获取对机资源树状态失败 ret=" + retText;
          entry.state = TakeoverEntry::FAILED;
        } else {
          Sleep(static_cast<unsigned int>(std::max<long>(0, _timings.afterStopRequestMs)));
        }
      } else if (peer == Resource::RES_TREE_ABNORMAL) {
        if (stopFailActs && EventManager::Instance()->GetRunningSecond() > _timings.takeoverAbortSec) {
          // The peer's own stop-failure policy acts on the tree; this node
          // takes it once the heartbeat breaks.
          aborted = true;
          break;
        }
        entry.reason = "对机停止资源失败，对机无法离线 ret=" + retText;
        entry.state = TakeoverEntry::FAILED;
      } else if (exhausted(entry)) {
        // The peer answers, but never with a stable status.
        entry.reason = "获取对机资源树状态失败 ret=" + retText;
        entry.state = TakeoverEntry::FAILED;
      }
    }
  }

  if (!aborted) {
    for (const TakeoverEntry& entry : entries) {
      if (entry.tree == nullptr || entry.state == TakeoverEntry::TAKEN || entry.state == TakeoverEntry::UNMANAGED) {
        continue;
      }
      std::shared_ptr<IResourceTreeHandle> still = FindTreeHandleByGuid(entry.guid);
      if (still == nullptr) continue;
      _Alarm(5, "接管资源树\"" + still->GetConfig()->GetName() + "\"的操作失败了！原因是：" + entry.reason);
    }
  }
  _SetOperation(HAM_OP_REST, "");
  _force.store(false);
  _handBack.store(false);
  _StatuChange(HAM_RUNNING);
}

void HAMachine::OnStartResourceTreeGoing(ResourceTree* tree) {
  std::shared_ptr<IResourceTreeHandle> handle = _FindHandle(tree);
  if (handle == nullptr) return;
  MutexGuard guard(_machineLock);
  const int statu = _statu.load();
  if (statu == HAM_INITIALISING) {
    handle->StartTree();
    return;
  }
  if (statu != HAM_RUNNING) return;
  const std::string guid = handle->GetConfig()->GetGuid();
  const int pending = _pendingOp.load();
  if (pending != HAM_OP_TAKEOVER && pending != HAM_OP_REST) {
    // Another operation waits with its own list; it is left as it is.
    _Debug("OnStartResourceTreeGoing: 另一个操作正在等待，未排队接管 " + guid);
    return;
  }
  // A queued takeover takes the tree into its list.
  _QueueTakeover(guid, false);
}

bool HAMachine::OnResourceTreeFail(ResourceTree* tree) {
  if (_statu.load() != HAM_RUNNING) return false;
  // Never wait for the machine mutex on a tree thread: an operation may hold
  // it for long, or wait on this very tree. The tree offers its failure again.
  TryGuard guard(_machineLock);
  if (!guard.Owns()) return false;
  if (_statu.load() != HAM_RUNNING) return false;
  std::shared_ptr<IResourceTreeHandle> handle = _FindHandle(tree);
  if (handle == nullptr) return false;
  const std::string guid = handle->GetConfig()->GetGuid();
  const int pending = _pendingOp.load();
  if (pending == HAM_OP_BE_TAKEN_OVER) {
    const std::string list = GetOperationGuids();
    if (!ListHas(list, guid)) _SetOperation(HAM_OP_BE_TAKEN_OVER, list.empty() ? guid : list + "\n" + guid);
  } else if (pending == HAM_OP_REST) {
    _SetOperation(HAM_OP_BE_TAKEN_OVER, guid);
  } else {
    // Another operation waits with its own list: offered again later.
    return false;
  }
  _beTakenOverRetry.store(0);
  _opSem.Post();
  return true;
}

// ---- handing trees to the peer ----------------------------------------------------------

void HAMachine::_DoOpBeTakenOver() {
  _StatuChange(HAM_BEING_TAKEN_OVER);
  const std::string list = GetOperationGuids();
  if (list.empty()) {
    _StatuChange(HAM_RUNNING);
    _SetOperation(HAM_OP_REST, "");
    return;
  }
  const HB_REQ_RET ret =
      _heartbeat->RequestTakeover(list, static_cast<unsigned int>(std::max<long>(0, _timings.handOverRequestMs)));
  _CheckEnding();
  if (ret != HB_REQ_OK && _beTakenOverRetry.fetch_add(1) + 1 <= _timings.handOverRetries) {
    // Once more: the operation stays queued with its list.
    _Pause(_timings.handOverRetryPauseMs);
    _opSem.Post();
    return;
  }
  // Taken, or given up without a word.
  _SetOperation(HAM_OP_REST, "");
  _StatuChange(HAM_RUNNING);
}

void HAMachine::ShutdownTakeover() {
  SendShutdownNotify();
  std::string running;
  const std::vector<std::shared_ptr<IResourceTreeHandle>> trees = GetTrees();
  for (const std::shared_ptr<IResourceTreeHandle>& tree : trees) {
    tree->SetSkipStart(true);
    if (tree->GetStatu() == Resource::RES_TREE_RUNNING) {
      running += tree->GetConfig()->GetGuid() + "\n";
      tree->StopTree(false);
    }
    tree->SetStopAfterStart(true);
  }
  if (!running.empty()) {
    _heartbeat->RequestTakeover(running,
                                static_cast<unsigned int>(std::max<long>(0, _timings.shutdownTakeoverRequestMs)));
  }
  // Bounded: a tree left abnormal by a failed stop never reaches 0, and the
  // daemon must still exit before the stop command kills it.
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max<long>(0, _timings.shutdownPollBoundMs));
  for (;;) {
    Sleep(static_cast<unsigned int>(std::max<long>(0, _timings.shutdownPollMs)));
    bool stopped = true;
    for (const std::shared_ptr<IResourceTreeHandle>& tree : trees) {
      if (tree->GetStatu() != Resource::RES_TREE_STOPPED) stopped = false;
    }
    if (stopped) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      EventManager::TrackLog("ShutdownTakeover: 资源树未能全部停止，不再等待");
      break;
    }
  }
  Sleep(static_cast<unsigned int>(std::max<long>(0, _timings.shutdownFinalPauseMs)));
}

// ---- heartbeat-failure check --------------------------------------------------------------

void HAMachine::_DoOpFailureCheck() {
  _StatuChange(HAM_FAILURE_CHECK);
  if (_heartbeat->GetHeartBeatLink().empty()) {
    for (const std::shared_ptr<IResourceTreeHandle>& tree : GetTrees()) tree->StopTree(false);
    _StatuChange(HAM_INITIALISING);
    _SetOperation(HAM_OP_INIT, "");
    _opSem.Post();
    return;
  }
  if (_peerOffline.load()) {
    // The peer went offline and keeps its trees: nothing is decided.
    _Pause(_timings.offlineWaitMs);
    ResetOfflineNotify();
    ResetShutdownNotify();
    _StatuChange(HAM_INITIALISING);
    _SetOperation(HAM_OP_INIT, "");
    _opSem.Post();
    return;
  }
  const uint32_t confirmMs = _config->GetGC()->GetTakeoverWait();
  bool link = _heartbeat->WaitHeartBeatAlive(confirmMs);
  _CheckEnding();
  if (link) {
    _Pause(1);
    _StatuChange(HAM_RUNNING);
    std::string deferred;
    {
      MutexGuard guard(_textLock);
      deferred.swap(_deferredTakeover);
    }
    if (!deferred.empty()) {
      _handBack.store(true);
      _force.store(false);
      _SetOperation(HAM_OP_TAKEOVER, deferred.substr(0, deferred.size() - 1));
      _opSem.Post();
    } else {
      _LeaveQueuedOrRest();
    }
    ResetShutdownNotify();
    return;
  }
  {
    MutexGuard guard(_textLock);
    _deferredTakeover.clear();
  }
  const bool take = CanITakeOver();
  if (take) {
    link = _heartbeat->WaitHeartBeatAlive(static_cast<unsigned int>(std::max<long>(0, _timings.failureRecheckMs)));
    _CheckEnding();
    if (link) {
      _Pause(1);
      _StatuChange(HAM_RUNNING);
      _LeaveQueuedOrRest();
      ResetShutdownNotify();
      return;
    }
  }
  _NoHeartBeatTakeOver(take);
  ResetShutdownNotify();
  _StatuChange(HAM_INITIALISING);
  _SetOperation(HAM_OP_INIT, "");
  _opSem.Post();
}

void HAMachine::_LeaveQueuedOrRest() {
  // A takeover or hand-over queued while the check ran runs next.
  const int pending = _pendingOp.load();
  if (pending != HAM_OP_TAKEOVER && pending != HAM_OP_BE_TAKEN_OVER) _SetOperation(HAM_OP_REST, "");
}

bool HAMachine::CanITakeOver() {
  const std::string id = _config->GetGC()->GetQuorumDiskId();
  _Debug("CanITakeOver: quorum disk [" + id + "]");
  Config::HeartBeatGlobalConfig* settings = _config->GetHeartBeatGlobalConfig();
  const std::vector<std::string> addresses = settings->GetRefAddresses();
  if (addresses.empty()) {
    if (id.empty()) return false;
  } else if (!_ReferenceTest(addresses, 0) && !_ReferenceTest(addresses, settings->GetRefTestPort())) {
    return false;
  }
  if (id.empty()) return true;
  const bool side = settings->GetHostRole() == 1;
  return _parts.quorumArbitrate ? _parts.quorumArbitrate(id, side) : Framework::LinuxDisk::TryGetQuorumPrim(id, side);
}

// ---- machine end ------------------------------------------------------------------------

void HAMachine::_DoOpEnd() {
  const std::vector<std::shared_ptr<IResourceTreeHandle>> trees = GetTrees();
  const unsigned int pause = static_cast<unsigned int>(std::max<long>(0, _timings.endPauseMs));
  if (!_keepTrees.load()) {
    for (const std::shared_ptr<IResourceTreeHandle>& tree : trees) tree->StopTree(false);
    Sleep(pause);
  }
  for (const std::shared_ptr<IResourceTreeHandle>& tree : trees) {
    tree->WaitForStableStatu(static_cast<unsigned long>(std::max<long>(0, _timings.endStableWaitMs)));
  }
  Sleep(pause);
  for (const std::shared_ptr<IResourceTreeHandle>& tree : trees) tree->EndTreeThread();
  _heartbeat->EndHeartBeat();
}

void HAMachine::_NoHeartBeatTakeOver(bool take) {
  _startTreesWhileInit.store(take);
  if (!take) {
    if (_parts.clearAliases) {
      _parts.clearAliases();
    } else {
      // Only the addresses of this node's IP resources: an alias the
      // operator or another program added stays.
      std::vector<std::string> addresses;
      {
        auto edit = _config->EditIPConfig();
        for (Config::IPResourceConfig* ip : *edit) addresses.push_back(ip->GetAddress());
      }
      Framework::NetAdaptorFactory::Instance()->ClearBadMountedIP(addresses);
    }
  }
  int counted = 0;
  for (const std::shared_ptr<IResourceTreeHandle>& tree : GetTrees()) {
    if (!tree->GetConfig()->GetGoing()) continue;
    if (take && tree->GetStatu() == Resource::RES_TREE_STOPPED) {
      tree->StartTree();
      ++counted;
    } else if (!take && tree->GetStatu() == Resource::RES_TREE_RUNNING) {
      tree->StopTree(false);
      ++counted;
    }
  }
  const bool quiet = _peerShutdown.load();
  if (counted > 0) {
    if (quiet) return;
    _Alarm(take ? 0 : 1, take ? "与对机心跳连接已经全部断开，本机已获得资源优先启动权，接管对机所有资源！"
                              : "与对机心跳连接已经全部断开，本机未获得资源优先启动权，停止本机的所有资源！");
  } else if (take) {
    if (!quiet) {
      _Alarm(0, "与对机心跳连接已经全部断开，经过检测后发现本机运作正常，但是无需接管对机资源（对机没有任何资源运行）！");
    }
  } else {
    _Alarm(1, "与对机心跳连接已经全部断开，无法联系参考节点或仲裁失败！");
  }
}

void HAMachine::ResetQuorumInfo() {
  const std::string id = _config->GetGC()->GetQuorumDiskId();
  if (id.empty()) return;
  const bool side = _config->GetHeartBeatGlobalConfig()->GetHostRole() == 1;
  if (_parts.quorumReset)
    _parts.quorumReset(id, side);
  else
    Framework::LinuxDisk::ResetQuorumInfo(id, side);
}

// ---- tree list ------------------------------------------------------------------------

void HAMachine::AddResourceTree(ResourceTreeConfig* config, bool start) {
  MutexGuard guard(_machineLock);
  std::shared_ptr<IResourceTreeHandle> tree =
      _parts.makeTree ? _parts.makeTree(config, this) : ResourceTreeHandle::Activate(config, this);
  {
    RwLock::Write writing(_treeListLock);
    _trees.push_back(tree);
  }
  if (start && config->GetRunning()) tree->StartTree();
}

bool HAMachine::RemoveResourceTree(ResourceTree* tree) {
  MutexGuard guard(_machineLock);
  std::shared_ptr<IResourceTreeHandle> handle = _FindHandle(tree);
  if (handle == nullptr || handle->GetResourceCount() != 0) return false;
  RwLock::Write writing(_treeListLock);
  auto it = std::find(_trees.begin(), _trees.end(), handle);
  if (it == _trees.end()) return false;
  _trees.erase(it);
  return true;
}

std::vector<std::shared_ptr<IResourceTreeHandle>> HAMachine::GetTrees() {
  RwLock::Read reading(_treeListLock);
  return _trees;
}

std::shared_ptr<IResourceTreeHandle> HAMachine::FindTreeHandleByGuid(const std::string& guid) {
  RwLock::Read reading(_treeListLock);
  for (const std::shared_ptr<IResourceTreeHandle>& tree : _trees) {
    if (tree->GetConfig()->GetGuid() == guid) return tree;
  }
  return nullptr;
}

std::shared_ptr<IResourceTreeHandle> HAMachine::_FindHandle(ResourceTree* tree) {
  if (tree == nullptr) return nullptr;
  RwLock::Read reading(_treeListLock);
  for (const std::shared_ptr<IResourceTreeHandle>& handle : _trees) {
    if (handle->GetTree() == tree) return handle;
  }
  return nullptr;
}

ResourceTree* HAMachine::FindResourceTreeByGuid(const std::string& guid) {
  std::shared_ptr<IResourceTreeHandle> handle = FindTreeHandleByGuid(guid);
  return handle != nullptr ? handle->GetTree() : nullptr;
}

std::shared_ptr<ResourceTree> HAMachine::HoldResourceTreeByGuid(const std::string& guid) {
  std::shared_ptr<IResourceTreeHandle> handle = FindTreeHandleByGuid(guid);
  if (handle == nullptr || handle->GetTree() == nullptr) return nullptr;
  // The tree lives as long as its handle.
  return std::shared_ptr<ResourceTree>(handle, handle->GetTree());
}

void HAMachine::StopAllTree() {
  for (const std::shared_ptr<IResourceTreeHandle>& tree : GetTrees()) tree->MakesureStop();
}

bool HAMachine::CanProcessBS(const std::string& mirrorName) {
  for (const std::shared_ptr<IResourceTreeHandle>& tree : GetTrees()) {
    const int answer = tree->CanProcessBS(mirrorName);
    if (answer != -1) return answer == 1;
  }
  return true;
}

// ---- running status ----------------------------------------------------------------

Entity::RunningStatusEntity HAMachine::GetRunningStatus() {
  uint32_t running = 0;
  uint32_t away = 0;
  for (const std::shared_ptr<IResourceTreeHandle>& tree : GetTrees()) {
    if (tree->GetStatu() != Resource::RES_TREE_RUNNING) continue;
    ++running;
    if (!tree->GetConfig()->GetHome()) ++away;
  }
  // Consoles ask from threads of their own: one refresh and copy at a time.
  MutexGuard guard(_runningStatusLock);
  _runningStatus.SetReportTime(static_cast<int32_t>(_NowSeconds()));
  _runningStatus.SetMachineStatu(_statu.load());
  _runningStatus.SetRunningTrees(running);
  _runningStatus.SetForeignRunningTrees(away);
  return Entity::RunningStatusEntity(_runningStatus);
}

void HAMachine::NotifyRunningStatusChanged() { EventManager::Instance()->Notify(-1, "NOTIFY", "RunningStatusChanged"); }

long long HAMachine::GetRunningSecond() { return _MsSinceStart() / 1000; }

long long HAMachine::_MsSinceStart() {
  // Before the start ran every elapsed-time rule counts as long passed.
  if (!_started.load()) return std::numeric_limits<long long>::max() / 2;
  return Framework::Env::Get()->WaitClockMs() - _startClockMs.load();
}

// ---- notices ------------------------------------------------------------------------

void HAMachine::SetShutdownNotify() {
  _peerShutdown.store(true);
  ResourceTree::ShutdownNotify.store(true);
  _Debug("** 我接收到了 _ShutdownNotify ** ");
}

void HAMachine::ResetShutdownNotify() {
  _peerShutdown.store(false);
  ResourceTree::ShutdownNotify.store(false);
}

void HAMachine::SetOfflineNotify() {
  _peerOffline.store(true);
  _Debug("** 我接收到了 _OfflineNotify **");
}

void HAMachine::ResetOfflineNotify() { _peerOffline.store(false); }

HB_REQ_RET HAMachine::SendShutdownNotify() { return _heartbeat->NotifySystemShutdown(); }

HB_REQ_RET HAMachine::SendOfflineNotify() { return _heartbeat->NotifyOffline(); }

// ---- tree call-backs -------------------------------------------------------------------

void HAMachine::OnResourceCanStart(ResourceTree* tree) {
  // Never the machine mutex on this thread: the machine thread may hold it
  // while it waits for this very tree.
  MachineJob* job = new MachineJob(&_activeJobs, [this, tree] { _CanStartJob(tree); });
  try {
    if (_parts.invokeJob)
      _parts.invokeJob(job);
    else
      Framework::OXThreadPool::Instance()->Invoke(job);
  } catch (Exception* e) {
    _Debug("OnResourceCanStart 无法排队：[" + e->code + "]" + e->message);
    delete e;
    delete job;
  }
}

void HAMachine::_CanStartJob(ResourceTree* tree) {
  std::shared_ptr<IResourceTreeHandle> handle = _FindHandle(tree);
  if (handle == nullptr) return;
  MutexGuard guard(_machineLock);
  ResourceTreeConfig* config = handle->GetConfig();
  const int statu = _statu.load();
  const bool takeBack = config->GetTakeBack() && config->GetHome();
  if (takeBack && (statu == HAM_BEING_TAKEN_OVER ||
                   (statu == HAM_RUNNING && _pendingOp.load() == HAM_OP_BE_TAKEN_OVER))) {
    // A queued or running hand-over stays; the take-back follows it.
    _QueueAfterHandOver(config->GetGuid(), false, false);
  } else if (statu == HAM_RUNNING && takeBack) {
    _QueueTakeover(config->GetGuid(), false);
  } else if (statu == HAM_INITIALISING && _startTreesWhileInit.load()) {
    handle->StartTree();
  }
}

// ---- small services ---------------------------------------------------------------

void HAMachine::TestThreadMain() {
  for (;;) {
    _heartbeat->RequestExecTest();
    Sleep(1);
  }
}

bool HAMachine::_ReferenceTest(const std::vector<std::string>& addresses, uint16_t port) {
  if (_parts.referenceTest) return _parts.referenceTest(addresses, port);
  Framework::NetTest test(addresses, port);
  return test.DoTest();
}

void HAMachine::_Alarm(int kind, const std::string& text) {
  if (_parts.alarms)
    _parts.alarms(kind, text);
  else
    Alarm::OXAlarm(kind, text);
}

void HAMachine::_Debug(const std::string& text) { EventManager::Instance()->Debug(text); }

long long HAMachine::_NowSeconds() { return static_cast<long long>(Framework::Env::Get()->WallClock().tv_sec); }

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale
