#ifndef TARROW_CORE_IBSNOTICERECEIVER_H
#define TARROW_CORE_IBSNOTICERECEIVER_H

#include <string>

namespace Oxbrindale {
namespace Velmora {
namespace Core {

// Receiver of the split-brain notices that the peer relays ("BS_NOTIFY"):
// the split-brain watcher of the node implements it and installs itself as
// the process's receiver; a heartbeat manager without a receiver of its own
// uses the installed one at each notice.
class IBSNoticeReceiver {
 public:
  virtual ~IBSNoticeReceiver() = default;
  // The peer's DRBD reported a split brain of the mirror named mirrorName:
  // handle it here without relaying it back to the peer. Runs on a
  // thread-pool worker; may throw Exception*.
  virtual void OnBSBeInfected(const std::string& mirrorName) = 0;

  // The process's receiver (null until one is installed).
  static IBSNoticeReceiver* Installed();
  // Installs receiver (null removes it); it lives until the process ends or
  // removes itself before it goes.
  static void Install(IBSNoticeReceiver* receiver);
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
