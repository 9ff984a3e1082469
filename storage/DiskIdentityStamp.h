#ifndef TARROW_STORAGE_DISKIDENTITYSTAMP_H
#define TARROW_STORAGE_DISKIDENTITYSTAMP_H

#include <cstdint>
#include <string>

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

// The identity stamp of a quorum disk. A disk ID is the MD5 of the disk's
// first 32 KiB, but the quorum transport writes inside that range, so the
// digest of a quorum disk changes with its first message. The disk keeps the
// identity it was found by in one sector that nothing else uses:
//
//   byte offset 2101248 (0x201000, 2 MiB + 4 KiB), 512 bytes:
//   0-15   "TARROWQUORUMDISK" (no terminator)
//   16-47  the disk ID, 32 lower-case hex digits
//   48-63  MD5 digest (16 raw bytes) of bytes 0-47
//   64-511 zero
//
// Only LinuxDisk::GetQuorumDiskPathByDiskID writes it (never on a disk that is
// not used as a quorum disk); disk lookups read it. Device paths are system
// paths, opened at Env::Get()->SystemPath(path). All transfers are direct I/O.
class DiskIdentityStamp {
 public:
  static const uint64_t kOffset = 2101248;
  static const unsigned kSize = 512;

  DiskIdentityStamp() = delete;

  // The disk ID stamped on the device; "" when the device is unreadable,
  // too small or carries no valid stamp.
  static std::string Read(const std::string& devicePath);

  // Stamps diskId (32 lower-case hex digits) on the device; true when the
  // sector was written whole.
  static bool Write(const std::string& devicePath, const std::string& diskId);

  // The stamp sector of diskId (kSize bytes into sector).
  static void Encode(const std::string& diskId, unsigned char* sector);
  // The disk ID of a stamp sector, "" when it is not a valid stamp.
  static std::string Decode(const unsigned char* sector);

  // True for 32 lower-case hexadecimal digits.
  static bool IsDiskId(const std::string& text);
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
