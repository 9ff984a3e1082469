#include "core/HAMachine.h"

#include <algorithm>
#include <thread>

#include "alarm/AlarmManager.h"
#include "config/ConfigManager.h"
#include "config/GlobalConfig.h"
#include "config/HeartBeatGlobalConfig.h"
#include "config/HeartBeatLinkConfig.h"
#include "config/ResourceTreeConfig.h"
#include "core/HeartBeatManager.h"
#include "core/IResourceTreeHandle.h"
#include "core/ResourceTreeHandle.h"
#include "framework/AsyncExecutor.h"
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

}  // namespace

// ---- construction ------------------------------------------------------------------

HAMachine* HAMachine::Instance() {
  static HAMachine* const machine = [] {
    HAMachine* made = new HAMachine();
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
  if (_thread == nullptr) return;
  RequestEndMachine();
  _thread->WaitExited();
  _thread.reset();
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
  MutexGuard guard(_machineLock);
  if (_statu.load() != HAM_RUNNING) return false;
  _force.store(force);
  _SetOperation(HAM_OP_TAKEOVER, guids);
  _opSem.Post();
  return true;
}

bool HAMachine::RequestFailureCheck() {
  // Called under the heartbeat manager's notice lock, so it never waits for
  // the machine mutex (that would close a cycle through the heartbeat
  // listener's locks, and hold the notices for a whole operation). A check
  // refused while an operation is about to make the machine run is queued
  // when that operation ends (_RunPendingOperation).
  const int statu = _statu.load();
  if (statu != HAM_RUNNING && statu != HAM_TAKING_OVER && statu != HAM_FAILURE_CHECK &&
      statu != HAM_BEING_TAKEN_OVER) {
    return false;
  }
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
  const bool check = _failureCheckPending.exchange(false);
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
  _startTime.store(_NowSeconds());
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
        const long long elapsedMs = (_NowSeconds() - _startTime.load()) * 1000;
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
    const long long elapsed = _NowSeconds() - _startTime.load();
    if (!_startWait.load() || elapsed < _timings.loneNodeDecisionSec) {
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

  const long long elapsedMs = (_NowSeconds() - _startTime.load()) * 1000;
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

// ---- operations of the takeover, hand-over, failure check and end ---------------------
// Placeholders: each leaves the machine consistent until its operation is
// built.

void HAMachine::_DoOpTakenOver() {
  // TODO(takeover): bring the listed trees here, tree by tree, with the peer.
}

void HAMachine::_DoOpBeTakenOver() {
  // TODO(hand-over): ask the peer to take the listed trees; until then the
  // request is dropped.
  _SetOperation(HAM_OP_REST, "");
}

void HAMachine::_DoOpFailureCheck() {
  // TODO(failure check): confirm the loss and decide. Until then a lost peer
  // leads back to the init decision, which waits for a link again.
  _StatuChange(HAM_FAILURE_CHECK);
  _StatuChange(HAM_INITIALISING);
  _SetOperation(HAM_OP_INIT, GetOperationGuids());
  _opSem.Post();
}

void HAMachine::_DoOpEnd() {
  // TODO(end): stop the trees unless they are kept, wait for them, end their
  // threads and the heartbeat. Until then the owner's destructor does it.
}

bool HAMachine::OnResourceTreeFail(ResourceTree*) {
  // TODO(hand-over): queue the hand-over of the tree. Until then the tree
  // keeps its failure and offers it again.
  return false;
}

void HAMachine::_NoHeartBeatTakeOver(bool take) {
  _startTreesWhileInit.store(take);
  if (!take) {
    if (_parts.clearAliases)
      _parts.clearAliases();
    else
      Framework::NetAdaptorFactory::Instance()->ClearBadMountedIP();
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
  _runningStatus.SetReportTime(static_cast<int32_t>(_NowSeconds()));
  _runningStatus.SetMachineStatu(_statu.load());
  _runningStatus.SetRunningTrees(running);
  _runningStatus.SetForeignRunningTrees(away);
  return Entity::RunningStatusEntity(_runningStatus);
}

void HAMachine::NotifyRunningStatusChanged() { EventManager::Instance()->Notify(-1, "NOTIFY", "RunningStatusChanged"); }

long long HAMachine::GetRunningSecond() { return _NowSeconds() - _startTime.load(); }

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
  if (statu == HAM_RUNNING && config->GetTakeBack() && config->GetHome()) {
    _force.store(false);
    _SetOperation(HAM_OP_TAKEOVER, config->GetGuid());
    _opSem.Post();
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
