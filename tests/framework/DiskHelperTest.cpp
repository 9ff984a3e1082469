#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "framework/DiskHelper.h"
#include "support/LoopDevice.h"
#include "support/SkipRule.h"
#include "support/TempDir.h"
#include "support/TestEnv.h"

using Oxbrindale::Velmora::Framework::DiskHelper;
using tarrow_test::LoopDevice;
using tarrow_test::TempDir;

namespace {

const uint64_t kMiB = 1024 * 1024;

// A page-aligned buffer, as direct I/O wants.
struct AlignedBuffer {
  explicit AlignedBuffer(size_t size) : size(size) {
    void* p = nullptr;
    if (posix_memalign(&p, 4096, size + 4096) != 0) abort();
    data.reset(static_cast<char*>(p));
    memset(data.get(), 0, size + 4096);
  }
  char* get() { return data.get(); }
  struct Free {
    void operator()(char* p) const { free(p); }
  };
  size_t size;
  std::unique_ptr<char, Free> data;
};

std::string ReadImage(const std::string& image, uint64_t offset, size_t length) {
  std::string out(length, '\0');
  int fd = open(image.c_str(), O_RDONLY);
  if (fd < 0) return "";
  ssize_t n = pread(fd, &out[0], length, static_cast<off_t>(offset));
  close(fd);
  if (n != static_cast<ssize_t>(length)) return "";
  return out;
}

class DiskHelperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!LoopDevice::Supported(&why)) TARROW_SKIP_UNLESS_PRIVILEGED(why);
    image_ = dir_.File("disk.img");
  }

  // A loop device over a fresh zeroed image of bytes bytes.
  std::unique_ptr<LoopDevice> Attach(uint64_t bytes) {
    LoopDevice::CreateImage(image_, bytes);
    auto loop = std::make_unique<LoopDevice>(image_);
    EXPECT_TRUE(loop->Ok()) << loop->Error();
    return loop;
  }

  TempDir dir_;
  std::string image_;
};

}  // namespace

TEST(DiskHelperRefusal, ClosedHandleRefusesTransfersAndReportsWhy) {
  DiskHelper disk;
  EXPECT_FALSE(disk.IsOpened());
  EXPECT_EQ(0, disk.GetLastErrorCode());
  EXPECT_EQ("", disk.GetLastErrorText());

  AlignedBuffer buf(512);
  EXPECT_EQ(0ul, disk.Read(buf.get(), 0, 512));
  EXPECT_EQ(-1, disk.GetLastErrorCode());
  EXPECT_EQ("the disk is not open!", disk.GetLastErrorText());
  EXPECT_EQ(0ul, disk.Write(buf.get(), 0, 512));
  int code = 0;
  std::string text;
  disk.GetLastError(code, text);
  EXPECT_EQ(-1, code);
  EXPECT_EQ("the disk is not open!", text);

  disk.Close();  // harmless when closed
  EXPECT_FALSE(disk.IsOpened());
}

TEST(DiskHelperRefusal, FailedOpenKeepsErrnoAndStaysClosed) {
  TempDir dir;
  DiskHelper disk;
  EXPECT_FALSE(disk.Open(dir.File("no-such-device")));
  EXPECT_FALSE(disk.IsOpened());
  EXPECT_EQ(ENOENT, disk.GetLastErrorCode());
  EXPECT_EQ(strerror(ENOENT), disk.GetLastErrorText());
}

TEST_F(DiskHelperTest, SecondOpenIsRefusedAndTheFirstDeviceStaysUsable) {
  auto loop = Attach(kMiB);
  ASSERT_TRUE(loop->Ok());
  DiskHelper disk;
  ASSERT_TRUE(disk.Open(loop->Path())) << disk.GetLastErrorText();
  EXPECT_FALSE(disk.Open(loop->Path()));
  EXPECT_EQ(-1, disk.GetLastErrorCode());
  EXPECT_EQ("the disk is already open!", disk.GetLastErrorText());
  EXPECT_TRUE(disk.IsOpened());

  AlignedBuffer buf(512);
  memset(buf.get(), 'a', 512);
  EXPECT_EQ(512ul, disk.Write(buf.get(), 4096, 512));
  // A success does not clear the last failure.
  EXPECT_EQ("the disk is already open!", disk.GetLastErrorText());
  disk.Close();
  EXPECT_FALSE(disk.IsOpened());
  EXPECT_EQ(std::string(512, 'a'), ReadImage(image_, 4096, 512));
}

// Two loop devices over one image are two hosts on one shared disk: what one
// writes the other reads at once, although each has its own page cache.
TEST_F(DiskHelperTest, WriteOnOneHostIsReadOnTheOther) {
  auto a = Attach(4 * kMiB);
  ASSERT_TRUE(a->Ok());
  LoopDevice b(image_);
  ASSERT_TRUE(b.Ok()) << b.Error();

  DiskHelper hostA, hostB;
  ASSERT_TRUE(hostA.Open(a->Path()));
  ASSERT_TRUE(hostB.Open(b.Path()));
  AlignedBuffer out(2048), in(2048);
  for (int round = 0; round < 3; ++round) {
    ASSERT_EQ(2048ul, hostB.Read(in.get(), kMiB + 1536, 2048));  // B has read (and may cache) it
    memset(out.get(), 'A' + round, 2048);
    ASSERT_EQ(2048ul, hostA.Write(out.get(), kMiB + 1536, 2048));
    ASSERT_EQ(2048ul, hostB.Read(in.get(), kMiB + 1536, 2048));
    EXPECT_EQ(0, memcmp(out.get(), in.get(), 2048)) << "round " << round;
  }
}

TEST_F(DiskHelperTest, OffsetsBeyondFourGiBReachTheirPlace) {
  const uint64_t offset = (4ull << 30) + 8192;  // past every 32-bit offset
  auto loop = Attach((5ull << 30));             // sparse image
  ASSERT_TRUE(loop->Ok());
  DiskHelper disk;
  ASSERT_TRUE(disk.Open(loop->Path()));
  AlignedBuffer buf(1024);
  memset(buf.get(), 'z', 1024);
  ASSERT_EQ(1024ul, disk.Write(buf.get(), offset, 1024)) << disk.GetLastErrorText();
  AlignedBuffer back(1024);
  ASSERT_EQ(1024ul, disk.Read(back.get(), offset, 1024));
  EXPECT_EQ(0, memcmp(buf.get(), back.get(), 1024));
  disk.Close();
  EXPECT_EQ(std::string(1024, 'z'), ReadImage(image_, offset, 1024));
  EXPECT_EQ(std::string(1024, '\0'), ReadImage(image_, offset & 0xffffffffull, 1024));
}

TEST_F(DiskHelperTest, TransferCutShortByTheEndOfTheDeviceIsAFailure) {
  auto loop = Attach(kMiB);
  ASSERT_TRUE(loop->Ok());
  DiskHelper disk;
  ASSERT_TRUE(disk.Open(loop->Path()));
  AlignedBuffer buf(1024);
  memset(buf.get(), 'q', 1024);

  EXPECT_EQ(0ul, disk.Read(buf.get(), kMiB - 512, 1024));
  EXPECT_EQ(-1, disk.GetLastErrorCode());
  EXPECT_EQ("short read: 512 of 1024 bytes", disk.GetLastErrorText());

  // The write moves its first sector; the rest fails (ENOSPC).
  EXPECT_EQ(0ul, disk.Write(buf.get(), kMiB - 512, 1024));
  EXPECT_NE(0, disk.GetLastErrorCode());

  EXPECT_EQ(0ul, disk.Read(buf.get(), kMiB, 512));
  EXPECT_EQ("short read: 0 of 512 bytes", disk.GetLastErrorText());
}

TEST_F(DiskHelperTest, MisalignedTransferFailsWithTheKernelsError) {
  auto loop = Attach(kMiB);
  ASSERT_TRUE(loop->Ok());
  DiskHelper disk;
  ASSERT_TRUE(disk.Open(loop->Path()));
  AlignedBuffer buf(1024);
  EXPECT_EQ(0ul, disk.Read(buf.get(), 100, 512));  // offset not on a sector
  EXPECT_EQ(EINVAL, disk.GetLastErrorCode());
  EXPECT_EQ(strerror(EINVAL), disk.GetLastErrorText());
  EXPECT_EQ(0ul, disk.Write(buf.get(), 512, 100));  // length not whole sectors
  EXPECT_EQ(EINVAL, disk.GetLastErrorCode());
}

TEST_F(DiskHelperTest, DevicePathIsOpenedThroughTheSystemPathOfTheEnvironment) {
  auto loop = Attach(kMiB);
  ASSERT_TRUE(loop->Ok());
  TempDir root;
  root.MakeDir("dev");
  ASSERT_EQ(0, symlink(loop->Path().c_str(), root.File("dev/quorum").c_str()));
  tarrow_test::TestEnv env(root.Path(), root.Path().substr(0, root.Path().size() - 1));

  DiskHelper disk;
  ASSERT_TRUE(disk.Open("/dev/quorum")) << disk.GetLastErrorText();
  AlignedBuffer buf(512);
  memset(buf.get(), 'm', 512);
  ASSERT_EQ(512ul, disk.Write(buf.get(), 512, 512));
  disk.Close();
  EXPECT_EQ(std::string(512, 'm'), ReadImage(image_, 512, 512));
}

// The descriptor is closed under the handle's mutex: a thread that is still
// reading never reads through a descriptor number that the process has
// already handed to another file.
class DiskHelperConcurrency : public DiskHelperTest {};

TEST_F(DiskHelperConcurrency, CloseNeverLeavesAReaderOnARecycledDescriptor) {
  auto loop = Attach(kMiB);
  ASSERT_TRUE(loop->Ok());
  {
    int fd = open(image_.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    std::string xs(kMiB, 'X');
    ASSERT_EQ(static_cast<ssize_t>(xs.size()), pwrite(fd, xs.data(), xs.size(), 0));
    close(fd);
  }
  const std::string other = dir_.File("other");
  dir_.Write("other", std::string(8192, 'Y'));

  for (int attempt = 0; attempt < 20; ++attempt) {
    DiskHelper disk;
    ASSERT_TRUE(disk.Open(loop->Path()));
    std::atomic<bool> stop{false};
    std::atomic<int> good{0}, foreign{0}, refused{0};
    auto reader = [&] {
      AlignedBuffer buf(512);
      while (!stop.load()) {
        memset(buf.get(), 0, 512);
        if (disk.Read(buf.get(), 512, 512) == 512) {
          if (buf.get()[0] == 'X') {
            good++;
          } else {
            foreign++;
          }
        } else {
          refused++;
        }
      }
    };
    std::thread r1(reader), r2(reader);
    auto waitFor = [](const std::function<bool()>& done) {
      auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      while (!done() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
      return done();
    };
    bool readsWorked = waitFor([&] { return good.load() >= 10; });
    disk.Close();
    int fd = open(other.c_str(), O_RDONLY);  // likely takes the freed number
    bool refusedAfterClose = waitFor([&] { return refused.load() >= 4; });
    stop = true;
    r1.join();
    r2.join();
    if (fd >= 0) close(fd);
    ASSERT_TRUE(readsWorked);
    ASSERT_TRUE(refusedAfterClose);
    EXPECT_EQ(0, foreign.load());
    EXPECT_EQ("the disk is not open!", disk.GetLastErrorText());
  }
}
