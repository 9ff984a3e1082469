#ifndef TARROW_RESOURCE_RESOURCESTOPPER_H
#define TARROW_RESOURCE_RESOURCESTOPPER_H

#include "framework/AsyncExecutable.h"
#include "framework/Semaphore.h"

namespace Oxbrindale {
namespace Velmora {
namespace Resource {

class IResource;

// Body of a stop worker "ResStopper": runs the resource's StopRes once.
// Its executor deletes it.
class ResourceStopper : public Framework::AsyncExecutable {
 public:
  // retryPauseMs: pause when the resource still runs afterwards.
  ResourceStopper(IResource* resource, long retryPauseMs);

  int Run() override;
  // Sets the stop flag and cuts the pause short.
  void CallStop() override;

 private:
  IResource* _resource;
  long _retryPauseMs;
  Framework::Semaphore _wake;
};

}  // namespace Resource
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
