#include "admin/AsyncDeleteHBLMat.h"

#include <utility>

#include "admin/ConsoleEventPoster.h"
#include "config/HeartBeatLinkConfig.h"

namespace Oxbrindale {
namespace Velmora {
namespace Core {

AsyncDeleteHBLMat::AsyncDeleteHBLMat(std::function<void()> destroyLink, Config::HeartBeatLinkConfig* config,
                                     IAdminEvents* events)
    : _destroyLink(std::move(destroyLink)), _config(config), _events(events) {}

AsyncDeleteHBLMat::~AsyncDeleteHBLMat() {
  if (_destroyLink) _destroyLink();
  delete _config;
}

void AsyncDeleteHBLMat::Run() {
  std::function<void()> destroyLink = std::move(_destroyLink);
  _destroyLink = nullptr;
  if (destroyLink) destroyLink();
  delete _config;
  _config = nullptr;
  ConsoleEventPoster::HeartBeatLinkChanged(_events, 4294967295u);
}

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale
