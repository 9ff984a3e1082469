#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "DiskFixture.h"
#include "storage/LinuxDisk.h"
#include "support/LoopDevice.h"
#include "support/SkipRule.h"
#include "support/TempDir.h"
#include "support/TestEnv.h"

using Oxbrindale::Velmora::Framework::LinuxDisk;
using storage_test::DigestOfImage;
using storage_test::DiskFixture;
using storage_test::kMiB;
using storage_test::ReadAt;
using storage_test::WriteAt;

namespace {

const uint64_t kArbitrationArea = 2097152;

// A node in a process of its own: its own system root, in which "/dev/sdq"
// is its own loop device over the shared image. It arbitrates on 'g'
// (answers 'w' or 'l'), releases on 'r' (answers 'r') and ends on 'q'.
class NodeProcess {
 public:
  NodeProcess(const std::string& root, const std::string& appPath, const std::string& diskId, bool side) {
    int toChild[2], fromChild[2];
    if (pipe(toChild) != 0 || pipe(fromChild) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(toChild[1]);
      close(fromChild[0]);
      int devnull = open("/dev/null", O_WRONLY);
      if (devnull >= 0) dup2(devnull, 1);  // the arbitration's diagnostics
      tarrow_test::TestEnv env(appPath, root);
      char command;
      while (read(toChild[0], &command, 1) == 1) {
        char answer = '?';
        if (command == 'g') answer = LinuxDisk::TryGetQuorumPrim(diskId, side) ? 'w' : 'l';
        if (command == 'r') {
          LinuxDisk::ResetQuorumInfo(diskId, side);
          answer = 'r';
        }
        if (command == 'q') break;
        if (write(fromChild[1], &answer, 1) != 1) break;
      }
      _exit(0);
    }
    close(toChild[0]);
    close(fromChild[1]);
    to_ = toChild[1];
    from_ = fromChild[0];
  }

  ~NodeProcess() {
    if (pid_ <= 0) return;
    char q = 'q';
    if (write(to_, &q, 1) != 1) kill(pid_, SIGKILL);
    close(to_);
    close(from_);
    int status;
    waitpid(pid_, &status, 0);
  }

  bool Ok() const { return pid_ > 0; }
  void Send(char command) {
    if (write(to_, &command, 1) != 1) ADD_FAILURE() << "node gone";
  }
  char Answer() {
    char answer = '?';
    if (read(from_, &answer, 1) != 1) return '?';
    return answer;
  }

 private:
  pid_t pid_ = -1;
  int to_ = -1;
  int from_ = -1;
};

// A third process that keeps both loop devices open and keeps reading the
// arbitration sectors through the page cache, so that each device's cache
// stays alive (and stale) between the nodes' calls.
class CacheHolder {
 public:
  CacheHolder(const std::string& deviceA, const std::string& deviceB) {
    pid_ = fork();
    if (pid_ == 0) {
      int a = open(deviceA.c_str(), O_RDONLY);
      int b = open(deviceB.c_str(), O_RDONLY);
      char buf[4096];
      for (;;) {
        if (pread(a, buf, sizeof(buf), kArbitrationArea) < 0) _exit(1);
        if (pread(b, buf, sizeof(buf), kArbitrationArea) < 0) _exit(1);
        usleep(5000);
      }
    }
  }
  ~CacheHolder() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    int status;
    waitpid(pid_, &status, 0);
  }
  bool Ok() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
};

// Whether a buffered read through deviceB still returns what its cache
// holds after a direct write through deviceA (two hosts without O_DIRECT).
bool BufferedReadIsStale(const std::string& deviceA, const std::string& deviceB) {
  const uint64_t probe = kArbitrationArea + 2048;  // inside the holder's range, used by nobody
  int b = open(deviceB.c_str(), O_RDONLY);
  if (b < 0) return false;
  char before[512], after[512];
  bool stale = false;
  if (pread(b, before, 512, probe) == 512 && WriteAt(deviceA, probe, std::string(512, 'S')) &&
      pread(b, after, 512, probe) == 512) {
    stale = after[0] != 'S';
  }
  close(b);
  WriteAt(deviceA, probe, std::string(512, '\0'));
  return stale;
}

}  // namespace

// Two nodes, each on its own loop device over one image (each with its own
// page cache), arbitrate together 50 times with a release in between; a
// third process keeps both devices open all along. Every round has exactly
// one winner.
TEST(QuorumTwoNodes, ExactlyOneWinnerEveryRoundWhileAThirdProcessHoldsTheDevices) {
  std::string why;
  if (!tarrow_test::LoopDevice::Supported(&why)) TARROW_SKIP_UNLESS_PRIVILEGED(why);
  tarrow_test::TempDir app;
  DiskFixture hostA, hostB;
  const std::string image = hostA.MakeImage("shared", 4 * kMiB, 'D');
  ASSERT_TRUE(hostA.AddDevice("sdq", image, &why)) << why;
  ASSERT_TRUE(hostB.AddDevice("sdq", image, &why)) << why;
  hostA.AddByPathLink("pci-0000:00:10.0-scsi-0:0:0:0", "sdq");
  hostB.AddByPathLink("pci-0000:00:11.0-scsi-0:0:0:0", "sdq");
  const std::string id = DigestOfImage(image);

  CacheHolder holder(hostA.LoopOf("sdq"), hostB.LoopOf("sdq"));
  ASSERT_TRUE(holder.Ok());
  usleep(50 * 1000);
  printf("buffered reads across the two loop devices are stale here: %s\n",
         BufferedReadIsStale(hostA.LoopOf("sdq"), hostB.LoopOf("sdq")) ? "yes" : "no");

  NodeProcess host(hostA.Root(), app.Path(), id, true);
  NodeProcess other(hostB.Root(), app.Path(), id, false);
  ASSERT_TRUE(host.Ok());
  ASSERT_TRUE(other.Ok());

  int hostWins = 0, otherWins = 0;
  for (int round = 0; round < 50; ++round) {
    host.Send('g');
    other.Send('g');
    char a = host.Answer();
    char b = other.Answer();
    ASSERT_TRUE((a == 'w' && b == 'l') || (a == 'l' && b == 'w'))
        << "round " << round << ": host " << a << ", other " << b;
    (a == 'w' ? hostWins : otherWins)++;
    host.Send('r');
    other.Send('r');
    ASSERT_EQ('r', host.Answer());
    ASSERT_EQ('r', other.Answer());
    ASSERT_EQ(std::string(1024, '\0'), ReadAt(image, kArbitrationArea + 512, 1024)) << "released";
  }
  printf("host won %d rounds, the other side %d\n", hostWins, otherWins);
  EXPECT_GT(hostWins, 0);
  EXPECT_GT(otherWins, 0);
}
