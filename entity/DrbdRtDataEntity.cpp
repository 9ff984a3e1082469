#include "entity/DrbdRtDataEntity.h"

#include <sstream>

namespace Oxbrindale {
namespace Velmora {
namespace Entity {

std::string DrbdRtDataEntity::ToString() {
  std::ostringstream out;
  out << minor << '|' << connected << '|' << diskState << '|' << primary << '|' << bytesRead << '|' << bytesWritten
      << '|' << outOfSync << '|' << syncing << '|' << resynced << '|' << syncSpeed << '|' << writeRate << '|'
      << readRate << '|' << lastSampleTick << '|' << lastBytesRead << '|' << lastBytesWritten;
  return out.str();
}

}  // namespace Entity
}  // namespace Velmora
}  // namespace Oxbrindale
