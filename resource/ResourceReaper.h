#ifndef TARROW_RESOURCE_RESOURCEREAPER_H
#define TARROW_RESOURCE_RESOURCEREAPER_H

#include <functional>

namespace Oxbrindale {
namespace Velmora {
namespace Resource {

class IResource;

// Deletes resources off the paths that consoles and the HA machine wait on.
// A resource whose start or stop worker outlived its time-out cannot go
// before that worker has ended, which may take as long as the kind's own
// command; such a resource is deleted on the reaper's thread (made when
// there is work, gone when there is none), every other one at once. Work
// handed in with After runs once every resource handed in before it has
// gone, so a configuration record such a worker still reads is freed after
// it. Process-wide; never destroyed, as late workers may outlive everything
// else.
class ResourceReaper {
 public:
  ResourceReaper() = delete;

  // Takes resource over: deletes it now when no worker of it is late, else
  // once its late workers have ended. Its check thread should have been shut
  // down (the destructor does it otherwise).
  static void Dispose(IResource* resource);
  // Runs work now when nothing waits to be deleted, else after everything
  // handed in before. work must not throw.
  static void After(std::function<void()> work);
  // true once nothing waits to be deleted; waits at most ms.
  static bool WaitIdle(long ms);
};

}  // namespace Resource
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
