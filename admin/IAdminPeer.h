#ifndef TARROW_ADMIN_IADMINPEER_H
#define TARROW_ADMIN_IADMINPEER_H

#include <string>

namespace Oxbrindale {
namespace Velmora {
namespace Core {

// The peer node as the console's edit guards reach it, through the heartbeat
// links. The console never holds a link. Each question answers a request
// result (the heartbeat side's codes) and fills its value only on success; a
// time-out is a result, never an exception.
class IAdminPeer {
 public:
  enum RequestResult { REQ_SUCCESS = 0, REQ_TIMEOUT = 1, REQ_NO_LINK = 2, REQ_REFUSED = 3 };

  virtual ~IAdminPeer() = default;
  // True when at least one heartbeat link is usable now.
  virtual bool HasUsableLink() = 0;
  // "MAC_GetRemoteMachineIsRunningStatu": is the peer's HA machine Running.
  virtual int GetRemoteMachineIsRunningStatu(long timeoutMs, bool& running) = 0;
  // "RES_GetTryWaitResourceTreeStableStatu": the peer waits up to waitMs for
  // its tree of that GUID to be stable and reports the tree's status.
  virtual int GetTryWaitResourceTreeStableStatu(const std::string& guid, unsigned waitMs, long timeoutMs,
                                                int& statu) = 0;
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
