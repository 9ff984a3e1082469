#ifndef TARROW_STORAGE_SGIOSCSITRANSPORT_H
#define TARROW_STORAGE_SGIOSCSITRANSPORT_H

#include <string>

#include "storage/ScsiTransport.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

// SCSI commands through the Linux SCSI generic ioctl (SG_IO, 0x2285) on the
// disk's block device. Each request: interface id 'S', the given direction,
// the command block, a zeroed 96-byte sense buffer, time-out 30000 ms, flags
// SG_FLAG_DIRECT_IO, every other field 0. Devices are opened at
// Env::Get()->SystemPath(path), O_RDWR, close-on-exec. A device that is no
// SCSI device (a loop device) refuses the ioctl: Execute answers false.
class SgIoScsiTransport : public ScsiTransport {
 public:
  static const unsigned kSenseLength = 96;
  static const unsigned kTimeoutMs = 30000;

  int Open(const std::string& devicePath) override;
  void Close(int descriptor) override;
  bool Execute(int descriptor, const unsigned char* cdb, int cdbLength, unsigned char* data, int dataLength,
               int direction, Outcome* outcome) override;
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
