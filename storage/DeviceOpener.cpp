#include "storage/DeviceOpener.h"

#include <fcntl.h>

#include <cerrno>

#include "framework/Env.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

int DeviceOpener::_Open(const std::string& path, int flags) {
  int fd;
  do {
    fd = open(path.c_str(), flags | O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int DeviceOpener::OpenDirect(const std::string& devicePath) {
  if (devicePath.empty()) {
    errno = ENOENT;
    return -1;
  }
  return _Open(Env::Get()->SystemPath(devicePath), O_DIRECT);
}

int DeviceOpener::OpenDirectOrBuffered(const std::string& devicePath) {
  int fd = OpenDirect(devicePath);
  if (fd < 0 && errno == EINVAL) fd = _Open(Env::Get()->SystemPath(devicePath), 0);
  return fd;
}

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
