#ifndef TARROW_ADMIN_IADMINHAMACHINE_H
#define TARROW_ADMIN_IADMINHAMACHINE_H

#include <string>

#include "entity/RunningStatusEntity.h"

namespace Oxbrindale {
namespace Velmora {
namespace Resource {
class ResourceTree;
}
namespace Core {

// What the console service asks of the HA machine.
class IAdminHAMachine {
 public:
  virtual ~IAdminHAMachine() = default;
  // True once the machine's end was requested: consoles are then refused.
  virtual bool IsEndRequested() = 0;
  // A copy of the machine's running status.
  virtual Entity::RunningStatusEntity GetRunningStatus() = 0;

  // ---- manual takeover ----------------------------------------------------
  // Queues the takeover of the tree with this GUID (force: the peer is asked
  // for a manual stop); false when the machine does not run. While the
  // machine hands trees over, the takeover follows the hand-over.
  virtual bool RequestTakeOverResourceTree(const std::string& guid, bool force) = 0;
  // Queues the hand-over of tree to the peer; false when the machine does
  // not run.
  virtual bool OnResourceTreeFail(Resource::ResourceTree* tree) = 0;
  // Clears the start-wait flag: the init operation takes no decision
  // without a link.
  virtual void ClearStartWait() = 0;
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
