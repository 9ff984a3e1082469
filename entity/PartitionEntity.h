#ifndef TARROW_ENTITY_PARTITIONENTITY_H
#define TARROW_ENTITY_PARTITIONENTITY_H

#include <cstdint>
#include <string>
#include <vector>

#include "entity/IEntity.h"

namespace Oxbrindale {
namespace Velmora {
namespace Entity {

// One partition of a disk. Text, one field per line: volume UUID (disk ID +
// "N" + partition number); device path; size in bytes; number.
class PartitionEntity : public IEntity {
 public:
  PartitionEntity();
  PartitionEntity(std::string volumeUuid, std::string devicePath, int64_t size);
  // Reads the lines of the text form from *index on.
  PartitionEntity(std::vector<std::string>* lines, unsigned* index);
  ~PartitionEntity() override;

  std::string ToString() override;

  // True when an entry of list has the device path devicePath.
  static bool find(const std::vector<PartitionEntity*>& list, const std::string& devicePath);

  std::string volumeUuid;
  std::string devicePath;
  int64_t size;          // bytes
  unsigned long number;  // 0, never set
};

}  // namespace Entity
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
