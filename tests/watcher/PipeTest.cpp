// "tarrowguard BS_NOTIFY <resource>" as a real process against the pipe in
// its sandbox's own /tmp, played by the test as tarrowd's reader.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/DaemonSandbox.h"
#include "support/SkipRule.h"

namespace {

using tarrow_test::WaitUntil;
using tarrow_test::DaemonSandbox;

const char kPipe[] = "/tmp/ox_bs_watcher";

// What is waiting in a descriptor opened without blocking.
std::string Drain(int fd) {
  std::string bytes;
  char buf[512];
  ssize_t n;
  while ((n = read(fd, buf, sizeof(buf))) > 0) bytes.append(buf, static_cast<size_t>(n));
  return bytes;
}

// The FIFO as tarrowd makes it: root's, mode 0300.
void MakeFifo(const std::string& path) {
  ASSERT_EQ(0, mkfifo(path.c_str(), 0300));
  ASSERT_EQ(0, chmod(path.c_str(), 0300));
}

enum PipeSetUp {
  FIFO_READ,           // tarrowd's FIFO, a reader has it open
  NO_PIPE,             // nothing at the path
  FIFO_UNREAD,         // tarrowd's FIFO, nobody reads it (tarrowd not running)
  REGULAR_FILE,        // a plain file at the path
  FOREIGN_FIFO_READ,   // a FIFO of another owner, read
  LINK_TO_FIFO_READ,   // a symbolic link to a FIFO of root's, read
};

struct PipeCase {
  const char* name;
  PipeSetUp setUp;
  std::vector<std::string> words;
  int status;
  std::string bytes;  // what reaches the reader (or the file)
};

void PrintTo(const PipeCase& c, std::ostream* out) { *out << c.name; }

class PipeTable : public ::testing::TestWithParam<PipeCase> {};

TEST_P(PipeTable, WritesOneNoticeOrRefuses) {
  const PipeCase& c = GetParam();
  DaemonSandbox box(TARROW_GUARD, TARROW_FAKE_TARROWD);
  if (!box.Ready()) TARROW_SKIP_UNLESS_PRIVILEGED("no private namespaces here (root needed)");
  const std::string pipe = box.Inside(kPipe);
  std::string target = pipe;  // where the bytes would land
  int reader = -1;
  switch (c.setUp) {
    case FIFO_READ:
    case FIFO_UNREAD:
      MakeFifo(pipe);
      break;
    case NO_PIPE:
      break;
    case REGULAR_FILE:
      { std::ofstream(pipe.c_str()); }
      break;
    case FOREIGN_FIFO_READ:
      MakeFifo(pipe);
      ASSERT_EQ(0, chown(pipe.c_str(), 65534, 65534));
      break;
    case LINK_TO_FIFO_READ:
      target = box.Inside("/tmp/real_fifo");
      MakeFifo(target);
      ASSERT_EQ(0, symlink("/tmp/real_fifo", pipe.c_str()));
      break;
  }
  if (c.setUp == FIFO_READ || c.setUp == FOREIGN_FIFO_READ || c.setUp == LINK_TO_FIFO_READ) {
    reader = open(target.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
  }

  // A writer that blocks for ever is killed after the wait (status -1).
  DaemonSandbox::Result result = box.Run(c.words, 60000);
  EXPECT_EQ(c.status, result.status);
  EXPECT_EQ("", result.output);
  if (reader >= 0) {
    EXPECT_EQ(c.bytes, Drain(reader));
    close(reader);
  } else if (c.setUp == REGULAR_FILE) {
    std::ifstream in(target, std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(c.bytes, content);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Notify, PipeTable,
    ::testing::Values(
        PipeCase{"ResourceR0", FIFO_READ, {"BS_NOTIFY", "r0"}, 0, std::string("BS_NOTIFY\noxbrindale\nr0\0", 24)},
        PipeCase{"NoResourceName", FIFO_READ, {"BS_NOTIFY"}, 0, std::string("BS_NOTIFY\noxbrindale\n\0", 22)},
        PipeCase{"NoPipe", NO_PIPE, {"BS_NOTIFY", "r0"}, 254, ""},
        // Nobody opens the FIFO: given up after 10 s of tries.
        PipeCase{"NoReader", FIFO_UNREAD, {"BS_NOTIFY", "r0"}, 254, ""},
        PipeCase{"RegularFile", REGULAR_FILE, {"BS_NOTIFY", "r0"}, 254, ""},
        PipeCase{"FifoOfAnotherOwner", FOREIGN_FIFO_READ, {"BS_NOTIFY", "r0"}, 254, ""},
        PipeCase{"LinkToAFifo", LINK_TO_FIFO_READ, {"BS_NOTIFY", "r0"}, 254, ""}),
    [](const ::testing::TestParamInfo<PipeCase>& info) { return std::string(info.param.name); });

// The signal mask line of a process.
unsigned long long Ignored(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, 7, "SigIgn:") == 0) return std::strtoull(line.c_str() + 7, nullptr, 16);
  }
  return 0;
}

// tarrowd (re)opens its reader while the notice waits: the writer keeps
// trying and delivers. It ignores SIGPIPE meanwhile, so a reader that goes
// away makes the write fail instead of killing the writer.
TEST(PipeWriter, WaitsForAReaderThatComesLater) {
  DaemonSandbox box(TARROW_GUARD, TARROW_FAKE_TARROWD);
  if (!box.Ready()) TARROW_SKIP_UNLESS_PRIVILEGED("no private namespaces here (root needed)");
  const std::string pipe = box.Inside(kPipe);
  MakeFifo(pipe);

  const pid_t writer = box.Launch({"BS_NOTIFY", "r7"});
  std::vector<int> pids;
  ASSERT_TRUE(WaitUntil([&] {
    pids = box.Running("tarrowguard");
    return pids.size() == 1 && (Ignored(pids[0]) & (1ULL << (SIGPIPE - 1))) != 0;
  })) << "no writer ignoring SIGPIPE";

  int reader = open(pipe.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  DaemonSandbox::Result result = box.Finish(writer);
  EXPECT_EQ(0, result.status);
  EXPECT_EQ(std::string("BS_NOTIFY\noxbrindale\nr7\0", 24), Drain(reader));
  close(reader);
}

}  // namespace
