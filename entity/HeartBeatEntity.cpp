#include "entity/HeartBeatEntity.h"

#include <memory>
#include <sstream>

#include "config/HeartBeatLinkConfig.h"

namespace Oxbrindale {
namespace Velmora {
namespace Entity {

using Config::HeartBeatLinkConfig;

HeartBeatEntity::HeartBeatEntity(HeartBeatLinkConfig* config)
    : _borrowed(true), _config(config), _linkStatu(65535), _continuousFailures(65535), _totalFailures(0) {}

HeartBeatEntity::HeartBeatEntity(std::vector<std::string>* lines, unsigned* index)
    : _borrowed(false), _config(nullptr), _linkStatu(65535), _continuousFailures(65535), _totalFailures(0) {
  std::unique_ptr<HeartBeatLinkConfig> config(new HeartBeatLinkConfig(lines, index));
  _linkStatu = static_cast<uint16_t>(_ReadNumber(MoveAndGet(lines, index)));
  _continuousFailures = static_cast<uint16_t>(_ReadNumber(MoveAndGet(lines, index)));
  _totalFailures = static_cast<uint32_t>(_ReadNumber(MoveAndGet(lines, index)));
  _config = config.release();
}

HeartBeatEntity::~HeartBeatEntity() {
  if (!_borrowed) delete _config;
}

std::string HeartBeatEntity::ToString() {
  std::ostringstream out;
  out << _config->ToString() << '\n' << _linkStatu << '\n' << _continuousFailures << '\n' << _totalFailures;
  return out.str();
}

}  // namespace Entity
}  // namespace Velmora
}  // namespace Oxbrindale
