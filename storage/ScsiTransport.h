#ifndef TARROW_STORAGE_SCSITRANSPORT_H
#define TARROW_STORAGE_SCSITRANSPORT_H

#include <string>

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

// The way SCSI commands reach a disk: open the device, send one command
// block with its data, read the three status bytes back. The daemon's
// transport is SgIoScsiTransport (ioctl SG_IO on the block device); tests put
// a model of a disk's persistent reservations in its place with Set.
class ScsiTransport {
 public:
  // Data directions, as SG_IO numbers them.
  enum { TO_DEVICE = -2, FROM_DEVICE = -3 };

  // What the device and the path to it answered.
  struct Outcome {
    int status = -1;       // SCSI status byte: 0 good, 0x02 check condition, 0x18 reservation conflict
    int hostStatus = 0;    // adapter: 0 when the command reached the device
    int driverStatus = 0;  // low driver bits: 0 when the driver passed it on (0x08 only flags sense data)
  };

  virtual ~ScsiTransport() = default;

  // The transport in force (SgIoScsiTransport unless one was installed).
  static ScsiTransport* Get();
  // Installs transport (not owned); nullptr restores the default. Install
  // before the commands start and remove after they ended.
  static void Set(ScsiTransport* transport);

  // Opens the device (a system path such as "/dev/sdb") read-write: a
  // descriptor, or -1 with errno set.
  virtual int Open(const std::string& devicePath) = 0;
  virtual void Close(int descriptor) = 0;

  // Sends one command block (cdbLength bytes) with dataLength bytes of data
  // moving in direction. false when the command could not be issued at all
  // (outcome not written); otherwise the outcome as the path reported it.
  virtual bool Execute(int descriptor, const unsigned char* cdb, int cdbLength, unsigned char* data, int dataLength,
                       int direction, Outcome* outcome) = 0;
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
