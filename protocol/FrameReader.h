#ifndef TARROW_PROTOCOL_FRAMEREADER_H
#define TARROW_PROTOCOL_FRAMEREADER_H

// Buffered frame reader for stream transports (TCP, serial line).
//
// It reads the stream in large chunks through a caller-supplied function and
// hands out one frame text at a time: the bytes before the next NUL, without
// the NUL. Bytes after that NUL stay buffered for the next call and are never
// handed out as part of the current frame, so the wire behaviour is exactly
// that of reading one byte at a time up to the NUL, with far fewer system
// calls. One reader belongs to one stream and is used by one thread (the
// connection's receive thread).
//
// Usage (TCP):
//   FrameReader reader(FrameReader::TCP_TEXT_LIMIT);
//   std::string text = reader.ReadFrame([&](char* buf, size_t cap) { return <read up to cap bytes, >= 1>; });
//   OXPack* pack = OXPack::Parse(std::move(text));   // null: fewer than five fields, read again

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "framework/NonCopyable.h"

namespace Oxbrindale {
namespace Velmora {
namespace OXProctol {

class FrameReader : Framework::NonCopyable {
 public:
  // Longest frame text a TCP peer may send: the 16368th byte without a NUL
  // fails the read.
  static constexpr size_t TCP_TEXT_LIMIT = 16367;

  // Stores up to capacity bytes at buffer and answers how many (at least 1),
  // blocking until some arrive; throws Exception* when the stream fails or
  // ends. A 0 answer is taken as the end of the stream.
  using ReadSome = std::function<size_t(char* buffer, size_t capacity)>;

  // limit: the longest accepted frame text; 0 = no limit.
  explicit FrameReader(size_t limit = 0);

  // The next frame text. Throws Exception* "IO", "封包太大！" when limit+1
  // bytes arrive without a NUL, Exception* "IO" when readSome answers 0, and
  // passes on whatever readSome throws.
  std::string ReadFrame(const ReadSome& readSome);

  // Bytes received but not yet handed out.
  size_t Buffered() const { return _end - _begin; }

 private:
  void _MakeRoom();

  const size_t _limit;
  std::unique_ptr<char[]> _buffer;
  size_t _capacity;
  size_t _begin = 0;    // first byte not yet handed out
  size_t _end = 0;      // one past the last byte received
  size_t _scanned = 0;  // bytes after _begin already known to hold no NUL
};

}  // namespace OXProctol
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
