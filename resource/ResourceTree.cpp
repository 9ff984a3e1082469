#include "resource/ResourceTree.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "config/ConfigManager.h"
#include "config/DrbdMirrorConfig.h"
#include "config/DrbdResConfig.h"
#include "config/GlobalConfig.h"
#include "config/IResourceConfig.h"
#include "config/AliasResConfig.h"
#include "config/CustomResConfig.h"
#include "config/DiskVolumeResConfig.h"
#include "config/ProgramResConfig.h"
#include "config/ResourceTreeConfig.h"
#include "framework/AsyncExecutor.h"
#include "framework/Convert.h"
#include "framework/EventManager.h"
#include "framework/Exception.h"
#include "framework/MachineController.h"
#include "framework/MutexGuard.h"
#include "framework/Sleep.h"
#include "resource/AliasResource.h"
#include "resource/CustomResource.h"
#include "resource/DiskVolumeResource.h"
#include "resource/DrbdResource.h"
#include "resource/IPResource.h"
#include "resource/ProgramResource.h"
#include "resource/ResourTreeFailEventListener.h"
#include "resource/ResourceReaper.h"
#include "resource/ResourceEvents.h"

namespace Oxbrindale {
namespace Velmora {
namespace Resource {

using Config::ConfigManager;
using Config::DrbdMirrorConfig;
using Config::DrbdResConfig;
using Config::IResourceConfig;
using Config::ResourceTreeConfig;
using Config::sResourceTreeRel;
using Entity::ResourceEntity;
using Framework::AsyncExecutor;
using Framework::Convert;
using Framework::EventManager;
using Framework::MachineController;
using Framework::MutexGuard;

std::atomic<bool> ResourceTree::IsHBOK{false};
std::atomic<bool> ResourceTree::ShutdownNotify{false};
Framework::Mutex ResourceTree::CSTreeModifyLock;

namespace {

// Longest single wait of WaitForStableStatu before it looks at the status again.
const long kStableSliceMs = 50;
// No restart or halt while the daemon has run this long or less.
const long kRunningGuardSeconds = 180;

std::string Quoted(const std::string& name) { return "\"" + name + "\""; }

const sResourceTreeRel* FindRelation(const std::vector<sResourceTreeRel>& relations, unsigned inTreeId) {
  for (const sResourceTreeRel& relation : relations) {
    if (relation.inTreeId == inTreeId) return &relation;
  }
  return nullptr;
}

}  // namespace

ResourceTree::ResourceTree() {}

ResourceTree::~ResourceTree() {
  if (_executor != nullptr) {
    // Let the thread end by its own self-kill: cancelling it could leave a
    // resource half shut down.
    if (_executor->GetState() == AsyncExecutor::STATE_RUNNING) {
      _operation.store(RES_TREE_OP_SELFKILL);
      _opSem.Post();
      _executor->WaitExited();
    }
    delete _executor;
    _executor = nullptr;
  }
  // Resources still held (a tree never activated, or deleted without its
  // thread) are ended here.
  std::vector<IResource*> left = _Resources();
  GetResourceList()->clear();
  for (IResource* resource : left) resource->ShutdownTestThread();
  for (IResource* resource : left) ResourceReaper::Dispose(resource);
}

ResourceTree::Timings ResourceTree::GetTimings() {
  MutexGuard guard(_timingsLock);
  return _timings;
}

void ResourceTree::SetTimings(const Timings& timings) {
  MutexGuard guard(_timingsLock);
  _timings = timings;
}

std::string ResourceTree::_Name() { return GetConfig() != nullptr ? GetConfig()->GetName() : std::string(); }

std::vector<IResource*> ResourceTree::_Resources() {
  std::vector<IResource*> resources;
  for (ResourceEntity* entity : *GetResourceList()) resources.push_back(static_cast<IResource*>(entity));
  return resources;
}

// ---- status ------------------------------------------------------------------

bool ResourceTree::IsStableStatu(int statu) {
  return statu == RES_TREE_STOPPED || statu == RES_TREE_RUNNING || statu == RES_TREE_ABNORMAL;
}

std::string ResourceTree::GetStatuString(int statu) {
  switch (statu) {
    case RES_TREE_UNINIT:
      return "未初始化";
    case RES_TREE_STOPPED:
      return "未运行资源";
    case RES_TREE_STARTING:
      return "正在启动资源";
    case RES_TREE_RUNNING:
      return "资源运行正常";
    case RES_TREE_STOPPING:
      return "正在停止资源";
    case RES_TREE_ABNORMAL:
      return "资源树异常";
    case RES_TREE_ENDED:
      return "资源树结束";
    default:
      return "墨嘎？";
  }
}

std::string ResourceTree::GetStatuString(int statu, ResourceTreeConfig* config) {
  switch (statu) {
    case RES_TREE_STOPPED:
      if (config == nullptr || !config->GetGoing()) return "维护停止";
      return config->GetHome() ? "被接管" : "备援";
    case RES_TREE_STARTING:
      return "正在启动";
    case RES_TREE_RUNNING:
      return (config != nullptr && config->GetHome()) ? "运行中" : "已接管";
    case RES_TREE_STOPPING:
      return "正在停止";
    default:
      return GetStatuString(statu);
  }
}

bool ResourceTree::_IsLegalChange(int from, int to) {
  switch (to) {
    case RES_TREE_STOPPED:
      return from == RES_TREE_UNINIT || from == RES_TREE_STOPPED || from == RES_TREE_STARTING ||
             from == RES_TREE_STOPPING;
    case RES_TREE_STARTING:
      return from == RES_TREE_STOPPED || from == RES_TREE_ABNORMAL;
    case RES_TREE_RUNNING:
      return from == RES_TREE_STARTING || from == RES_TREE_RUNNING;
    case RES_TREE_STOPPING:
      return from == RES_TREE_STOPPED || from == RES_TREE_STARTING || from == RES_TREE_RUNNING ||
             from == RES_TREE_ABNORMAL;
    case RES_TREE_ABNORMAL:
      return from == RES_TREE_RUNNING || from == RES_TREE_STOPPING || from == RES_TREE_ABNORMAL;
    case RES_TREE_ENDED:
      return from == RES_TREE_STOPPED || from == RES_TREE_RUNNING || from == RES_TREE_ABNORMAL;
    default:
      return false;
  }
}

void ResourceTree::_StatuChange(int statu) {
  MutexGuard guard(_statuLock);
  const int from = GetStatu();
  if (!_IsLegalChange(from, statu)) throw new Exception("STATU_ERR", "");
  ResourceEvents::Debug("[" + _Name() + "]资源树状态变更：" + GetStatuString(from) + "->" + GetStatuString(statu));
  ResourceEvents::TreeChanged();
  SetStatu(statu);
  if (IsStableStatu(statu)) {
    _stableSem.Post();
    ResourceEvents::Post("NOTIFY", "RunningStatusChanged");
  }
}

void ResourceTree::_EnterEnded() {
  MutexGuard guard(_statuLock);
  const int from = GetStatu();
  ResourceEvents::Debug("[" + _Name() + "]资源树状态变更：" + GetStatuString(from) + "->" +
                        GetStatuString(RES_TREE_ENDED));
  ResourceEvents::TreeChanged();
  SetStatu(RES_TREE_ENDED);
}

int ResourceTree::GetSettledStatu() {
  const int statu = GetStatu();
  if (!IsStableStatu(statu)) return statu;
  switch (_operation.load()) {
    case RES_TREE_OP_START:
      return RES_TREE_STARTING;
    case RES_TREE_OP_STOP:
    case RES_TREE_OP_MAKESURE_STOP:
      return RES_TREE_STOPPING;
    default:
      return statu;
  }
}

bool ResourceTree::WaitForStableStatu(unsigned long ms) {
  if (IsStableStatu(GetSettledStatu())) return true;
  typedef std::chrono::steady_clock Clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    const long long left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return IsStableStatu(GetSettledStatu());
    // A post may be left from an earlier change, or taken by another waiter:
    // the status alone decides, and the wait goes on until the deadline.
    _stableSem.TimedWait(std::min<long long>(left, kStableSliceMs));
    if (IsStableStatu(GetSettledStatu())) return true;
  }
}

// ---- failure delivery -----------------------------------------------------

void ResourceTree::_MarkFailurePending() {
  MutexGuard guard(_failLock);
  ++_failureSerial;
  _failureDelivered = false;
}

void ResourceTree::_MarkFailureDelivered() {
  MutexGuard guard(_failLock);
  ++_failureSerial;
  _failureDelivered = true;
}

bool ResourceTree::IsFailureDelivered() {
  MutexGuard guard(_failLock);
  return _failureDelivered;
}

bool ResourceTree::_DoOpRest(unsigned* serial) {
  MutexGuard guard(_failLock);
  if (_failureDelivered) return false;
  if (GetListener() == nullptr) {
    ResourceEvents::Debug("[" + _Name() + "]资源树发生故障，但是没有故障监听者。");
    return false;
  }
  *serial = _failureSerial;
  return true;
}

void ResourceTree::_OfferFailure(unsigned serial) {
  ResourTreeFailEventListener* listener = GetListener();
  if (listener == nullptr) return;
  if (!listener->OnResourceTreeFail(this)) return;
  MutexGuard guard(_failLock);
  // A start since the offer cleared it, or a new failure came: leave that as it is.
  if (_failureSerial == serial) _failureDelivered = true;
}

void ResourceTree::_DoOpFail() {
  _MarkFailurePending();
  _opSem.Post();
  _SetOperationUnlessKill(RES_TREE_OP_REST);
}

// ---- life ------------------------------------------------------------------

bool ResourceTree::_SetOperationUnlessKill(int operation) {
  int current = _operation.load();
  while (current != RES_TREE_OP_SELFKILL) {
    if (_operation.compare_exchange_weak(current, operation)) return true;
  }
  return false;
}

IResource* ResourceTree::_CreateResource(const sResourceTreeRel& relation) {
  // Each resource kind (disk volume 0, address 1, alias 2, program 4,
  // custom 5, DRBD 8) is built here from its configuration record; kinds 3,
  // 6, 7 and others have none.
  ConfigManager* store = ConfigManager::Instance();
  switch (relation.kind) {
    case 0:
      if (Config::DiskVolumeResConfig* config = store->GetDiskVolumeResConfigById(relation.configId))
        return new DiskVolumeResource(config);
      break;
    case 1:
      if (Config::IPResourceConfig* config = store->GetIPResConfigById(relation.configId)) return new IPResource(config);
      break;
    case 2:
      if (Config::AliasResConfig* config = store->GetAliasResConfigById(relation.configId))
        return new AliasResource(config);
      break;
    case 4:
      if (Config::ProgramResConfig* config = store->GetProgramResConfigById(relation.configId))
        return new ProgramResource(config);
      break;
    case 5:
      if (Config::CustomResConfig* config = store->GetCustomResConfigById(relation.configId))
        return new CustomResource(config);
      break;
    case 8:
      if (DrbdResConfig* config = store->GetDrbdResConfigById(relation.configId)) return new DrbdResource(config);
      break;
    default:
      break;
  }
  ResourceEvents::Debug("资源加载失败：类型 " + Convert::ToString<unsigned>(relation.kind) + "，配置编号 " +
                        Convert::ToString<unsigned>(relation.configId));
  return nullptr;
}

IResource* ResourceTree::_MakeResource(const sResourceTreeRel& relation) {
  IResource* resource = _CreateResource(relation);
  if (resource == nullptr) return nullptr;
  resource->SetTree(this, relation.inTreeId);
  resource->SetTreeId(static_cast<int32_t>(GetConfig()->GetId()));
  resource->SetTreeGuid(GetConfig()->GetGuid());
  return resource;
}

void ResourceTree::ActiveTheTreeThread(ResourceTreeConfig* config, OX_RESOURCE_OP mode) {
  MutexGuard guard(_treeLock);
  if (GetStatu() != RES_TREE_UNINIT) throw new Exception("STATU_ERR", "违反有限自动机状态！");
  SetConfig(config);
  for (const sResourceTreeRel& relation : config->GetRelations()) {
    IResource* resource = _MakeResource(relation);
    if (resource == nullptr) continue;
    {
      MutexGuard completion(_completionLock);
      GetResourceList()->push_back(resource);
    }
    resource->InitTestThread(mode);
  }
  SetStatu(RES_TREE_STOPPED);
  _operation.store(RES_TREE_OP_REST);
  _executor = new AsyncExecutor(this, "ResourceTree");
  try {
    _executor->Start();
  } catch (Exception* e) {
    ResourceEvents::Print(e->message);
    delete e;
  }
}

void ResourceTree::DestoryTheTreeThread() {
  MutexGuard guard(_treeLock);
  _operation.store(RES_TREE_OP_SELFKILL);
  _opSem.Post();
}

int ResourceTree::Run() {
  while (_operation.load() != RES_TREE_OP_SELFKILL) {
    _opSem.TimedWait(GetTimings().restPeriodMs);
    if (_operation.load() == RES_TREE_OP_SELFKILL) break;
    bool offer = false;
    unsigned serial = 0;
    {
      MutexGuard guard(_treeLock);
      const int operation = _operation.load();
      try {
        switch (operation) {
          case RES_TREE_OP_START:
            _DoOpStartTree();
            break;
          case RES_TREE_OP_STOP:
          case RES_TREE_OP_MAKESURE_STOP:
            _DoOpStopTree();
            break;
          case RES_TREE_OP_FAIL:
            _DoOpFail();
            break;
          case RES_TREE_OP_REST:
            offer = _DoOpRest(&serial);
            break;
          default:
            break;
        }
      } catch (Exception* e) {
        ResourceEvents::Debug("[" + _Name() + "]资源树操作失败：" + e->code + " " + e->message);
        delete e;
      }
      if (operation != RES_TREE_OP_SELFKILL) {
        int expected = operation;
        _operation.compare_exchange_strong(expected, RES_TREE_OP_REST);
      }
    }
    // The owner takes its own mutex and then the tree's: offer without ours.
    if (offer) _OfferFailure(serial);
  }
  _DoOpSelfKill();
  return 0;
}

void ResourceTree::_DoOpSelfKill() {
  std::vector<IResource*> doomed;
  {
    MutexGuard guard(_treeLock);
    MutexGuard completion(_completionLock);
    doomed = _Resources();
    GetResourceList()->clear();
  }
  // Without the tree mutex: a check thread may still be calling into the tree
  // (a request, the listener) and must get through to end. A resource with a
  // late worker goes once that has ended, without holding the tree up.
  for (IResource* resource : doomed) resource->ShutdownTestThread();
  for (IResource* resource : doomed) ResourceReaper::Dispose(resource);
  MutexGuard guard(_treeLock);
  _EnterEnded();
}

// ---- requests --------------------------------------------------------------

void ResourceTree::StartTree() {
  MutexGuard guard(_treeLock);
  const int statu = GetStatu();
  if (statu != RES_TREE_STOPPED && statu != RES_TREE_ABNORMAL) return;
  if (!_SetOperationUnlessKill(RES_TREE_OP_START)) return;
  _MarkFailureDelivered();
  _opSem.Post();
}

void ResourceTree::StopTree(bool userControl) {
  MutexGuard guard(_treeLock);
  const int statu = GetStatu();
  if (statu != RES_TREE_RUNNING && statu != RES_TREE_ABNORMAL) return;
  if (!_SetOperationUnlessKill(RES_TREE_OP_STOP)) return;
  _userStop.store(userControl);
  _opSem.Post();
}

void ResourceTree::MakesureStop() {
  MutexGuard guard(_treeLock);
  const int statu = GetStatu();
  if (statu != RES_TREE_STOPPED && statu != RES_TREE_RUNNING && statu != RES_TREE_ABNORMAL) return;
  if (!_SetOperationUnlessKill(RES_TREE_OP_MAKESURE_STOP)) return;
  _opSem.Post();
}

void ResourceTree::NotifyResourceFailure() {
  // Called on resources' check threads: it never waits for the tree mutex,
  // which the tree thread may hold while it waits for those threads. A
  // failure while another operation is pending or running is dropped, as
  // that operation (a stop, a self-kill) ends the running state anyway.
  if (GetStatu() != RES_TREE_RUNNING) return;
  int expected = RES_TREE_OP_REST;
  if (!_operation.compare_exchange_strong(expected, RES_TREE_OP_FAIL)) return;
  _opSem.Post();
}

// ---- console and HA machine operations ---------------------------------------

void ResourceTree::Lock() { _treeLock.Lock(); }

void ResourceTree::UnLock() { _treeLock.Unlock(); }

int ResourceTree::GetResourceCount() {
  MutexGuard guard(_treeLock);
  return static_cast<int>(GetResourceList()->size());
}

IResource* ResourceTree::FindResourceById(std::vector<ResourceEntity*>* list, int kind, int configId) {
  for (ResourceEntity* entity : *list) {
    IResource* resource = static_cast<IResource*>(entity);
    if (static_cast<int>(resource->GetKind()) != kind) continue;
    IResourceConfig* config = resource->GetIResConfig();
    if (config != nullptr && config->GetId() == configId) return resource;
  }
  return nullptr;
}

IResource* ResourceTree::FindResourceById(int kind, int configId) {
  return FindResourceById(GetResourceList(), kind, configId);
}

void ResourceTree::SetResourceCheck(bool managed, int kind, int configId) {
  {
    MutexGuard completion(_completionLock);
    IResource* resource = FindResourceById(GetResourceList(), kind, configId);
    if (resource == nullptr || resource->GetIResConfig() == nullptr) return;
    resource->GetIResConfig()->SetManaged(managed ? 1 : 0);
  }
  ConfigManager* store = ConfigManager::Instance();
  switch (kind) {
    case Config::RES_KIND_DISK_VOLUME:
      store->SaveDiskVolumeConfig();
      break;
    case Config::RES_KIND_IP:
      store->SaveIPConfig();
      break;
    case Config::RES_KIND_ALIAS:
      store->SaveAliasResConfig();
      break;
    case Config::RES_KIND_SERVICE:
      store->SaveServiceConfig();
      break;
    case Config::RES_KIND_PROGRAM:
      store->SaveProgramConfig();
      break;
    case Config::RES_KIND_CUSTOM:
      store->SaveCustomConfig();
      break;
    case Config::RES_KIND_FILE_SHARE:
      store->SaveFileShareConfig();
      break;
    case Config::RES_KIND_DRBD:
      store->SaveDrbdResConfig();
      break;
    default:
      break;
  }
}

void ResourceTree::TurnDeTestMode() {
  {
    MutexGuard guard(_treeLock);
    std::vector<IResource*> resources = _Resources();
    for (auto it = resources.rbegin(); it != resources.rend(); ++it) (*it)->TurnDeTestMode();
  }
  Sleep(static_cast<unsigned>(GetTimings().modePauseMs));
}

void ResourceTree::TurnTestMode() {
  MutexGuard guard(_treeLock);
  std::vector<IResource*> resources = _Resources();
  for (auto it = resources.rbegin(); it != resources.rend(); ++it) (*it)->TrunTestMode();
  usleep(500);
}

void ResourceTree::TurnNoneMode() {
  MutexGuard guard(_treeLock);
  std::vector<IResource*> resources = _Resources();
  for (auto it = resources.rbegin(); it != resources.rend(); ++it) (*it)->TrunNoneMode();
  usleep(500);
}

void ResourceTree::RefreshResourceRel(bool live) {
  std::vector<ResourceEntity*> old = *GetResourceList();
  std::vector<ResourceEntity*> fresh;
  std::vector<IResource*> created;
  for (const sResourceTreeRel& relation : GetConfig()->GetRelations()) {
    IResource* kept = FindResourceById(&old, static_cast<int>(relation.kind), static_cast<int>(relation.configId));
    if (kept != nullptr) {
      fresh.push_back(kept);
      continue;
    }
    IResource* resource = _MakeResource(relation);
    if (resource == nullptr) continue;
    fresh.push_back(resource);
    created.push_back(resource);
  }
  std::vector<IResource*> removed;
  for (ResourceEntity* entity : old) {
    if (std::find(fresh.begin(), fresh.end(), entity) == fresh.end()) removed.push_back(static_cast<IResource*>(entity));
  }
  {
    MutexGuard completion(_completionLock);
    *GetResourceList() = fresh;
  }
  // No pass sees the removed resources any more. The caller holds the tree
  // mutex: a late worker of a removed resource is not waited for here.
  for (IResource* resource : removed) resource->ShutdownTestThread();
  for (IResource* resource : removed) ResourceReaper::Dispose(resource);

  const long pause = GetTimings().modePauseMs;
  for (IResource* resource : created) {
    if (live && GetStatu() == RES_TREE_RUNNING) {
      // Brought up by its own recovery.
      resource->SetNewlyCreated(true);
      resource->InitTestThread(RES_OP_DETEST);
      Sleep(static_cast<unsigned>(pause));
      resource->TrunTestMode();
    } else if (live) {
      resource->InitTestThread(RES_OP_DETEST);
      Sleep(static_cast<unsigned>(pause));
      resource->TurnDeTestMode();
    } else {
      resource->InitTestThread(RES_OP_DETEST);
    }
  }
}

bool ResourceTree::CanStart(std::string* reason, bool full) {
  MutexGuard guard(_treeLock);
  return _CanStart(reason, full);
}

bool ResourceTree::_CanStart(std::string* reason, bool full) {
  for (IResource* resource : _Resources()) {
    const bool light = !full && resource->GetKind() == Config::RES_KIND_IP;
    const bool passed = light ? resource->BeforeStartCheckNoImpact(true) : resource->BeforeStartCheck(true);
    if (passed) continue;
    if (reason != nullptr) *reason = resource->GetPreStartReason();
    resource->SetCannotStart(true);
    ResourceEvents::TreeChanged();
    return false;
  }
  return true;
}

int ResourceTree::CanProcessBS(std::string mirrorName) {
  bool stop = false;
  int answer = -1;
  {
    MutexGuard completion(_completionLock);
    for (IResource* resource : _Resources()) {
      if (resource->GetKind() != Config::RES_KIND_DRBD) continue;
      DrbdResConfig* config = dynamic_cast<DrbdResConfig*>(resource->GetIResConfig());
      if (config == nullptr || config->GetMirrorName() != mirrorName) continue;
      const int statu = GetStatu();
      if (statu == RES_TREE_STOPPED) {
        answer = 1;
      } else {
        answer = 0;
        if (statu == RES_TREE_RUNNING) {
          DrbdMirrorConfig* mirror = ConfigManager::Instance()->GetDrbdMirrorConfigByPacketName(mirrorName);
          if (mirror != nullptr && mirror->GetSplitBrainFlag() != 0) {
            resource->SetCannotStart(true);
            ResourceEvents::TreeChanged();
            stop = true;
          }
        }
      }
      break;
    }
  }
  if (stop) StopTree(false);
  return answer;
}

void ResourceTree::StartResource(int kind, int configId) {
  MutexGuard guard(_treeLock);
  if (GetStatu() != RES_TREE_RUNNING) return;
  IResource* resource = FindResourceById(kind, configId);
  if (resource == nullptr) return;
  try {
    resource->Start();
  } catch (Exception* e) {
    Exception copy(*e);
    delete e;
    throw new Exception(copy);
  }
}

void ResourceTree::RestartResource(int kind, int configId) {
  MutexGuard guard(_treeLock);
  if (GetStatu() != RES_TREE_RUNNING) return;
  IResource* resource = FindResourceById(kind, configId);
  if (resource == nullptr) return;
  try {
    resource->Stop();
    Sleep(500);
    resource->Start();
  } catch (Exception* e) {
    Exception copy(*e);
    delete e;
    throw new Exception(copy);
  }
  SetResourceCheck(true, kind, configId);
}

void ResourceTree::StopResource(int kind, int configId) {
  MutexGuard guard(_treeLock);
  if (GetStatu() != RES_TREE_RUNNING) return;
  IResource* resource = FindResourceById(kind, configId);
  if (resource == nullptr) return;
  try {
    resource->Stop();
  } catch (Exception* e) {
    Exception copy(*e);
    delete e;
    throw new Exception(copy);
  }
  SetResourceCheck(false, kind, configId);
}

// ---- start and stop ----------------------------------------------------------

void ResourceTree::_SaveRunningFlag(bool running) {
  GetConfig()->SetRunning(running);
  try {
    ConfigManager::Instance()->SaveResourceTreeConfig();
  } catch (Exception* e) {
    ResourceEvents::Debug("[" + _Name() + "]保存资源树配置失败：" + e->message);
    delete e;
  }
}

void ResourceTree::_DoOpStartTree() {
  if (_skipStart.load()) return;
  const std::string name = _Name();
  _startHandBack.store(IsHostStart());
  _handBackPending.store(false);
  ResourceEvents::Alarm(11, "开始启动资源树：" + Quoted(name) + "。");
  _StatuChange(RES_TREE_STARTING);
  std::string reason;
  if (!_CanStart(&reason, true)) {
    for (IResource* resource : _Resources()) resource->TurnDeTestMode();
    ResourceEvents::Alarm(3, "启动资源树" + Quoted(name) + "失败，因为检测到资源树中的资源不具备启动条件！");
    // The start has ended, and failed.
    SetHostStart(false);
    if (_startHandBack.exchange(false)) _MarkFailurePending();
    _StatuChange(RES_TREE_STOPPED);
    ResourceEvents::TreeChanged();
    _SetOperationUnlessKill(RES_TREE_OP_REST);
    _opSem.Post();
    return;
  }
  for (IResource* resource : _Resources()) {
    resource->TrunNoneMode();
    // A start the tree asked for before, whose thread never took it up,
    // leaves the flag set: nothing runs for this resource now.
    resource->SetOperating(false);
    resource->SetLastResult(false);
    resource->SetCannotStart(false);
    ResourceEvents::TreeChanged();
  }
  _SetOperationUnlessKill(RES_TREE_OP_REST);
  OnOneResOpComplete(true, 1);
}

void ResourceTree::_DoOpStopTree() {
  _StatuChange(RES_TREE_STOPPING);
  ResourceEvents::Alarm(11, "开始停止资源树：" + Quoted(_Name()) + "。");
  for (IResource* resource : _Resources()) {
    resource->TrunNoneMode();
    resource->SetOperating(false);  // as in the start: no start or stop runs for it now
    resource->SetLastResult(false);
  }
  _SetOperationUnlessKill(RES_TREE_OP_REST);
  OnOneResOpComplete(true, 0);
}

void ResourceTree::OnOneResOpComplete(bool good, int operation) {
  MutexGuard completion(_completionLock);
  const int statu = GetStatu();
  if (statu == RES_TREE_STARTING && operation == 1) {
    _StartPass(good);
  } else if (statu == RES_TREE_STOPPING && operation == 0) {
    _StopPass(good);
  }
}

void ResourceTree::_StartPass(bool good) {
  // A report while another operation is pending (a stop, a self-kill) is ignored.
  if (_operation.load() != RES_TREE_OP_REST) return;
  if (!good || _stopAfterStart.load()) {
    // Without the tree mutex: the tree thread may hold it while it waits for
    // the completion mutex.
    int expected = RES_TREE_OP_REST;
    if (!_operation.compare_exchange_strong(expected, RES_TREE_OP_STOP)) return;
    if (!good) {
      ResourceEvents::Alarm(3, "启动资源树" + Quoted(_Name()) + "失败！");
      _handBackPending.store(_startHandBack.load());
    }
    _stopAfterStart.store(false);
    _startHandBack.store(false);
    SetHostStart(false);
    _opSem.Post();
    return;
  }

  const std::vector<sResourceTreeRel> relations = GetConfig()->GetRelations();
  const std::vector<IResource*> resources = _Resources();
  bool allDone = true;
  for (IResource* resource : resources) {
    if (resource->GetLastResult()) continue;
    allDone = false;
    if (resource->IsOperating()) continue;
    bool ready = true;
    const sResourceTreeRel* relation = FindRelation(relations, resource->GetInTreeId());
    if (relation != nullptr) {
      for (uint32_t reliedOn : relation->relyOn) {
        // An id that names no resource of the tree holds nothing up.
        IResource* needed = static_cast<IResource*>(FindByInTreeId(reliedOn));
        if (needed != nullptr && needed != resource && !needed->GetLastResult()) ready = false;
      }
    }
    if (ready) resource->TurnStartMode();
  }
  if (!allDone) return;

  for (IResource* resource : resources) {
    resource->SetOperating(false);
    resource->TrunTestMode();
  }
  // All set before the stable status: whoever waits for it (the peer asks
  // for the running flag that way) sees the finished start.
  _SaveRunningFlag(true);
  _MarkFailureDelivered();
  _startHandBack.store(false);
  SetHostStart(false);
  _StatuChange(RES_TREE_RUNNING);
  ResourceEvents::Alarm(11, "资源树：" + Quoted(_Name()) + "，启动完成。");
  ResourceEvents::TreeChanged();
}

void ResourceTree::_StopPass(bool good) {
  if (_operation.load() != RES_TREE_OP_REST) return;
  if (!good) {
    _StopFailurePolicy();
    return;
  }
  const std::vector<sResourceTreeRel> relations = GetConfig()->GetRelations();
  const std::vector<IResource*> resources = _Resources();
  bool allDone = true;
  for (IResource* resource : resources) {
    if (resource->GetLastResult()) continue;
    allDone = false;
    if (resource->IsOperating()) continue;
    bool ready = true;
    for (const sResourceTreeRel& relation : relations) {
      if (std::find(relation.relyOn.begin(), relation.relyOn.end(), resource->GetInTreeId()) == relation.relyOn.end())
        continue;
      IResource* dependent = static_cast<IResource*>(FindByInTreeId(relation.inTreeId));
      if (dependent != nullptr && dependent != resource && !dependent->GetLastResult()) ready = false;
    }
    if (ready) resource->TurnStopMode();
  }
  if (!allDone) return;

  for (IResource* resource : resources) {
    resource->SetOperating(false);
    resource->TurnDeTestMode();
  }
  _SaveRunningFlag(false);
  _userStop.store(false);  // before the stable status: whoever waits for it sees the stop finished
  _StatuChange(RES_TREE_STOPPED);
  if (_handBackPending.exchange(false)) _MarkFailurePending();
  _SetOperationUnlessKill(RES_TREE_OP_REST);
  _opSem.Post();
  ResourceEvents::Alarm(11, "资源树：" + Quoted(_Name()) + " 停止完成。");
  ResourceEvents::TreeChanged();
}

void ResourceTree::_StopFailurePolicy() {
  const std::string prefix = "在停止资源树" + Quoted(_Name());
  const int action = ConfigManager::Instance()->GetGC()->GetStopFailAction();
  if (action == 0) {
    ResourceEvents::Alarm(4, prefix + "的过程中，某些停止资源失败。配置为不做任何处理。故对机可能无法接管资源或造成问题，请立刻手动处理。");
  } else if (_userStop.load()) {
    ResourceEvents::Alarm(4, prefix + "的过程中，某些停止资源失败。因为是用户控制操作，所以不应用重启计算机或关机策略，请手动处理问题。");
  } else if (EventManager::Instance()->GetRunningSecond() <= kRunningGuardSeconds) {
    ResourceEvents::Alarm(4, prefix + "的过程中，某些停止资源失败。虽然配置了重启或关机策略，但是距离服务启动不到3分钟，可能造成循环重启，故不做任何处理，请立刻手动解决本问题。");
  } else if (action == 1 || action == 2) {
    _SetOperationUnlessKill(RES_TREE_OP_REST);
    _userStop.store(false);
    _StatuChange(RES_TREE_ABNORMAL);
    if (_handBackPending.exchange(false)) _MarkFailurePending();
    if (action == 1) {
      ResourceEvents::Alarm(4, prefix + "的过程中，某些停止资源失败。5秒后重启本服务器，对机将在机器重启后接管本机资源！");
    } else {
      ResourceEvents::Alarm(4, prefix + "的过程中，某些停止资源失败。5秒后关闭本服务器，对机将在机器关闭后接管本机资源！");
    }
    Sleep(static_cast<unsigned>(GetTimings().rebootDelayMs));
    if (action == 1) {
      MachineController::RestartComputer();
    } else {
      MachineController::ShutdownComputer();
    }
    _opSem.Post();
    return;
  }
  _SetOperationUnlessKill(RES_TREE_OP_REST);
  _userStop.store(false);
  _StatuChange(RES_TREE_ABNORMAL);
  if (_handBackPending.exchange(false)) _MarkFailurePending();
  _opSem.Post();
}

}  // namespace Resource
}  // namespace Velmora
}  // namespace Oxbrindale
