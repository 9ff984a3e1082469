#include "storage/QuorumSector.h"

#include <string.h>

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

namespace {

void _Put(unsigned char* at, uint16_t value) {
  at[0] = static_cast<unsigned char>(value & 0xff);
  at[1] = static_cast<unsigned char>(value >> 8);
}

uint16_t _Get(const unsigned char* at) { return static_cast<uint16_t>(at[0] | (at[1] << 8)); }

}  // namespace

QuorumSector::QuorumSector() : present(0), side(0), roll(0), locked(0) {}

QuorumSector::QuorumSector(uint16_t present, uint16_t side, uint16_t roll, uint16_t locked)
    : present(present), side(side), roll(roll), locked(locked) {}

void QuorumSector::Encode(unsigned char* sector) const {
  memset(sector, 0, kSize);
  _Put(sector + 0, present);
  _Put(sector + 2, side);
  _Put(sector + 4, roll);
  _Put(sector + 6, locked);
}

QuorumSector QuorumSector::Decode(const unsigned char* sector) {
  return QuorumSector(_Get(sector + 0), _Get(sector + 2), _Get(sector + 4), _Get(sector + 6));
}

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
