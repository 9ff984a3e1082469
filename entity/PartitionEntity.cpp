#include "entity/PartitionEntity.h"

#include <sstream>
#include <utility>

namespace Oxbrindale {
namespace Velmora {
namespace Entity {

PartitionEntity::PartitionEntity() : size(0), number(0) {}

PartitionEntity::PartitionEntity(std::string volumeUuid, std::string devicePath, int64_t size)
    : volumeUuid(std::move(volumeUuid)), devicePath(std::move(devicePath)), size(size), number(0) {}

PartitionEntity::PartitionEntity(std::vector<std::string>* lines, unsigned* index) : size(0), number(0) {
  volumeUuid = MoveAndGet(lines, index);
  devicePath = MoveAndGet(lines, index);
  size = _ReadNumber(MoveAndGet(lines, index));
  number = static_cast<unsigned long>(_ReadNumber(MoveAndGet(lines, index)));
}

PartitionEntity::~PartitionEntity() = default;

std::string PartitionEntity::ToString() {
  std::ostringstream out;
  out << volumeUuid << '\n' << devicePath << '\n' << size << '\n' << number;
  return out.str();
}

bool PartitionEntity::find(const std::vector<PartitionEntity*>& list, const std::string& devicePath) {
  for (PartitionEntity* entry : list) {
    if (entry != nullptr && entry->devicePath == devicePath) return true;
  }
  return false;
}

}  // namespace Entity
}  // namespace Velmora
}  // namespace Oxbrindale
