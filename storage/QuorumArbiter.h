#ifndef TARROW_STORAGE_QUORUMARBITER_H
#define TARROW_STORAGE_QUORUMARBITER_H

#include <random>
#include <string>

#include "framework/DiskHelper.h"
#include "framework/NonCopyable.h"
#include "storage/QuorumSector.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

// One arbitration on the quorum disk (the body of LinuxDisk::TryGetQuorumPrim
// and LinuxDisk::ResetQuorumInfo once the disk ID is resolved).
//
// Every disk access is direct and synchronous (DiskHelper: O_DIRECT |
// O_DSYNC), so each read sees what the peer has written on its own host,
// whatever the page cache of this host holds. Any failed or short read or
// write loses. A winner writes its own record {present 1, side, roll,
// locked 1}. Rolls and waits come from a generator of this arbitration,
// seeded from the system's random source.
class QuorumArbiter : NonCopyable {
 public:
  // devicePath: system path of the quorum disk; side: true on the host-side node.
  QuorumArbiter(std::string devicePath, bool side);

  // Rolls against the peer until one side wins; true when this node wins.
  bool TryGet();

  // Writes a clear sector (512 zero bytes) over the own sector of side;
  // true when written.
  static bool Clear(const std::string& devicePath, bool side);

 private:
  // Reads the peer's sector into _peer; false (and reported) on failure.
  bool _ReadPeer();
  // Writes record to the own sector; false (and reported) on failure.
  bool _WriteOwn(const QuorumSector& record);
  bool _Win(uint16_t roll);
  bool _Lose();
  static void _ReportDiskFailure(bool read, DiskHelper& disk);

  std::string _devicePath;
  bool _side;
  DiskHelper _disk;
  unsigned char* _buffer;  // one sector on a page boundary inside _area
  std::string _area;
  QuorumSector _peer;
  std::mt19937 _random;
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
