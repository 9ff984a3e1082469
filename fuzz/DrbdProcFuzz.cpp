// libFuzzer target for the /proc/drbd reader: arbitrary text goes through
// the runtime table twice, the way consecutive reads of the status file do.
//
// Input: bytes 0-3 and 4-7 are the millisecond ticks of the two refreshes
// (little-endian, signed, as the wrapping tick gives them); the rest is cut
// at its first NUL byte into the text of the first and of the second read
// (the whole rest twice when it holds none). Every record read back must
// sit in the slot of its own device number, and the list text must name
// exactly the records that are there.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "entity/DrbdRtDataEntity.h"
#include "storage/DrbdRtDataTable.h"

using Oxbrindale::Velmora::Entity::DrbdRtDataEntity;
using Oxbrindale::Velmora::Framework::DrbdRtDataTable;

namespace {

int64_t Tick(const uint8_t* data) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | data[i];
  return static_cast<int64_t>(static_cast<int32_t>(value));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8) return 0;
  const int64_t first = Tick(data);
  const int64_t second = Tick(data + 4);
  const std::string rest(reinterpret_cast<const char*>(data + 8), size - 8);
  const std::string::size_type cut = rest.find('\0');
  const std::string textA = cut == std::string::npos ? rest : rest.substr(0, cut);
  const std::string textB = cut == std::string::npos ? rest : rest.substr(cut + 1);

  DrbdRtDataTable table;
  table.Refresh(textA, first);
  table.Refresh(textB, second);

  size_t records = 0;
  for (unsigned long device = 0; device < DrbdRtDataTable::kSlots + 2; ++device) {
    DrbdRtDataEntity record;
    if (!table.Get(device, record)) continue;
    if (device >= DrbdRtDataTable::kSlots || record.minor != device) abort();
    if (record.syncing > 1 || record.primary > 1 || record.connected > 1 || record.diskState > 8) abort();
    ++records;
  }
  const std::string list = table.ListString();
  size_t lines = list.empty() ? 0 : 1;
  for (char c : list) lines += c == '\n' ? 1 : 0;
  if (lines != records) abort();
  return 0;
}
