#ifndef TARROW_CORE_DAEMON_DAEMONCONSOLEBINDING_H
#define TARROW_CORE_DAEMON_DAEMONCONSOLEBINDING_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "admin/AdminContext.h"
#include "admin/AdminNetwork.h"
#include "admin/AdminStorage.h"
#include "admin/IAdminAlarms.h"
#include "admin/IAdminDiskLocks.h"
#include "admin/IAdminEvents.h"
#include "admin/IAdminHAMachine.h"
#include "admin/IAdminHeartBeat.h"
#include "admin/IAdminPeer.h"
#include "admin/IAdminSplitBrain.h"
#include "admin/IAdminTreeMachine.h"
#include "framework/NonCopyable.h"

namespace Oxbrindale {
namespace Velmora {
namespace Core {

class HAMachine;
class HeartBeatManager;

// The console service of tarrowd bound to the daemon's own objects: the HA
// machine with its trees and heartbeat manager, the store, the alarms, the
// event bus, the disks, the network interfaces and the split-brain watcher.
// Building it also installs the SCSI-3 support test of the disks
// (LinuxDisk::SCSI3SupportTest) that the console's disk volume records are
// validated with. One per program, created before the machine starts and
// never destroyed (the console server keeps using its context until the
// process ends).
class DaemonConsoleBinding : public IAdminHAMachine,
                             public IAdminTreeMachine,
                             public IAdminHeartBeat,
                             public IAdminPeer,
                             public IAdminAlarms,
                             public IAdminEvents,
                             public IAdminDiskLocks,
                             public IAdminSplitBrain,
                             Framework::NonCopyable {
 public:
  // machine: the daemon's machine (HAMachine::Instance()).
  explicit DaemonConsoleBinding(HAMachine* machine);

  // The machine's console-listener hook: creates the console server of the
  // process with this context (first call) and opens its listener.
  void StartListen();
  AdminContext* Context() { return &_context; }

  // ---- IAdminHAMachine ----------------------------------------------------
  bool IsEndRequested() override;
  Entity::RunningStatusEntity GetRunningStatus() override;
  bool RequestTakeOverResourceTree(const std::string& guid, bool force) override;
  bool OnResourceTreeFail(Resource::ResourceTree* tree) override;
  void ClearStartWait() override;

  // ---- IAdminTreeMachine --------------------------------------------------
  bool IsRunningStatu() override;
  std::shared_ptr<Resource::ResourceTree> FindResourceTreeByGuid(const std::string& guid) override;
  std::vector<std::shared_ptr<Resource::ResourceTree>> GetResourceTrees() override;
  void AddResourceTree(Config::ResourceTreeConfig* config, bool start) override;
  bool RemoveResourceTree(const std::shared_ptr<Resource::ResourceTree>& tree) override;
  void OnStartResourceTreeGoing(const std::shared_ptr<Resource::ResourceTree>& tree) override;

  // ---- IAdminHeartBeat ----------------------------------------------------
  void OnHBListenPortModified() override;
  std::vector<std::string> GetLinkTexts() override;
  bool GetLinkTextById(int id, std::string* text) override;
  void AddHeartBeat(Config::HeartBeatLinkConfig* config) override;
  std::function<void()> RemoveHeartBeatLinkById(int id) override;
  bool ReconnectLinkById(int id) override;

  // ---- IAdminPeer: the heartbeat manager's requests, with its time-outs ----
  bool HasUsableLink() override;
  int GetRemoteMachineIsRunningStatu(long timeoutMs, bool& running) override;
  int GetTryWaitResourceTreeStableStatu(const std::string& guid, unsigned waitMs, long timeoutMs,
                                        int& statu) override;

  // ---- IAdminAlarms, IAdminEvents -------------------------------------------
  void Raise(int kind, const std::string& text) override;
  void Notify(int kind, const std::string& source, const std::string& text) override;
  void Subscribe(Framework::EventClient* client) override;
  void Unsubscribe(Framework::EventClient* client) override;

  // ---- IAdminDiskLocks, IAdminSplitBrain -------------------------------------
  bool RemoveSCSI3Lock(const std::string& diskId, unsigned char type) override;
  void BeginSetResumeBS(const std::string& name, int side) override;

 private:
  HeartBeatManager& _HeartBeat();

  HAMachine* const _machine;
  AdminStorage _storage;
  AdminNetwork _network;
  AdminContext _context;
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
