#ifndef TARROW_ENTITY_DRBDRTDATAENTITY_H
#define TARROW_ENTITY_DRBDRTDATAENTITY_H

#include <cstdint>
#include <string>

#include "entity/IEntity.h"

namespace Oxbrindale {
namespace Velmora {
namespace Entity {

// Run-time data of one DRBD device as read from /proc/drbd. A plain value:
// the DRBD helper keeps one per device minor and hands out copies. Its text
// is one line, the fifteen numbers joined by '|'.
class DrbdRtDataEntity : public IEntity {
 public:
  DrbdRtDataEntity() = default;
  DrbdRtDataEntity(const DrbdRtDataEntity&) = default;
  DrbdRtDataEntity& operator=(const DrbdRtDataEntity&) = default;
  ~DrbdRtDataEntity() override = default;

  std::string ToString() override;

  uint32_t minor = 0;         // device minor number
  uint32_t connected = 0;     // connection code derived from the cs: field
  uint32_t diskState = 0;     // local disk state code (ds: before the '/')
  uint32_t primary = 0;       // 1 when the local role is Primary
  uint64_t bytesRead = 0;     // dr: * 1024
  uint64_t bytesWritten = 0;  // dw: * 1024
  uint64_t outOfSync = 0;     // oos: * 1024, or the resync total while syncing
  uint32_t syncing = 0;       // 1 while a resynchronisation runs
  uint64_t resynced = 0;      // bytes resynchronised so far
  uint64_t syncSpeed = 0;     // bytes per second of the resynchronisation
  uint64_t writeRate = 0;     // bytes written per second since the last sample
  uint64_t readRate = 0;      // bytes read per second since the last sample
  uint64_t lastSampleTick = 0;     // millisecond tick of the last rate sample
  uint64_t lastBytesRead = 0;      // bytes read at the last sample
  uint64_t lastBytesWritten = 0;   // bytes written at the last sample
  bool standalone = false;    // from the connection field; not in the text
};

}  // namespace Entity
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
