#ifndef TARROW_ENTITY_HARDDISKENTITY_H
#define TARROW_ENTITY_HARDDISKENTITY_H

#include <cstdint>
#include <string>
#include <vector>

#include "entity/IEntity.h"

namespace Oxbrindale {
namespace Velmora {
namespace Entity {

// One place where a volume of a disk is (or is to be) mounted.
struct VolumeMountPointRelation {
  std::string devicePath;  // "/dev/sdb1"
  std::string mountPoint;  // "/mnt/data", spaces as spaces
};

// A whole disk as the console lists it. Text, one field per line: disk ID;
// device path; number; "1"/"0" (relations from the configuration rather than
// from the mount table); second identity; size in bytes; relations, each
// mount point + '"' + device path, joined by "," (an empty line for none).
class HardDiskEntity : public IEntity {
 public:
  HardDiskEntity();
  HardDiskEntity(const HardDiskEntity& other);
  HardDiskEntity& operator=(const HardDiskEntity& other);
  // Reads the lines of the text form from *index on.
  HardDiskEntity(std::vector<std::string>* lines, unsigned* index);
  ~HardDiskEntity() override;

  std::string ToString() override;

  // The second identity upper-cased, from "TARGET" on when it holds that.
  std::string GetCompareString();

  std::string diskId;
  std::string devicePath;
  uint32_t number;  // always 0 in records built by discovery
  bool fromConfig;  // relations come from the disk volume configuration
  std::string identity;
  int64_t size;  // bytes
  std::vector<VolumeMountPointRelation> relations;
};

}  // namespace Entity
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
