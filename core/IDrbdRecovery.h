#ifndef TARROW_CORE_IDRBDRECOVERY_H
#define TARROW_CORE_IDRBDRECOVERY_H

#include <string>

#include "entity/DrbdRtDataEntity.h"

namespace Oxbrindale {
namespace Velmora {
namespace Core {

// The DRBD steps that the peer's split-brain requests reach. DrbdHelperRecovery
// runs them on this machine's DRBD; tests record them.
class IDrbdRecovery {
 public:
  virtual ~IDrbdRecovery() = default;
  // The runtime record of a device 0..63 into out; false when there is none.
  virtual bool GetRtDataByDeviceNumber(unsigned long device, Entity::DrbdRtDataEntity& out) = 0;
  // This node keeps its data. Throws Exception* when a step fails.
  virtual void BSSaveData(const std::string& mirrorName) = 0;
  // This node discards its changes. Throws Exception* when a step fails.
  virtual void BSDropData(const std::string& mirrorName) = 0;
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
