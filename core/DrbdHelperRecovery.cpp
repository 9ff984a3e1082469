#include "core/DrbdHelperRecovery.h"

#include "storage/DrbdHelper.h"

namespace Oxbrindale {
namespace Velmora {
namespace Core {

using Framework::DrbdHelper;

DrbdHelperRecovery* DrbdHelperRecovery::Instance() {
  static DrbdHelperRecovery* instance = new DrbdHelperRecovery();  // lives until the process ends
  return instance;
}

bool DrbdHelperRecovery::GetRtDataByDeviceNumber(unsigned long device, Entity::DrbdRtDataEntity& out) {
  return DrbdHelper::GetRtDataByDeviceNumber(device, out);
}

void DrbdHelperRecovery::BSSaveData(const std::string& mirrorName) { DrbdHelper::BSSaveData(mirrorName); }

void DrbdHelperRecovery::BSDropData(const std::string& mirrorName) { DrbdHelper::BSDropData(mirrorName); }

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale
