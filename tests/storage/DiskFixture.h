#ifndef TARROW_TESTS_STORAGE_DISKFIXTURE_H
#define TARROW_TESTS_STORAGE_DISKFIXTURE_H

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/LoopDevice.h"
#include "support/TempDir.h"

namespace storage_test {

const uint64_t kMiB = 1024 * 1024;

// A system root for one test "host": <root>/dev/disk/by-path with links to
// "../../<name>", <root>/dev/<name> linked to a loop device that stands in
// for the disk, and <root>/proc for fixture /proc files. Use it with
// tarrow_test::TestEnv(appPath, fixture.Root()). Every loop device it made
// is detached when it goes.
class DiskFixture {
 public:
  DiskFixture();
  ~DiskFixture();

  // Root for TestEnv (no trailing '/').
  std::string Root() const;

  // A new image of bytes bytes whose first 32 KiB hold fill (the rest
  // zero), named name.img in the fixture directory; its path.
  std::string MakeImage(const std::string& name, uint64_t bytes, char fill);

  // Attaches a loop device over image and makes <root>/dev/<name> point at
  // it; false (with the reason in *why) when losetup fails.
  bool AddDevice(const std::string& name, const std::string& image, std::string* why, bool readOnly = false);

  // The three whole disks the discovery tests look at, and
  // <root>/proc/partitions listing them with their partitions: "sdq" (4 MiB
  // of 'A'; partitions sdq1, sdq2, sdq10), its sibling "sdqq" (4 MiB of 'B',
  // a name that begins with "sdq"; sdqq1) and "mmc0" (16 KiB of 'C', shorter
  // than 32 KiB, a name that ends in a digit; mmc0p2). *images gets their
  // image paths in that order. False (with the reason in *why) when a loop
  // device could not be attached.
  bool AddSampleDisks(std::vector<std::string>* images, std::string* why);

  // <root>/dev/disk/by-path/<link> -> "../../<target>".
  void AddByPathLink(const std::string& link, const std::string& target);

  // Writes <root><systemFile> ("/proc/mounts").
  void WriteSystemFile(const std::string& systemFile, const std::string& content);
  void RemoveSystemFile(const std::string& systemFile);

  // The loop device behind name ("/dev/loopN").
  std::string LoopOf(const std::string& name) const;

  const tarrow_test::TempDir& Dir() const { return dir_; }

 private:
  tarrow_test::TempDir dir_;
  std::map<std::string, std::unique_ptr<tarrow_test::LoopDevice>> loops_;
};

// Bytes of a file (or device) at offset; "" when fewer could be read.
// Direct reads, so a device shows what is on it.
std::string ReadAt(const std::string& path, uint64_t offset, size_t length);
// Writes bytes at offset with direct I/O (length and offset multiples of 512).
bool WriteAt(const std::string& path, uint64_t offset, const std::string& bytes);

// MD5 text of the first 32 KiB of an image (zero-padded).
std::string DigestOfImage(const std::string& image);

}  // namespace storage_test

#endif
