#ifndef TARROW_ENTITY_HEARTBEATENTITY_H
#define TARROW_ENTITY_HEARTBEATENTITY_H

#include <cstdint>
#include <string>
#include <vector>

#include "entity/IEntity.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {
class HeartBeatLinkConfig;
}
namespace Entity {

// State of one heartbeat link. A link builds one per request around its own
// configuration (borrowed); a parsed record owns the configuration it read.
// Text: the link configuration's eight lines, then link status, consecutive
// failures and total failures.
class HeartBeatEntity : public IEntity {
 public:
  explicit HeartBeatEntity(Config::HeartBeatLinkConfig* config);
  HeartBeatEntity(std::vector<std::string>* lines, unsigned* index);
  HeartBeatEntity(const HeartBeatEntity&) = delete;
  HeartBeatEntity& operator=(const HeartBeatEntity&) = delete;
  ~HeartBeatEntity() override;

  std::string ToString() override;

  Config::HeartBeatLinkConfig* GetConfig() { return _config; }
  uint16_t GetLinkStatu() { return _linkStatu; }
  void SetLinkStatu(uint16_t statu) { _linkStatu = statu; }
  uint16_t GetContinuousFailures() { return _continuousFailures; }
  void SetContinuousFailures(uint16_t count) { _continuousFailures = count; }
  uint32_t GetTotalFailures() { return _totalFailures; }
  void SetTotalFailures(uint32_t count) { _totalFailures = count; }

 private:
  bool _borrowed;  // false: the record owns _config
  Config::HeartBeatLinkConfig* _config;
  uint16_t _linkStatu;           // HBL_STATU, 65535 before the link started
  uint16_t _continuousFailures;  // failed beats in a row
  uint32_t _totalFailures;       // failed beats since the link was created
};

}  // namespace Entity
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
