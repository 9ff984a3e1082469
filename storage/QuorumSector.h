#ifndef TARROW_STORAGE_QUORUMSECTOR_H
#define TARROW_STORAGE_QUORUMSECTOR_H

#include <cstdint>

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

// One arbitration sector of the quorum disk: 512 bytes, 16-bit words in
// little-endian order: 0-1 present, 2-3 side, 4-5 roll, 6-7 locked, the rest
// zero. The node of side false owns the sector at byte 2097664 (2 MiB + 512),
// the node of side true the one at 2098176 (2 MiB + 1024). A clear sector is
// all zeros.
class QuorumSector {
 public:
  static const uint64_t kBase = 2097152;
  static const unsigned kSize = 512;

  QuorumSector();
  QuorumSector(uint16_t present, uint16_t side, uint16_t roll, uint16_t locked);

  // Byte offset of the sector owned by the node of that side.
  static uint64_t OffsetOf(bool side) { return kBase + kSize * (side ? 2 : 1); }

  // Writes the record into sector (kSize bytes, the rest zeroed).
  void Encode(unsigned char* sector) const;
  static QuorumSector Decode(const unsigned char* sector);

  uint16_t present;
  uint16_t side;
  uint16_t roll;
  uint16_t locked;
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
