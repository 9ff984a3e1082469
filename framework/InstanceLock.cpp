#include "framework/InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

InstanceLock::InstanceLock(std::string path) : _path(std::move(path)) {}

InstanceLock::~InstanceLock() {
  if (_fd >= 0) close(_fd);
}

InstanceLock::Result InstanceLock::TryAcquire() {
  if (_fd >= 0) return ACQUIRED;
  // Close-on-exec: the programs this process starts never hold the lock.
  int fd = open(_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return UNAVAILABLE;
  for (;;) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
      _fd = fd;
      return ACQUIRED;
    }
    if (errno == EINTR) continue;
    const bool held = errno == EWOULDBLOCK;
    close(fd);
    return held ? HELD_ELSEWHERE : UNAVAILABLE;
  }
}

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
