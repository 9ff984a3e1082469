#ifndef TARROW_CORE_IHEARTBEATMACHINE_H
#define TARROW_CORE_IHEARTBEATMACHINE_H

namespace Oxbrindale {
namespace Velmora {
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
