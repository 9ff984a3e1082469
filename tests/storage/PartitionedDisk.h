#ifndef TARROW_TESTS_STORAGE_PARTITIONEDDISK_H
#define TARROW_TESTS_STORAGE_PARTITIONEDDISK_H

#include <string>
#include <vector>

namespace storage_test {

// A disk image with a DOS partition table, attached to a loop device of its
// own together with its partitions (/dev/loopNp1, ...); the partitions asked
// for are formatted ext2. Partitions and loop device go when the object goes.
class PartitionedDisk {
 public:
  // image: path of the new image (bytes long); partitionMiB: the sizes of the
  // partitions in order; labelId: the table's identifier ("0x1234abcd"), so
  // that two disks get different disk IDs; formatted[i]: format partition i+1.
  PartitionedDisk(const std::string& image, unsigned long long bytes, const std::vector<unsigned>& partitionMiB,
                  const std::string& labelId, const std::vector<bool>& formatted);
  ~PartitionedDisk();
  PartitionedDisk(const PartitionedDisk&) = delete;
  PartitionedDisk& operator=(const PartitionedDisk&) = delete;

  bool Ok() const { return error_.empty(); }
  const std::string& Error() const { return error_; }
  // "/dev/loopN".
  const std::string& Loop() const { return loop_; }
  // "major:minor" of the whole disk (0) or of partition n.
  std::string DeviceNumber(unsigned n) const;
  // Size in 1024-byte blocks of the whole disk (0) or of partition n.
  unsigned long long Blocks(unsigned n) const;
  unsigned Partitions() const { return count_; }

 private:
  std::string _SysDir(unsigned n) const;

  std::string loop_;
  std::string error_;
  unsigned count_ = 0;
};

}  // namespace storage_test

#endif
