#include "resource/ResourceStopper.h"

#include "framework/Exception.h"
#include "resource/IResource.h"
#include "resource/ResourceEvents.h"

namespace Oxbrindale {
namespace Velmora {
namespace Resource {

ResourceStopper::ResourceStopper(IResource* resource, long retryPauseMs)
    : _resource(resource), _retryPauseMs(retryPauseMs) {}

int ResourceStopper::Run() {
  try {
    _resource->StopRes();
    if (_resource->TestRes() && !IsStopping()) _wake.TimedWait(_retryPauseMs);
  } catch (Exception* e) {
    ResourceEvents::Post("DEBUG", "停止资源发生错误：" + e->message + "，异常编号：" + e->code);
    delete e;
  }
  return 0;
}

void ResourceStopper::CallStop() {
  AsyncExecutable::CallStop();
  _wake.Post();
}

}  // namespace Resource
}  // namespace Velmora
}  // namespace Oxbrindale
