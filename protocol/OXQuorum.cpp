#include "protocol/OXQuorum.h"

#include <unistd.h>

#include <cstring>
#include <utility>
#include <vector>

#include "framework/Env.h"
#include "framework/Exception.h"
#include "framework/MutexGuard.h"
#include "framework/Sleep.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

namespace {

// Handshake byte values at absolute byte 0.
const char HOST_WAITING = 0;
const char OTHER_PRESENT = 1;
const char HOST_SAW_OTHER = 2;
const char OTHER_CONFIRMED = 3;

// Buffer size of the handshake and of Close (at most 2048 bytes move).
const unsigned long SMALL_BUFFER = 24576;

uint32_t ReadLength(const char* at) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(at);
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

void WriteLength(char* at, uint32_t length) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<char>((length >> (8 * i)) & 0xff);
}

unsigned long RoundToSectors(unsigned long length) {
  return (length + OXQuorum::SECTOR - 1) / OXQuorum::SECTOR * OXQuorum::SECTOR;
}

// A page-aligned working buffer of the given size, zeroed, on the heap.
class WorkBuffer {
 public:
  WorkBuffer(OXQuorum* quorum, unsigned long size) : _storage(size + static_cast<unsigned long>(::getpagesize()), 0) {
    unsigned long offset = 0;
    _data = quorum->GetAlignedPointer(_storage.data(), &offset);
  }
  char* Data() { return _data; }

 private:
  std::vector<char> _storage;
  char* _data;
};

}  // namespace

OXQuorum::OXQuorum(std::string devicePath) : _pageSize(::getpagesize()), _devicePath(std::move(devicePath)) {}

OXQuorum::~OXQuorum() { Close(); }

void OXQuorum::Init(std::string devicePath) {
  Close();
  _devicePath = std::move(devicePath);
}

bool OXQuorum::IsOpened() { return _disk.IsOpened(); }

char* OXQuorum::GetAlignedPointer(char* buffer, unsigned long* offset) {
  const unsigned long page = static_cast<unsigned long>(_pageSize);
  const unsigned long remainder = reinterpret_cast<uintptr_t>(buffer) % page;
  if (offset != nullptr) *offset = remainder;
  return buffer + page - remainder;
}

bool OXQuorum::Open(bool hostSide) {
  if (!_disk.Open(_devicePath)) return false;
  _hostSide = hostSide;
  _areaBase = hostSide ? 0 : AREA_SIZE;
  return hostSide ? _OpenHostSide() : _OpenSlaveSide();
}

void OXQuorum::Close() {
  MutexGuard guard(_closeMutex);
  if (!_disk.IsOpened()) return;
  WorkBuffer buffer(this, SMALL_BUFFER);
  _WriteByeFlag(buffer.Data());
  _disk.Close();
}

bool OXQuorum::_ClearCmdArea(char* buffer) {
  std::memset(buffer, 0, CMD_AREA);
  return _disk.Write(buffer, _GetOffset(0), CMD_AREA) == CMD_AREA;
}

bool OXQuorum::_WriteByeFlag(char* buffer) {
  std::memset(buffer, 0, SECTOR);
  buffer[0] = 1;
  return _disk.Write(buffer, _GetOffset(BYE_OFFSET), SECTOR) == SECTOR;
}

std::string OXQuorum::_LastError() {
  int code = 0;
  std::string text;
  _disk.GetLastError(code, text);
  return "(" + std::to_string(code) + ")(" + text + ")";
}

bool OXQuorum::_HostHandshakeStep(char* sector, char mark, char awaited) {
  const long long start = Framework::Env::Get()->WaitClockMs();
  sector[0] = mark;
  if (_disk.Write(sector, 0, SECTOR) != SECTOR) return false;
  for (;;) {
    if (_disk.Read(sector, 0, SECTOR) != SECTOR) return false;
    if (sector[0] == awaited) return true;
    if (sector[0] != mark || Framework::Env::Get()->WaitClockMs() - start > LIMIT_MS) return false;
    Sleep(HANDSHAKE_POLL_MS);
  }
}

bool OXQuorum::_OpenHostSide() {
  WorkBuffer work(this, SMALL_BUFFER);
  char* sector = work.Data();
  // Wait for the other side to appear; then tell it we saw it, and wait for
  // its confirmation.
  if (!_HostHandshakeStep(sector, HOST_WAITING, OTHER_PRESENT) ||
      !_HostHandshakeStep(sector, HOST_SAW_OTHER, OTHER_CONFIRMED) || !_ClearCmdArea(sector)) {
    Close();
    return false;
  }
  Sleep(1000);
  return _disk.IsOpened();
}

bool OXQuorum::_OpenSlaveSide() {
  const long long t0 = Framework::Env::Get()->WaitClockMs();
  WorkBuffer work(this, SMALL_BUFFER);
  char* sector = work.Data();
  sector[0] = OTHER_PRESENT;
  for (;;) {
    if (_disk.Write(sector, 0, SECTOR) != SECTOR) {
      Close();
      return false;
    }
    bool rewrite = false;
    for (;;) {
      if (_disk.Read(sector, 0, SECTOR) != SECTOR) {
        Close();
        return false;
      }
      if (sector[0] == HOST_SAW_OTHER) break;
      // Whether the host has not seen us yet or has overwritten our mark
      // (it starts by writing 0), the wait is bounded all the same.
      if (Framework::Env::Get()->WaitClockMs() - t0 > LIMIT_MS) {
        Close();
        return false;
      }
      if (sector[0] != OTHER_PRESENT) {
        rewrite = true;  // mark again at once
        break;
      }
      Sleep(HANDSHAKE_POLL_MS);
    }
    if (!rewrite) break;
    sector[0] = OTHER_PRESENT;
  }
  // Confirm: zero our command area, then the handshake byte 3 with 2047 zero
  // bytes, which also clears the host's marker, bye and mailbox sectors.
  std::memset(sector, 0, CMD_AREA);
  _disk.Write(sector, _GetOffset(0), CMD_AREA);
  sector[0] = OTHER_CONFIRMED;
  if (_disk.Write(sector, 0, CMD_AREA) != CMD_AREA) {
    Close();
    return false;
  }
  if (!_ClearCmdArea(sector)) {
    Close();
    return false;
  }
  Sleep(1000);
  return _disk.IsOpened();
}

void OXQuorum::Send(const char* data, unsigned long length) {
  if (length > MAX_SEND_LENGTH) throw new Exception("CON_ERR", "Buffer is to big!");
  if (!_disk.IsOpened()) throw new Exception("SOCKET_DISCONNECTED", "quorum virtual connection is closed!");
  WorkBuffer work(this, WORK_BUFFER);
  char* buffer = work.Data();

  // Wait until the own mailbox is free.
  for (;;) {
    if (_disk.Read(buffer, _GetOffset(0), CMD_AREA) != CMD_AREA) {
      const std::string error = _LastError();
      Close();
      throw new Exception("CON_ERR", "write file fail" + error + ",, send failure!");
    }
    if (buffer[MAILBOX_OFFSET] != 1) break;
    Sleep(_pollMs.load());
  }

  const unsigned long rounded = RoundToSectors(length);
  if (rounded > WORK_BUFFER) {
    Close();
    throw new Exception("BUFF_OVER", "buffer overflow");
  }
  std::memset(buffer, 0, rounded);
  std::memcpy(buffer, data, length);
  if (rounded > 0 && _disk.Write(buffer, _GetOffset(DATA_OFFSET), rounded) != rounded) {
    Close();
    throw new Exception("BUFF_OVER", "read data from quorum failure!");
  }
  // The data is on the disk before the flag that announces it.
  buffer[0] = 1;
  _disk.Write(buffer, _GetOffset(MARKER_OFFSET), SECTOR);
  buffer[0] = 1;
  WriteLength(buffer + 4, static_cast<uint32_t>(length));
  if (_disk.Write(buffer, _GetOffset(MAILBOX_OFFSET), SECTOR) != SECTOR) {
    Close();
    throw new Exception("CON_ERR", "the file is closed, send failure!");
  }

  // Wait for the acknowledgement: the peer zeroes our mailbox sector.
  const long long t = Framework::Env::Get()->WaitClockMs();
  for (;;) {
    if (_disk.Read(buffer, _GetOffset(MAILBOX_OFFSET), SECTOR) != SECTOR) {
      Close();
      throw new Exception("CON_ERR", "the file is closed, send failure!");
    }
    if (buffer[0] == 0) return;
    if (Framework::Env::Get()->WaitClockMs() - t > LIMIT_MS) {
      buffer[0] = 0;
      buffer[1] = 0;
      _disk.Write(buffer, _GetOffset(MAILBOX_OFFSET), SECTOR);  // withdraw the message
      Close();
      throw new Exception("CON_TIMEOUT", "send timeout!");
    }
    Sleep(_pollMs.load());
  }
}

unsigned long OXQuorum::Receive(char* buffer, unsigned long size) {
  if (!_disk.IsOpened()) throw new Exception("CON_ERR", "quorum virtual connection is closed!");
  WorkBuffer work(this, WORK_BUFFER);
  char* area = work.Data();
  const uint32_t peerBase = _hostSide ? AREA_SIZE : 0;

  // A waiting message is taken before a bye flag is noticed.
  for (;;) {
    if (_disk.Read(area, peerBase, CMD_AREA) != CMD_AREA) {
      const std::string error = _LastError();
      Close();
      throw new Exception("CON_ERR", "read file fail" + error + ", send failure!");
    }
    if (area[MAILBOX_OFFSET] == 1) break;
    if (area[BYE_OFFSET] == 1) {
      Close();
      throw new Exception("CON_ERR", "remote disconnect this connection!");
    }
    Sleep(_pollMs.load());
  }

  const unsigned long length = ReadLength(area + MAILBOX_OFFSET + 4);
  if (length > size) {
    Close();
    throw new Exception("BUFF_OVER", "buffer is too small!" + std::to_string(size) + "," + std::to_string(length));
  }
  const unsigned long rounded = RoundToSectors(length);
  if (rounded > WORK_BUFFER) {
    Close();
    throw new Exception("BUFF_OVER", "buffer overflow");
  }
  if (rounded > 0 && _disk.Read(area, peerBase + DATA_OFFSET, rounded) != rounded) {
    Close();
    throw new Exception("BUFF_OVER", "read data from quorum failure!");
  }
  std::memcpy(buffer, area, length);
  // The acknowledgement: the peer's mailbox sector becomes all zeros. When it
  // cannot be written the flag stays up and the next look would take the
  // same message again: this one is handed out, then the link closes.
  std::memset(area, 0, SECTOR);
  if (_disk.Write(area, peerBase + MAILBOX_OFFSET, SECTOR) != SECTOR) Close();
  return length;
}

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
