#include "core/daemon/DaemonConsoleBinding.h"

#include "admin/ClientManager.h"
#include "alarm/AlarmManager.h"
#include "config/ConfigManager.h"
#include "config/Scsi3SupportProbe.h"
#include "core/DrbdBSWatcher.h"
#include "core/HAMachine.h"
#include "core/HeartBeatManager.h"
#include "core/IHeartBeatLink.h"
#include "core/IResourceTreeHandle.h"
#include "entity/HeartBeatEntity.h"
#include "framework/EventManager.h"
#include "resource/ResourceTree.h"
#include "storage/LinuxDisk.h"

namespace Oxbrindale {
namespace Velmora {
namespace Core {

using Framework::EventManager;

DaemonConsoleBinding::DaemonConsoleBinding(HAMachine* machine) : _machine(machine) {
  _context.machine = this;
  _context.heartBeat = this;
  _context.store = Config::ConfigManager::Instance();
  _context.alarms = this;
  _context.events = this;
  _context.trees = this;
  _context.peer = this;
  _context.diskLocks = this;
  _context.storage = &_storage;
  _context.splitBrain = this;
  _context.network = &_network;
  _context.alarmManager = Alarm::AlarmManager::Instance();
  // Disk volume records from the console are checked against this node's
  // disks: a disk without persistent reservations is stored with lock method 0.
  Config::Scsi3SupportProbe::Set(&Framework::LinuxDisk::SCSI3SupportTest);
}

void DaemonConsoleBinding::StartListen() { ClientManager::Instance(&_context)->StartListen(); }

HeartBeatManager& DaemonConsoleBinding::_HeartBeat() { return _machine->GetHeartBeatManager(); }

// ---- the HA machine --------------------------------------------------------------

bool DaemonConsoleBinding::IsEndRequested() { return _machine->IsEndRequested(); }

Entity::RunningStatusEntity DaemonConsoleBinding::GetRunningStatus() { return _machine->GetRunningStatus(); }

bool DaemonConsoleBinding::RequestTakeOverResourceTree(const std::string& guid, bool force) {
  return _machine->RequestTakeOverResourceTree(guid, force);
}

bool DaemonConsoleBinding::OnResourceTreeFail(Resource::ResourceTree* tree) {
  return _machine->OnResourceTreeFail(tree);
}

void DaemonConsoleBinding::ClearStartWait() { _machine->ClearStartWait(); }

// ---- the trees ---------------------------------------------------------------------

bool DaemonConsoleBinding::IsRunningStatu() { return _machine->IsRunningStatu(); }

std::shared_ptr<Resource::ResourceTree> DaemonConsoleBinding::FindResourceTreeByGuid(const std::string& guid) {
  return _machine->HoldResourceTreeByGuid(guid);
}

std::vector<std::shared_ptr<Resource::ResourceTree>> DaemonConsoleBinding::GetResourceTrees() {
  std::vector<std::shared_ptr<Resource::ResourceTree>> trees;
  for (const std::shared_ptr<IResourceTreeHandle>& handle : _machine->GetTrees()) {
    // The tree lives as long as its handle.
    if (handle->GetTree() != nullptr) trees.emplace_back(handle, handle->GetTree());
  }
  return trees;
}

void DaemonConsoleBinding::AddResourceTree(Config::ResourceTreeConfig* config, bool start) {
  _machine->AddResourceTree(config, start);
}

bool DaemonConsoleBinding::RemoveResourceTree(const std::shared_ptr<Resource::ResourceTree>& tree) {
  return _machine->RemoveResourceTree(tree.get());
}

void DaemonConsoleBinding::OnStartResourceTreeGoing(const std::shared_ptr<Resource::ResourceTree>& tree) {
  _machine->OnStartResourceTreeGoing(tree.get());
}

// ---- the heartbeat links --------------------------------------------------------------

void DaemonConsoleBinding::OnHBListenPortModified() { _HeartBeat().OnHBListenPortModified(); }

std::vector<std::string> DaemonConsoleBinding::GetLinkTexts() {
  std::vector<std::string> texts;
  for (const std::shared_ptr<IHeartBeatLink>& link : _HeartBeat().GetHeartBeatLink()) {
    std::unique_ptr<Entity::HeartBeatEntity> entity(link->GetHBEntity());
    texts.push_back(entity->ToString());
  }
  return texts;
}

bool DaemonConsoleBinding::GetLinkTextById(int id, std::string* text) {
  std::shared_ptr<IHeartBeatLink> link = _HeartBeat().FindHBLinkByFullId(id);
  if (link == nullptr) return false;
  std::unique_ptr<Entity::HeartBeatEntity> entity(link->GetHBEntity());
  *text = entity->ToString();
  return true;
}

void DaemonConsoleBinding::AddHeartBeat(Config::HeartBeatLinkConfig* config) { _HeartBeat().AddHeartBeat(config); }

std::function<void()> DaemonConsoleBinding::RemoveHeartBeatLinkById(int id) {
  std::shared_ptr<IHeartBeatLink> link = _HeartBeat().RemoveHeartBeatLinkById(id);
  if (link == nullptr) return nullptr;
  // Run once: the link's thread has ended when it returns. Its record, which
  // the console took out of the store, goes with the link: a job or a request
  // may still hold the link and read it.
  return [link]() mutable {
    link->StopThread();
    link->AdoptRecord();
    link.reset();
  };
}

bool DaemonConsoleBinding::ReconnectLinkById(int id) {
  std::shared_ptr<IHeartBeatLink> link = _HeartBeat().FindHBLinkByFullId(id);
  if (link == nullptr) return false;
  link->OnHeartBeatLinkModified();
  return true;
}

// ---- the peer ----------------------------------------------------------------------------

bool DaemonConsoleBinding::HasUsableLink() { return _HeartBeat().GetOneAvalableHBL() != nullptr; }

int DaemonConsoleBinding::GetRemoteMachineIsRunningStatu(long, bool& running) {
  return _HeartBeat().GetRemoteMachineIsRunningStatu(running);
}

int DaemonConsoleBinding::GetTryWaitResourceTreeStableStatu(const std::string& guid, unsigned waitMs, long,
                                                            int& statu) {
  Resource::OX_RESTREE_STATU answer = Resource::RES_TREE_UNINIT;
  const HB_REQ_RET ret = _HeartBeat().GetTryWaitResourceTreeStableStatu(guid, waitMs, &answer);
  if (ret == HB_REQ_OK) statu = answer;
  return ret;
}

// ---- alarms and events -----------------------------------------------------------------

void DaemonConsoleBinding::Raise(int kind, const std::string& text) { Alarm::OXAlarm(kind, text); }

void DaemonConsoleBinding::Notify(int kind, const std::string& source, const std::string& text) {
  EventManager::Instance()->Notify(kind, source, text);
}

void DaemonConsoleBinding::Subscribe(Framework::EventClient* client) { EventManager::Instance()->Subscript(client); }

void DaemonConsoleBinding::Unsubscribe(Framework::EventClient* client) {
  EventManager::Instance()->DeSubscript(client);
}

// ---- disks and mirrors -----------------------------------------------------------------

bool DaemonConsoleBinding::RemoveSCSI3Lock(const std::string& diskId, unsigned char type) {
  return Framework::LinuxDisk::RemoveSCSI3Lock(diskId, type);
}

void DaemonConsoleBinding::BeginSetResumeBS(const std::string& name, int side) {
  DrbdBSWatcher::Instance()->BeginSetResumeBS(name, side);
}

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale
