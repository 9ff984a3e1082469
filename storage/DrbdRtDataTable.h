#ifndef TARROW_STORAGE_DRBDRTDATATABLE_H
#define TARROW_STORAGE_DRBDRTDATATABLE_H

#include <cstdint>
#include <string>
#include <vector>

#include "entity/DrbdRtDataEntity.h"
#include "framework/NonCopyable.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

// The runtime records of the DRBD devices 0 to 63, as the text of
// /proc/drbd (DRBD 8.3 and 8.4) gives them. Not locked: DrbdHelper holds its
// table under its own lock.
//
// Per device: a device line (" 0: cs:Connected ro:Primary/Secondary
// ds:UpToDate/UpToDate C r-----", the role after "st:" in 8.3), a counters
// line ("ns:.. nr:.. dw:.. dr:.. ... oos:.."), and while a resync runs a
// progress line ("[==>....] sync'ed: 13.5% (1024/1212)M") and a line with
// "speed: 24,192 (..) K/sec". A device line without a role
// ("2: cs:Unconfigured") empties its slot. Counters are KiB; every number
// is read as unsigned decimal digits (a missing one is 0) and computed
// modulo 2^64, so no text makes the arithmetic overflow.
//
// Rates are sampled at most once per 1000 ms of the tick given to Refresh:
// bytes since the last sample divided by the seconds since it; a counter
// below its last sample (the device was attached anew) gives rate 0.
class DrbdRtDataTable : NonCopyable {
 public:
  static const unsigned long kSlots = 64;
  static const uint64_t kSampleMs = 1000;

  DrbdRtDataTable();
  ~DrbdRtDataTable();

  // Brings the table up to the text of /proc/drbd; nowTick: the millisecond
  // tick (Convert::GetTick) of this refresh. An empty text changes nothing.
  void Refresh(std::string text, int64_t nowTick);
  // Copies the record of device into out; false when there is none (out untouched).
  bool Get(unsigned long device, Entity::DrbdRtDataEntity& out) const;
  // The text of every record, slot order, joined by "\n"; "" when none.
  std::string ListString() const;

  // What follows the first key in text up to (not including) the first stop
  // character or the end; "" when key does not occur.
  static std::string _ReadUtilMeet(const std::string& text, const std::string& key, char stop);
  // Role after "ro:" (else "st:") up to '/' is "Primary".
  static bool _GetIsPrimary(const std::string& line);
  // Code of the local disk state after "ds:" up to '/': Diskless 0,
  // Attaching 1, Failed 2, Negotiating 3, Inconsistent 4, Outdated 5,
  // DUnknown 6, Consistent 7, UpToDate 8; anything else 6.
  static short _GetStatus(const std::string& line);
  // Connection state after "cs:" is one of the 13 connected states.
  static bool _GetIsConnected(const std::string& line);
  static bool _GetIsStandalone(const std::string& line);
  // The device number before the first ':' (leading blanks skipped); -1
  // when it is no number or lies outside 0 to 63.
  static int _DeviceNumber(const std::string& line);
  // The leading decimal digits of text (modulo 2^64); 0 when none.
  static uint64_t _Number(const std::string& text);

 private:
  // Parses the record whose device line is lines[index]; advances index past it.
  void _ProcRtDataForCurrentIdx(std::vector<std::string>& lines, unsigned long& index, int64_t nowTick);

  Entity::DrbdRtDataEntity* _slots[kSlots];
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
