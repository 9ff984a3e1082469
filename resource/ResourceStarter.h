#ifndef TARROW_RESOURCE_RESOURCESTARTER_H
#define TARROW_RESOURCE_RESOURCESTARTER_H

#include <atomic>

#include "framework/AsyncExecutable.h"
#include "framework/Semaphore.h"

namespace Oxbrindale {
namespace Velmora {
namespace Resource {

class IResource;

// Body of a start worker "ResStarter": runs the resource's StartRes once.
// Its executor deletes it.
class ResourceStarter : public Framework::AsyncExecutable {
 public:
  // retryPauseMs: pause when the resource does not run afterwards;
  // vetoPauseMs: pause after a veto ("MUST_FAILURE").
  ResourceStarter(IResource* resource, long retryPauseMs, long vetoPauseMs);

  int Run() override;
  // Sets the stop flag and cuts a pause short.
  void CallStop() override;

  // StartRes threw "MUST_FAILURE": the start must not be tried again.
  bool IsVetoed() const { return _veto.load(); }

 private:
  IResource* _resource;
  long _retryPauseMs;
  long _vetoPauseMs;
  std::atomic<bool> _veto{false};
  Framework::Semaphore _wake;
};

}  // namespace Resource
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
