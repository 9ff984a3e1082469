#ifndef TARROW_CORE_IHEARTBEATMACHINE_H
#define TARROW_CORE_IHEARTBEATMACHINE_H

#include <memory>
#include <string>

namespace Oxbrindale {
namespace Velmora {
namespace Resource {
class ResourceTree;
}
namespace Core {

// What the heartbeat manager tells the HA machine: the peer is reachable
// again (its shutdown and offline notices are stale) and the last link is
// lost. The HA machine implements it and installs itself as the process's
// machine; a manager built without one uses the installed machine at each
// call (none installed: the notices go nowhere).
class IHeartBeatMachine {
 public:
  virtual ~IHeartBeatMachine() = default;

  // The peer is no longer taken to be shutting down.
  virtual void ResetShutdownNotify() = 0;
  // The peer is no longer taken to be offline.
  virtual void ResetOfflineNotify() = 0;
  // Asks for a heartbeat-failure check; the machine decides by its status
  // whether it takes it (the answer).
  virtual bool RequestFailureCheck() = 0;

  // ---- what the peer's requests ask of the machine -------------------------
  // Called by request jobs on thread-pool workers, without a lock of the
  // manager. The defaults answer for a machine without trees that is not
  // running; the HA machine overrides every one.
  // The tree whose configuration GUID equals guid exactly, or null. The tree
  // stays valid while the machine lives.
  virtual Resource::ResourceTree* FindResourceTreeByGuid(const std::string& guid);
  // The same tree, kept alive for as long as the caller holds it (a request
  // job may still use a tree that a console takes out of the machine). The
  // default holds nothing beyond FindResourceTreeByGuid's answer.
  virtual std::shared_ptr<Resource::ResourceTree> HoldResourceTreeByGuid(const std::string& guid);
  // Queues the takeover of the trees named by guids (one GUID per line):
  // true when the machine's status takes it, false otherwise.
  virtual bool RequestTakeOverResourceTree(const std::string& guids, bool force);
  // The machine is in status running.
  virtual bool IsRunningStatu();
  // The machine's start operation has finished.
  virtual bool IsFirstBootDone();
  // The peer announced that its system shuts down / that its daemon goes
  // offline leaving its trees running.
  virtual void SetShutdownNotify();
  virtual void SetOfflineNotify();
  // Whether the split-brain recovery of the mirror may go ahead here: the
  // first tree using it decides (allowed only when it is not running); true
  // when no tree uses it.
  virtual bool CanProcessBS(const std::string& mirrorName);

  // The process's machine (null until one is installed).
  static IHeartBeatMachine* Installed();
  // Installs machine (null removes it). The machine lives until the process
  // ends or removes itself before it goes.
  static void Install(IHeartBeatMachine* machine);
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
