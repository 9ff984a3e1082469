#include "storage/DrbdRtDataTable.h"

#include "framework/Convert.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

using Entity::DrbdRtDataEntity;

namespace {

const char* const kDiskStates[] = {"Diskless", "Attaching", "Failed",     "Negotiating", "Inconsistent",
                                   "Outdated", "DUnknown",  "Consistent", "UpToDate"};
const short kUnknownDiskState = 6;

const char* const kConnectedStates[] = {"WFReportParams", "Connected",   "StartingSyncS", "StartingSyncT", "WFBitMapS",
                                        "WFBitMapT",      "WFSyncUUID",  "SyncSource",    "SyncTarget",    "PausedSyncS",
                                        "PausedSyncT",    "VerifyS",     "VerifyT"};

bool _Has(const std::string& line, const char* key) { return line.find(key) != std::string::npos; }

// Bytes per second of the growth from before to now over elapsedMs.
uint64_t _Rate(uint64_t now, uint64_t before, uint64_t elapsedMs) {
  if (now < before) return 0;  // counters started again
  const double rate = static_cast<double>(now - before) / (static_cast<double>(elapsedMs) / 1000.0);
  if (rate >= 18446744073709551616.0) return UINT64_MAX;
  return static_cast<uint64_t>(rate);
}

}  // namespace

DrbdRtDataTable::DrbdRtDataTable() {
  for (unsigned long i = 0; i < kSlots; ++i) _slots[i] = nullptr;
}

DrbdRtDataTable::~DrbdRtDataTable() {
  for (unsigned long i = 0; i < kSlots; ++i) delete _slots[i];
}

std::string DrbdRtDataTable::_ReadUtilMeet(const std::string& text, const std::string& key, char stop) {
  std::string::size_type at = text.find(key);
  if (at == std::string::npos) return "";
  at += key.size();
  std::string::size_type end = text.find(stop, at);
  return text.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

bool DrbdRtDataTable::_GetIsPrimary(const std::string& line) {
  const std::string role = _Has(line, "ro:") ? _ReadUtilMeet(line, "ro:", '/') : _ReadUtilMeet(line, "st:", '/');
  return role == "Primary";
}

short DrbdRtDataTable::_GetStatus(const std::string& line) {
  const std::string state = _ReadUtilMeet(line, "ds:", '/');
  for (short code = 0; code < static_cast<short>(sizeof(kDiskStates) / sizeof(kDiskStates[0])); ++code) {
    if (state == kDiskStates[code]) return code;
  }
  return kUnknownDiskState;
}

bool DrbdRtDataTable::_GetIsConnected(const std::string& line) {
  const std::string state = _ReadUtilMeet(line, "cs:", ' ');
  for (const char* connected : kConnectedStates) {
    if (state == connected) return true;
  }
  return false;
}

bool DrbdRtDataTable::_GetIsStandalone(const std::string& line) {
  return _ReadUtilMeet(line, "cs:", ' ') == "StandAlone";
}

int DrbdRtDataTable::_DeviceNumber(const std::string& line) {
  std::string::size_type colon = line.find(':');
  if (colon == std::string::npos) return -1;
  std::string::size_type at = line.find_first_not_of(' ');
  if (at >= colon) return -1;
  int number = 0;
  for (; at < colon; ++at) {
    const char c = line[at];
    if (c < '0' || c > '9') return -1;
    number = number * 10 + (c - '0');
    if (number >= static_cast<int>(kSlots)) return -1;
  }
  return number;
}

uint64_t DrbdRtDataTable::_Number(const std::string& text) {
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return value;
}

void DrbdRtDataTable::Refresh(std::string text, int64_t nowTick) {
  if (text.empty()) return;
  std::vector<std::string> lines = Convert::tokenize(text, "\n", false, "");
  unsigned long index = 0;
  while (index < lines.size()) {
    const std::string& line = lines[index];
    if (_Has(line, "ro:") || _Has(line, "st:")) {
      if (_DeviceNumber(line) < 0) {
        ++index;
        continue;
      }
      _ProcRtDataForCurrentIdx(lines, index, nowTick);
    } else {
      if (_Has(line, "cs:")) {
        const int device = _DeviceNumber(line);
        if (device >= 0 && _slots[device] != nullptr) {
          delete _slots[device];
          _slots[device] = nullptr;
        }
      }
      ++index;
    }
  }
}

void DrbdRtDataTable::_ProcRtDataForCurrentIdx(std::vector<std::string>& lines, unsigned long& index,
                                               int64_t nowTick) {
  const unsigned long i = index;
  if (i + 1 >= lines.size()) {
    index = lines.size();
    return;
  }
  const std::string& line = lines[i];
  const int device = _DeviceNumber(line);
  if (_slots[device] == nullptr) _slots[device] = new DrbdRtDataEntity();
  DrbdRtDataEntity& record = *_slots[device];

  record.minor = static_cast<uint32_t>(device);
  record.connected = _GetIsConnected(line) ? 1 : 0;
  record.standalone = _GetIsStandalone(line);
  record.diskState = static_cast<uint32_t>(_GetStatus(line));
  record.primary = _GetIsPrimary(line) ? 1 : 0;

  const std::string& counters = lines[i + 1];
  record.bytesRead = _Number(_ReadUtilMeet(counters, "dr:", ' ')) * 1024u;
  record.bytesWritten = _Number(_ReadUtilMeet(counters, "dw:", ' ')) * 1024u;
  record.outOfSync = _Number(_ReadUtilMeet(counters, "oos:", ' ')) * 1024u;

  record.syncing = 0;
  if (i + 2 < lines.size() && _Has(lines[i + 2], "[") && _Has(lines[i + 2], "]") && _Has(lines[i + 2], "sync'ed")) {
    record.syncing = 1;
  }
  if (record.syncing == 1 && i + 3 >= lines.size()) record.syncing = 0;
  if (record.syncing == 1) {
    const std::string& progress = lines[i + 2];
    uint64_t toDo = _Number(_ReadUtilMeet(progress, "(", '/'));
    uint64_t total = _Number(_ReadUtilMeet(progress, "/", ')'));
    const std::string unit = _ReadUtilMeet(progress, ")", ' ');
    unsigned shift = 0;
    if (!unit.empty()) {
      if (unit[0] == 'K') shift = 10;
      else if (unit[0] == 'M') shift = 20;
      else if (unit[0] == 'G') shift = 30;
    }
    toDo <<= shift;
    total <<= shift;
    record.outOfSync = total;
    record.resynced = total >= toDo ? total - toDo : 0;
    std::string speed = _ReadUtilMeet(lines[i + 3], "speed: ", ' ');
    std::string digits;
    for (char c : speed) {
      if (c != ',') digits += c;
    }
    record.syncSpeed = _Number(digits) * 1024u;
  }

  const uint64_t now = static_cast<uint64_t>(nowTick);
  const uint64_t elapsed = now - record.lastSampleTick;
  if (elapsed >= kSampleMs) {
    record.readRate = _Rate(record.bytesRead, record.lastBytesRead, elapsed);
    record.writeRate = _Rate(record.bytesWritten, record.lastBytesWritten, elapsed);
    record.lastSampleTick = now;
    record.lastBytesRead = record.bytesRead;
    record.lastBytesWritten = record.bytesWritten;
  }
  index += record.syncing == 1 ? 4 : 2;
}

bool DrbdRtDataTable::Get(unsigned long device, DrbdRtDataEntity& out) const {
  if (device >= kSlots || _slots[device] == nullptr) return false;
  out = *_slots[device];
  return true;
}

std::string DrbdRtDataTable::ListString() const {
  std::string text;
  for (unsigned long i = 0; i < kSlots; ++i) {
    if (_slots[i] == nullptr) continue;
    text += _slots[i]->ToString() + "\n";
  }
  if (!text.empty()) text.erase(text.size() - 1);
  return text;
}

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
