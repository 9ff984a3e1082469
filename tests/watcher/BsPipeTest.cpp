// The pipe contract in-process: the reader's rule of acceptance, and the
// writer's results, on a pipe under a temporary system root.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "framework/BsPipe.h"
#include "framework/MachineController.h"
#include "support/TempDir.h"
#include "support/TestEnv.h"

namespace {

using Oxbrindale::Velmora::Framework::BsPipe;
using Oxbrindale::Velmora::Framework::MachineController;

struct AcceptCase {
  std::string bytes;
  bool accepted;
  std::string name;
};

TEST(BsPipeAccept, ReadersRule) {
  const AcceptCase cases[] = {
      {std::string("BS_NOTIFY\noxbrindale\nr0\0", 24), true, "r0"},
      {std::string("BS_NOTIFY\r\noxbrindale\r\nr0\r\0", 27), true, "r0"},
      {std::string("BS_NOTIFY\noxbrindale\n\0", 22), true, ""},
      {std::string("BS_NOTIFY\noxbrindale\nr0\nmore\0", 29), true, "r0"},
      {std::string("BS_NOTIFY\noxbrindale\nr0\0junk\nx", 31), true, "r0"},
      {std::string("BS_NOTIFY\nOXBRINDALE\nr0\0", 24), false, ""},
      {std::string("BS_NOTIFY\noxbrindale\0", 21), false, ""},
      {std::string("BS_NOTIFZ\noxbrindale\nr0\0", 24), false, ""},
      {std::string("\0BS_NOTIFY\noxbrindale\nr0", 24), false, ""},
      {"", false, ""},
  };
  for (const AcceptCase& c : cases) {
    std::string name = "unchanged";
    EXPECT_EQ(c.accepted, BsPipe::Accept(c.bytes.data(), c.bytes.size(), name)) << c.bytes;
    if (c.accepted) {
      EXPECT_EQ(c.name, name);
    }
  }
  // A read holds at most 255 bytes: the rest of a longer text is not seen.
  std::string longName(300, 'a');
  std::string name;
  ASSERT_TRUE(BsPipe::Accept((std::string("BS_NOTIFY\noxbrindale\n") + longName).c_str(), 321, name));
  EXPECT_EQ(std::string(255 - 21, 'a'), name);
}

class BsPipeWriter : public ::testing::Test {
 protected:
  void SetUp() override {
    MachineController::SetupProcess();  // SIGPIPE ignored, as in the programs
    dir.MakeDir("tmp");
    ASSERT_EQ(dir.File("tmp/ox_bs_watcher"), BsPipe::Path());
    ASSERT_EQ(0, mkfifo(BsPipe::Path().c_str(), 0300));
  }
  tarrow_test::TempDir dir;
  tarrow_test::TestEnv env{dir.Path(), dir.Path().substr(0, dir.Path().size() - 1)};
};

TEST_F(BsPipeWriter, AReaderThatWentAwayIsAWriteFailure) {
  int reader = open(BsPipe::Path().c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  BsPipe pipe;
  ASSERT_EQ(BsPipe::NOTIFY_OK, pipe.Open());
  close(reader);
  EXPECT_EQ(BsPipe::NOTIFY_WRITE_FAILED, pipe.Write("r0"));
}

// The reader closes its end when every writer has gone and opens the pipe
// again. A notice whose reader left after the writer's open goes again, to
// the reader's next open. (The full pipe holds the writer between its open
// and the write that finds no reader.)
TEST_F(BsPipeWriter, ANoticeGoesAgainWhenItsReaderLeftAfterTheOpen) {
  int reader = open(BsPipe::Path().c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  int filler = open(BsPipe::Path().c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(filler, 0);
  const char byte = 'x';
  while (write(filler, &byte, 1) == 1) {
  }
  ASSERT_EQ(EAGAIN, errno);

  BsPipe::Timing timing;
  timing.retryMs = 10;
  std::atomic<int> result{1};
  std::thread writer([&] { result = BsPipe(timing).Notify("r0"); });
  usleep(200000);  // the writer waits for room
  close(reader);
  close(filler);
  usleep(100000);  // its write found no reader
  int next = open(BsPipe::Path().c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(next, 0);
  writer.join();
  EXPECT_EQ(BsPipe::NOTIFY_OK, result.load());
  char buffer[BsPipe::kReadSize];
  const ssize_t n = read(next, buffer, sizeof(buffer));
  close(next);
  EXPECT_EQ(BsPipe::Message("r0"), std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0));
}

TEST_F(BsPipeWriter, NoReaderWithinTheLimit) {
  BsPipe::Timing timing;
  timing.retryMs = 10;
  timing.limitMs = 100;
  BsPipe pipe(timing);
  EXPECT_EQ(BsPipe::NOTIFY_NO_PIPE, pipe.Open());
  EXPECT_EQ(BsPipe::NOTIFY_WRITE_FAILED, pipe.Write("r0"));
}

}  // namespace
