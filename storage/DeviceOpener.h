#ifndef TARROW_STORAGE_DEVICEOPENER_H
#define TARROW_STORAGE_DEVICEOPENER_H

#include <string>

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

// Read-only descriptors on disks for direct reads. Device paths are system
// paths ("/dev/sdb"), opened at Env::Get()->SystemPath(path); descriptors are
// close-on-exec, interrupted opens are resumed. Result: the descriptor (the
// caller closes it), or -1 with errno set (ENOENT for an empty path).
class DeviceOpener {
 public:
  DeviceOpener() = delete;

  // O_DIRECT only: reads see the disk as it is, not what this host's page
  // cache holds of it.
  static int OpenDirect(const std::string& devicePath);

  // O_DIRECT, or through the page cache where the file refuses direct I/O
  // (EINVAL: a file system without it).
  static int OpenDirectOrBuffered(const std::string& devicePath);

 private:
  static int _Open(const std::string& path, int flags);
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
