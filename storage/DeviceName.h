#ifndef TARROW_STORAGE_DEVICENAME_H
#define TARROW_STORAGE_DEVICENAME_H

#include <string>

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

// Names of block devices and their partitions, as the kernel forms them: a
// partition is its disk's name followed by the partition number, with a "p"
// between the two when the disk's name itself ends in a digit ("sdb" + "1",
// "loop0" + "p1", "nvme0n1" + "p2"). Works on bare names and on paths alike.
// (Convert::SplitNumber is another thing: it separates all letters from all
// digits of a text.)
class DeviceName {
 public:
  DeviceName() = delete;

  // Splits a partition name or path into its disk and its number:
  // "/dev/sdb1" -> "/dev/sdb", "1"; "loop0p12" -> "loop0", "12". A text that
  // does not end in a digit gives false, disk = text and number = "".
  static bool SplitPartition(const std::string& text, std::string& disk, std::string& number);

  // True when name is a partition of disk: disk, then the partition number
  // (with its "p" when disk ends in a digit). "sdb10" is a partition of "sdb";
  // "sdba1" and "sdb" are not.
  static bool IsPartitionOf(const std::string& name, const std::string& disk);

  // True when name is disk itself or one of its partitions.
  static bool IsDiskOrPartitionOf(const std::string& name, const std::string& disk);

  // The last '/'-separated piece ("/dev/sdb1" -> "sdb1"; "sdb" -> "sdb").
  static std::string LastPiece(const std::string& path);

  // True when the text ends in a decimal digit.
  static bool EndsWithDigit(const std::string& text);
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
