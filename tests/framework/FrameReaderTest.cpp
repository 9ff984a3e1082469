#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "framework/Exception.h"
#include "framework/FrameReader.h"
#include "support/Thrown.h"

using Oxbrindale::Velmora::Framework::FrameReader;
using tarrow_test::ThrownCode;

namespace {


}  // namespace

namespace {

// Hands out the bytes of a fixed stream in chunks of the given sizes (cycled);
// throws "IO" at the end.
class ChunkSource {
 public:
  ChunkSource(std::string data, std::vector<size_t> chunks) : data_(std::move(data)), chunks_(std::move(chunks)) {}

  size_t operator()(char* buffer, size_t capacity) {
    if (offset_ == data_.size()) throw new Exception("IO", "end of test stream");
    size_t n = chunks_[calls_++ % chunks_.size()];
    n = std::min({n, capacity, data_.size() - offset_});
    std::copy(data_.begin() + offset_, data_.begin() + offset_ + n, buffer);
    offset_ += n;
    return n;
  }
  size_t calls() const { return calls_; }

 private:
  std::string data_;
  std::vector<size_t> chunks_;
  size_t offset_ = 0;
  size_t calls_ = 0;
};

std::string Nul(const std::string& text) { return text + std::string(1, '\0'); }

}  // namespace

TEST(FrameReader, CutsFramesWhateverTheChunks) {
  const std::vector<std::string> frames = {"first", "", "third\nwith\nlines", std::string(5000, 'q'), "last"};
  std::string stream;
  for (const std::string& f : frames) stream += Nul(f);
  for (const std::vector<size_t>& chunks :
       std::vector<std::vector<size_t>>{{1}, {2, 7}, {3, 1, 4096}, {100000}, {5, 6, 1}}) {
    ChunkSource source(stream, chunks);
    FrameReader reader(FrameReader::TCP_TEXT_LIMIT);
    for (const std::string& expected : frames) EXPECT_EQ(expected, reader.ReadFrame(std::ref(source)));
    EXPECT_EQ(0u, reader.Buffered());
    EXPECT_EQ("IO", ThrownCode([&] { reader.ReadFrame(std::ref(source)); }));
  }
}

TEST(FrameReader, ReadsAheadButHandsOutOneFrameAtATime) {
  ChunkSource source(Nul("a") + Nul("b") + "c-partial", {1000});
  FrameReader reader(FrameReader::TCP_TEXT_LIMIT);
  EXPECT_EQ("a", reader.ReadFrame(std::ref(source)));
  EXPECT_EQ(1u, source.calls());  // everything came in one read
  EXPECT_EQ(std::string("b\0c-partial", 11).size(), reader.Buffered());
  EXPECT_EQ("b", reader.ReadFrame(std::ref(source)));
  EXPECT_EQ(1u, source.calls());
  EXPECT_EQ("IO", ThrownCode([&] { reader.ReadFrame(std::ref(source)); }));
}

TEST(FrameReader, TcpSizeLimit) {
  const std::string longest(FrameReader::TCP_TEXT_LIMIT, 'x');  // 16367 bytes, then NUL: accepted
  for (size_t chunk : {size_t(1) << 20, size_t(4096), size_t(1)}) {
    ChunkSource source(Nul(longest) + Nul("next"), {chunk});
    FrameReader reader(FrameReader::TCP_TEXT_LIMIT);
    EXPECT_EQ(longest, reader.ReadFrame(std::ref(source)));
    EXPECT_EQ("next", reader.ReadFrame(std::ref(source)));
  }
  for (size_t chunk : {size_t(1) << 20, size_t(4096), size_t(1)}) {
    // 16368 bytes without NUL: fails, even though a NUL follows.
    ChunkSource source(Nul("ok") + Nul(longest + "y"), {chunk});
    FrameReader reader(FrameReader::TCP_TEXT_LIMIT);
    EXPECT_EQ("ok", reader.ReadFrame(std::ref(source)));
    try {
      reader.ReadFrame(std::ref(source));
      ADD_FAILURE() << "oversized frame accepted";
    } catch (Exception* e) {
      EXPECT_EQ("IO", e->code);
      EXPECT_EQ("封包太大！", e->message);
      delete e;
    }
  }
}

TEST(FrameReader, UnlimitedReaderGrowsAndZeroReadEndsTheStream) {
  const std::string big(200000, 'z');
  ChunkSource source(Nul(big), {7000});
  FrameReader reader;
  EXPECT_EQ(big, reader.ReadFrame(std::ref(source)));

  FrameReader closed;
  EXPECT_EQ("IO", ThrownCode([&] { closed.ReadFrame([](char*, size_t) { return size_t(0); }); }));
}

TEST(FrameReader, OtherStopBytesAndBufferedBytesHandedOutRaw) {
  ChunkSource source("250-one\r\n250 two\r\nraw", {1000});
  FrameReader reader(FrameReader::TCP_TEXT_LIMIT);
  // A NUL search that scanned everything without a hit must not hide the
  // line ends from the next search.
  EXPECT_EQ("IO", ThrownCode([&] { reader.ReadFrame(std::ref(source)); }));
  EXPECT_EQ("250-one\r", reader.ReadUntil('\n', std::ref(source)));
  EXPECT_EQ("250 two\r", reader.ReadUntil('\n', std::ref(source)));
  char buffer[2];
  EXPECT_EQ(2u, reader.TakeBuffered(buffer, sizeof buffer));
  EXPECT_EQ("ra", std::string(buffer, 2));
  EXPECT_EQ(1u, reader.Buffered());
  reader.Clear();
  EXPECT_EQ(0u, reader.TakeBuffered(buffer, sizeof buffer));
}
