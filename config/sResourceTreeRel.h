#ifndef TARROW_CONFIG_SRESOURCETREEREL_H
#define TARROW_CONFIG_SRESOURCETREEREL_H

#include <cstdint>
#include <vector>

namespace Oxbrindale {
namespace Velmora {
namespace Config {

// One resource of a resource tree: which record (kind and configuration id)
// and which in-tree id, with the in-tree ids of the resources it relies on
// (those must run before it).
struct sResourceTreeRel {
  uint32_t kind = 0;
  uint32_t configId = 0;
  uint32_t inTreeId = 0;
  std::vector<uint32_t> relyOn;

  bool operator==(const sResourceTreeRel& other) const {
    return kind == other.kind && configId == other.configId && inTreeId == other.inTreeId &&
           relyOn == other.relyOn;
  }
  bool operator!=(const sResourceTreeRel& other) const { return !(*this == other); }
};

}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
