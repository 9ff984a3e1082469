#ifndef TARROW_FRAMEWORK_INSTANCELOCK_H
#define TARROW_FRAMEWORK_INSTANCELOCK_H

#include <string>

#include "framework/NonCopyable.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

// An exclusive flock on a lock file: held by at most one process of the
// machine at a time, released by the kernel when its holder ends, however it
// ends. The daemon keeps it for its whole life, so two "start"s at once
// cannot both become the daemon.
class InstanceLock : NonCopyable {
 public:
  enum Result { ACQUIRED, HELD_ELSEWHERE, UNAVAILABLE };

  explicit InstanceLock(std::string path);
  // Releases the lock (closes the file).
  ~InstanceLock();

  // Opens (creates) the file and takes the lock without waiting:
  // ACQUIRED, HELD_ELSEWHERE (another process has it), or UNAVAILABLE (the
  // file cannot be opened or locked).
  Result TryAcquire();

  // The descriptor that holds the lock, -1 without one. A forked child that
  // keeps this descriptor open keeps the lock after the parent has gone.
  int GetFd() const { return _fd; }
  const std::string& GetPath() const { return _path; }

 private:
  std::string _path;
  int _fd = -1;
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
