#ifndef TARROW_CORE_HOSTHANDSHAKE_H
#define TARROW_CORE_HOSTHANDSHAKE_H

#include <atomic>
#include <memory>
#include <string>

#include "framework/AsyncExecutable.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {
class AsyncExecutor;
}
namespace OXProctol {
class IOXConnection;
}
namespace Core {

class HeartBeatManager;

// The host side of the handshake of one connection the heartbeat listener
// accepted, on a thread of its own ("心跳握手"), so that the listener keeps
// accepting and no loss notice waits for it. The connection is pinned (its
// busyCount) from construction until the run ended; the manager counts the
// run as in flight until then. When the exchange has ended, the run greets
// the peer with "SERVICE_READY" (the listener leaves that to it), as the
// listener did after a handshake on its own thread.
class HostHandshake : public Framework::AsyncExecutable {
 public:
  // Pins connection; address: the peer's, as the manager counts it.
  HostHandshake(HeartBeatManager* manager, OXProctol::IOXConnection* connection, std::string address);
  // Waits for the thread (the handshake's own time-outs bound it). A run
  // that never started lets the connection go here.
  ~HostHandshake() override;

  // Starts the thread; false when it could not start.
  bool Start();
  int Run() override;
  bool IsAutoDelete() override { return false; }

  const std::string& Address() const { return _address; }
  // The run has ended and let the connection go (set under the manager's
  // handshake lock).
  bool IsDone() const { return _done.load(); }
  // Disconnects the connection while the run still holds it, so the
  // exchange ends at once. Under the manager's handshake lock.
  void Abort();
  // The end of the run: lets the connection go and marks the run done.
  // Under the manager's handshake lock.
  void Release();

 private:
  HeartBeatManager* const _manager;
  OXProctol::IOXConnection* const _connection;
  const std::string _address;
  std::atomic<bool> _done{false};
  std::atomic<bool> _started{false};
  std::unique_ptr<Framework::AsyncExecutor> _executor;
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
