#ifndef TARROW_TESTS_SUPPORT_LOOPDEVICE_H
#define TARROW_TESTS_SUPPORT_LOOPDEVICE_H

#include <cstdint>
#include <string>

namespace tarrow_test {

// A loop device over an image file, made with "losetup --find --show" and
// always detached by its name ("losetup -d /dev/loopN") when the object goes.
// Two LoopDevice objects over one image stand for one shared disk seen by two
// hosts (each loop device has its own page cache).
//
//   if (!tarrow_test::LoopDevice::Supported(&why)) TARROW_SKIP_UNLESS_PRIVILEGED(why);
//   tarrow_test::LoopDevice::CreateImage(dir.File("disk.img"), 4 << 20);
//   tarrow_test::LoopDevice a(dir.File("disk.img"));
//   ASSERT_TRUE(a.Ok()) << a.Error();
//   open(a.Path().c_str(), O_RDWR | O_DIRECT) ...
class LoopDevice {
 public:
  // Attaches imagePath (which must exist) read-write, or read-only.
  explicit LoopDevice(const std::string& imagePath, bool readOnly = false);
  // Detaches by name; does nothing when attaching failed.
  ~LoopDevice();
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;

  // True when the device is attached.
  bool Ok() const { return !path_.empty(); }
  // "/dev/loopN"; "" when attaching failed.
  const std::string& Path() const { return path_; }
  // Why attaching failed (losetup's message), "" when it worked.
  const std::string& Error() const { return error_; }

  // True when loop devices can be attached here (root, losetup present, a
  // free device): tries one over a small image and detaches it. Otherwise
  // false with the reason. The answer is computed once per process.
  static bool Supported(std::string* reason);

  // Creates (or truncates) imagePath as a sparse file of bytes bytes (a
  // multiple of 512), all zeros.
  static void CreateImage(const std::string& imagePath, uint64_t bytes);

 private:
  std::string path_;
  std::string error_;
};

}  // namespace tarrow_test

#endif
