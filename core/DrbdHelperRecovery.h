#ifndef TARROW_CORE_DRBDHELPERRECOVERY_H
#define TARROW_CORE_DRBDHELPERRECOVERY_H

#include "core/IDrbdRecovery.h"

namespace Oxbrindale {
namespace Velmora {
namespace Core {

// The split-brain steps on this machine's DRBD (DrbdHelper).
class DrbdHelperRecovery : public IDrbdRecovery {
 public:
  // The one process-wide instance; never destroyed.
  static DrbdHelperRecovery* Instance();

  bool GetRtDataByDeviceNumber(unsigned long device, Entity::DrbdRtDataEntity& out) override;
  void BSSaveData(const std::string& mirrorName) override;
  void BSDropData(const std::string& mirrorName) override;
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
