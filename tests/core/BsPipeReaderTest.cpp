// The reading end of the split-brain pipe: the watcher of a node in process
// reads the pipe under its rig's own system root; the test writes as the
// watcher program does (Framework::BsPipe) or by hand.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string>
#include <vector>

#include "core/BsWatcherRig.h"
#include "framework/BsPipe.h"
#include "framework/MachineController.h"
#include "support/SkipRule.h"

namespace core_test {
namespace {

using Oxbrindale::Velmora::Framework::BsPipe;
using Oxbrindale::Velmora::Framework::MachineController;
typedef std::vector<std::string> Lines;

// The pipe is root's with mode 0300: only root reads it.
#define REQUIRE_ROOT()                                                                       \
  do {                                                                                       \
    if (geteuid() != 0) TARROW_SKIP_UNLESS_PRIVILEGED("the split-brain pipe is root's (root needed)"); \
  } while (0)

// Opens the pipe for writing once a reader has it open; -1 when none did.
int OpenWriter() {
  int fd = -1;
  Eventually([&] {
    fd = open(BsPipe::Path().c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    return fd >= 0;
  });
  return fd;
}

// One write of bytes into the pipe. The reader closes its end when every
// writer has gone and opens the pipe again: a writer that opened just before
// that close finds no reader (EPIPE; SIGPIPE is ignored, as in the programs)
// and writes again to the next open.
bool WriteOnce(const std::string& bytes) {
  MachineController::SetupProcess();
  bool written = false;
  Eventually([&] {
    const int fd = OpenWriter();
    if (fd < 0) return true;
    written = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    const bool readerLeft = !written && errno == EPIPE;
    close(fd);
    return !readerLeft;
  });
  return written;
}

std::string Notice(const std::string& name) { return BsPipe::Message(name); }

// The path holds the pipe as the reader makes it.
bool SoundPipe(struct stat* st = nullptr) {
  struct stat local;
  if (st == nullptr) st = &local;
  return lstat(BsPipe::Path().c_str(), st) == 0 && S_ISFIFO(st->st_mode) && st->st_uid == 0 &&
         (st->st_mode & 077) == 0;
}

// A notice through the watcher program's writer reaches the node: the
// mirror's alarm comes.
bool Delivered(BsRig& rig, const std::string& mirror) {
  const std::string alarm = "检测到镜像包 \"" + mirror + "\" 发生了脑裂。";
  return Eventually([&] { return BsPipe().Notify(mirror) == BsPipe::NOTIFY_OK; }) &&
         Eventually([&] { return rig.node->alarms.Count(14, alarm) == 1; });
}

struct NoticeRow {
  const char* what;
  std::string bytes;
  Lines names;  // what the node took from them, in order
};

TEST(BsPipeReader, NoticesAreTakenAsTheContractSays) {
  REQUIRE_ROOT();
  BsRig rig;
  rig.AddMirror("r0", 0);
  ASSERT_TRUE(rig.Connect());
  ASSERT_TRUE(rig.watcher->Init());
  EXPECT_FALSE(rig.watcher->Init()) << "one reader per watcher";

  const std::string r0 = Notice("r0");
  const NoticeRow rows[] = {
      {"r0", std::string("BS_NOTIFY\noxbrindale\nr0\0", 24), {"r0"}},
      {"no name", std::string("BS_NOTIFY\noxbrindale\n\0", 22), {""}},
      {"name and a trailing LF", std::string("BS_NOTIFY\noxbrindale\nr1\n\0", 25), {"r1"}},
      {"CR LF lines", std::string("BS_NOTIFY\r\noxbrindale\r\nr1\0", 26), {"r1"}},
      {"marker in upper case", std::string("BS_NOTIFY\nOXBRINDALE\nr1\0", 24), {}},
      {"two fields", std::string("BS_NOTIFY\noxbrindale\0", 21), {}},
      {"other word", std::string("BS_NOTIFZ\noxbrindale\nr1\0", 24), {}},
      {"two in one read", Notice("r1") + Notice("r2"), {"r1", "r2"}},
      {"junk before a notice", std::string("junk\0", 5) + Notice("r3"), {"r3"}},
      {"run beyond 4 KiB without NUL", std::string(5000, 'x') + std::string(1, '\0') + Notice("r4"), {"r4"}},
  };
  size_t seen = 0;
  for (size_t i = 0; i < sizeof(rows) / sizeof(rows[0]); ++i) {
    const NoticeRow& row = rows[i];
    SCOPED_TRACE(row.what);
    // A notice behind the row's bytes tells when they were read.
    const std::string end = "end" + std::to_string(i);
    ASSERT_TRUE(WriteOnce(row.bytes + Notice(end)));
    ASSERT_TRUE(Eventually([&] {
      const Lines relayed = rig.Relayed();
      return !relayed.empty() && relayed.back() == end;
    }));
    const Lines relayed = rig.Relayed();
    EXPECT_EQ(row.names, Lines(relayed.begin() + static_cast<long>(seen), relayed.end() - 1));
    seen = relayed.size();
  }
  EXPECT_EQ(1, rig.node->alarms.Count(14, "检测到镜像包 \"r0\" 发生了脑裂。"));

  // A notice split over two reads is put together.
  const int fd = OpenWriter();
  ASSERT_GE(fd, 0);
  const std::string split = Notice("r5");
  ASSERT_EQ(10, write(fd, split.data(), 10));
  ASSERT_TRUE(Eventually([&] {
    int unread = -1;
    return ioctl(fd, FIONREAD, &unread) == 0 && unread == 0;
  })) << "the first part was not read";
  ASSERT_EQ(static_cast<ssize_t>(split.size() - 10), write(fd, split.data() + 10, split.size() - 10));
  close(fd);
  EXPECT_TRUE(Eventually([&] { return rig.Relayed().back() == "r5"; }));
}

// Notices written back to back: each writer's close ends the reader's read,
// and the next writer may open just before the reader closes its end. Every
// notice still arrives, each once, in order.
TEST(BsPipeReader, BackToBackNoticesAllArrive) {
  REQUIRE_ROOT();
  MachineController::SetupProcess();  // SIGPIPE ignored, as in the programs
  BsRig rig;
  ASSERT_TRUE(rig.Connect());
  ASSERT_TRUE(rig.watcher->Init());
  ASSERT_TRUE(Eventually([] { return SoundPipe(); }));
  Lines sent;
  for (int i = 0; i < 300; ++i) {
    sent.push_back("n" + std::to_string(i));
    ASSERT_EQ(BsPipe::NOTIFY_OK, BsPipe().Notify(sent.back())) << "notice " << i;
  }
  EXPECT_TRUE(Eventually([&] { return rig.Relayed().size() >= sent.size(); }));
  EXPECT_EQ(sent, rig.Relayed());
}

enum Planted { FOREIGN_FILE, FOREIGN_FIFO, OPEN_FIFO, LINK_TO_FIFO, FOREIGN_DIR, SOUND_FIFO };

// Whatever waits at the path is no pipe of the daemon's unless it is root's
// FIFO without group or other rights: the writer refuses it, and the reader
// puts its own pipe in its place (without touching what a link points to).
TEST(BsPipeReader, PlantedPathIsReplaced) {
  REQUIRE_ROOT();
  const struct {
    const char* what;
    Planted planted;
  } rows[] = {{"file of another user", FOREIGN_FILE},  {"FIFO of another user, 0666", FOREIGN_FIFO},
              {"root's FIFO, 0622", OPEN_FIFO},         {"link to root's FIFO", LINK_TO_FIFO},
              {"directory of another user", FOREIGN_DIR}, {"root's FIFO as made", SOUND_FIFO}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    BsRig rig;
    rig.AddMirror("r0", 0);
    const std::string path = BsPipe::Path();
    const std::string target = rig.dir.File("tmp/elsewhere");
    switch (row.planted) {
      case FOREIGN_FILE:
        std::ofstream(path.c_str()) << "x";
        ASSERT_EQ(0, chown(path.c_str(), 65534, 65534));
        ASSERT_EQ(0, chmod(path.c_str(), 0666));
        break;
      case FOREIGN_FIFO:
        ASSERT_EQ(0, mkfifo(path.c_str(), 0600));
        ASSERT_EQ(0, chown(path.c_str(), 65534, 65534));
        ASSERT_EQ(0, chmod(path.c_str(), 0666));
        break;
      case OPEN_FIFO:
        ASSERT_EQ(0, mkfifo(path.c_str(), 0300));
        ASSERT_EQ(0, chmod(path.c_str(), 0622));
        break;
      case LINK_TO_FIFO:
        ASSERT_EQ(0, mkfifo(target.c_str(), 0300));
        ASSERT_EQ(0, symlink(target.c_str(), path.c_str()));
        break;
      case FOREIGN_DIR:
        ASSERT_EQ(0, mkdir(path.c_str(), 0777));
        ASSERT_EQ(0, chown(path.c_str(), 65534, 65534));
        break;
      case SOUND_FIFO:
        ASSERT_EQ(0, mkfifo(path.c_str(), 0300));
        break;
    }
    struct stat before;
    ASSERT_EQ(0, lstat(path.c_str(), &before));
    BsPipe::Timing quick;
    quick.retryMs = 10;
    quick.limitMs = 100;
    EXPECT_EQ(BsPipe::NOTIFY_NO_PIPE, BsPipe(quick).Notify("r0")) << "the writer took it";

    ASSERT_TRUE(rig.watcher->Init());
    ASSERT_TRUE(Delivered(rig, "r0"));
    struct stat after;
    ASSERT_TRUE(SoundPipe(&after));
    if (row.planted == SOUND_FIFO) {
      EXPECT_EQ(before.st_ino, after.st_ino) << "the daemon's own pipe was replaced";
    }
    if (row.planted == LINK_TO_FIFO) {
      struct stat st;
      EXPECT_TRUE(lstat(target.c_str(), &st) == 0 && S_ISFIFO(st.st_mode)) << "the link's target was touched";
    }
  }
}

// The pipe removed while the reader waits on it is made again.
TEST(BsPipeReader, RemovedPipeIsMadeAgain) {
  REQUIRE_ROOT();
  BsRig rig;
  rig.AddMirror("r0", 0);
  rig.AddMirror("r1", 1);
  ASSERT_TRUE(rig.watcher->Init());
  ASSERT_TRUE(Delivered(rig, "r0"));
  ASSERT_EQ(0, unlink(BsPipe::Path().c_str()));
  EXPECT_TRUE(Delivered(rig, "r1"));
}

// A pipe that cannot be made stops nothing: the reader says why once and
// tries again until it can.
TEST(BsPipeReader, PipeThatCannotBeMadeIsTriedAgain) {
  REQUIRE_ROOT();
  BsRig rig(false);  // no tmp/ under the system root
  rig.AddMirror("r0", 0);
  ASSERT_TRUE(rig.watcher->Init());
  const std::string reason = "CANNOT CREATE PIPE.No such file or directory";
  ASSERT_TRUE(Eventually([&] { return rig.TraceLog().find(reason) != std::string::npos; }));
  rig.dir.MakeDir("tmp");
  EXPECT_TRUE(Delivered(rig, "r0"));
  const std::string log = rig.TraceLog();
  EXPECT_EQ(log.find(reason), log.rfind(reason)) << "the same failure was written again";
}

}  // namespace
}  // namespace core_test
