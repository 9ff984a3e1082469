#include "resource/ResourceStarter.h"

#include "framework/Exception.h"
#include "resource/IResource.h"
#include "resource/ResourceEvents.h"

namespace Oxbrindale {
namespace Velmora {
namespace Resource {

ResourceStarter::ResourceStarter(IResource* resource, long retryPauseMs, long vetoPauseMs)
    : _resource(resource), _retryPauseMs(retryPauseMs), _vetoPauseMs(vetoPauseMs) {}

int ResourceStarter::Run() {
  try {
    _resource->StartRes();
    if (!_resource->TestRes() && !IsStopping()) _wake.TimedWait(_retryPauseMs);
  } catch (Exception* e) {
    if (e->code == "MUST_FAILURE") {
      _veto.store(true);
      delete e;
      if (!IsStopping()) _wake.TimedWait(_vetoPauseMs);
    } else {
      ResourceEvents::Post("DEBUG", "启动资源发生错误：" + e->message + "，异常编号：" + e->code);
      delete e;
    }
  }
  return 0;
}

void ResourceStarter::CallStop() {
  AsyncExecutable::CallStop();
  _wake.Post();
}

}  // namespace Resource
}  // namespace Velmora
}  // namespace Oxbrindale
