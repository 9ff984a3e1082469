#include "framework/FrameReader.h"

#include <algorithm>
#include <cstring>

#include "framework/Exception.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

namespace {

const size_t CHUNK = 16384;

}  // namespace

FrameReader::FrameReader(size_t limit)
    : _limit(limit), _capacity(limit == 0 || limit + 1 < CHUNK ? CHUNK : limit + 1) {
  _buffer.reset(new char[_capacity]);
}

void FrameReader::_MakeRoom() {
  if (_end < _capacity) return;
  if (_begin > 0) {
    std::memmove(_buffer.get(), _buffer.get() + _begin, _end - _begin);
    _end -= _begin;
    _begin = 0;
    return;
  }
  // Only without a limit: a limited reader has failed before its buffer of
  // limit+1 bytes is full of one frame.
  const size_t grown = _capacity * 2;
  std::unique_ptr<char[]> bigger(new char[grown]);
  std::memcpy(bigger.get(), _buffer.get(), _end);
  _buffer.swap(bigger);
  _capacity = grown;
}

std::string FrameReader::ReadUntil(char stop, const ReadSome& readSome) {
  if (stop != _scannedFor) {
    _scanned = 0;
    _scannedFor = stop;
  }
  for (;;) {
    const size_t available = _end - _begin;
    const size_t searchable = (_limit != 0 && available > _limit + 1) ? _limit + 1 : available;
    if (searchable > _scanned) {
      const char* start = _buffer.get() + _begin;
      const void* hit = std::memchr(start + _scanned, stop, searchable - _scanned);
      if (hit != nullptr) {
        const size_t length = static_cast<size_t>(static_cast<const char*>(hit) - start);
        std::string text(start, length);
        _begin += length + 1;
        _scanned = 0;
        if (_begin == _end) _begin = _end = 0;
        return text;
      }
      _scanned = searchable;
    }
    if (_limit != 0 && available > _limit) throw new Exception("IO", "封包太大！");
    _MakeRoom();
    const size_t room = _capacity - _end;
    const size_t got = readSome(_buffer.get() + _end, room);
    if (got == 0) throw new Exception("IO", "连接已经关闭！");
    _end += got > room ? room : got;
  }
}

size_t FrameReader::TakeBuffered(char* buffer, size_t length) {
  const size_t n = std::min(length, _end - _begin);
  std::memcpy(buffer, _buffer.get() + _begin, n);
  _begin += n;
  _scanned = _scanned > n ? _scanned - n : 0;
  if (_begin == _end) _begin = _end = 0;
  return n;
}

void FrameReader::Clear() { _begin = _end = _scanned = 0; }

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
