#ifndef TARROW_FRAMEWORK_FRAMEREADER_H
#define TARROW_FRAMEWORK_FRAMEREADER_H

// Buffered reader of stop-byte-terminated texts from a stream (the NUL that
// ends a protocol frame, the LF that ends a mail server's line).
//
// It reads the stream in large chunks through a caller-supplied function and
// hands out one text at a time: the bytes before the next stop byte, without
// it. Bytes after that stop byte stay buffered for the next call and are
// never handed out as part of the current text, so the wire behaviour is
// exactly that of reading one byte at a time, with far fewer system calls.
// One reader belongs to one stream and is used by one thread at a time.
//
// Usage:
//   FrameReader reader(FrameReader::TCP_TEXT_LIMIT);
//   std::string text = reader.ReadFrame([&](char* buf, size_t cap) { return <read up to cap bytes, >= 1>; });

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "framework/NonCopyable.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

class FrameReader : NonCopyable {
 public:
  // Longest frame text a TCP peer may send: the 16368th byte without a NUL
  // fails the read.
  static constexpr size_t TCP_TEXT_LIMIT = 16367;

  // Stores up to capacity bytes at buffer and answers how many (at least 1),
  // blocking until some arrive; throws Exception* when the stream fails or
  // ends. A 0 answer is taken as the end of the stream.
  using ReadSome = std::function<size_t(char* buffer, size_t capacity)>;

  // limit: the longest accepted text; 0 = no limit.
  explicit FrameReader(size_t limit = 0);

  // The next text before stop. Throws Exception* "IO", "封包太大！" when
  // limit+1 bytes arrive without the stop byte, Exception* "IO" when readSome
  // answers 0, and passes on whatever readSome throws.
  std::string ReadUntil(char stop, const ReadSome& readSome);
  // ReadUntil('\0'): one frame text.
  std::string ReadFrame(const ReadSome& readSome) { return ReadUntil('\0', readSome); }

  // Moves up to length buffered bytes to buffer; answers how many (0 when
  // nothing is buffered).
  size_t TakeBuffered(char* buffer, size_t length);
  // Drops everything buffered.
  void Clear();

  // Bytes received but not yet handed out.
  size_t Buffered() const { return _end - _begin; }

 private:
  void _MakeRoom();

  const size_t _limit;
  std::unique_ptr<char[]> _buffer;
  size_t _capacity;
  size_t _begin = 0;    // first byte not yet handed out
  size_t _end = 0;      // one past the last byte received
  size_t _scanned = 0;  // bytes after _begin already known to hold no _scannedFor
  char _scannedFor = '\0';
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
