// The disk volume resource on a partitioned loop device, reserved through a
// model of the SCSI-3 disk. Each case runs on a thread of its own inside a
// new mount namespace whose /dev is a fresh tmpfs holding the disk as "sdr":
// the threads and programs (mount, umount, the scripts) it starts inherit
// the namespace, so the host's mounts never change.

#include <gtest/gtest.h>
#include <dirent.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "config/DiskVolumeResConfig.h"
#include "framework/MD5.h"
#include "framework/ProcessCommandRunner.h"
#include "resource/DiskVolumeResource.h"
#include "resource/KindConfigs.h"
#include "resource/ResourceTestSupport.h"
#include "storage/LinuxDisk.h"
#include "storage/ModelScsiTransport.h"
#include "storage/PartitionedDisk.h"
#include "storage/ReservationModel.h"
#include "support/LoopDevice.h"
#include "support/SkipRule.h"
#include "support/TempDir.h"
#include "support/Thrown.h"

namespace resource_test {
namespace {

using Oxbrindale::Velmora::Config::DiskVolumeResConfig;
using Oxbrindale::Velmora::Framework::CommandRunner;
using Oxbrindale::Velmora::Framework::Env;
using Oxbrindale::Velmora::Framework::LinuxDisk;
using Oxbrindale::Velmora::Framework::ProcessCommandRunner;
using Oxbrindale::Velmora::Resource::DiskVolumeResource;
using storage_test::ModelScsiTransport;
using storage_test::PartitionedDisk;
using storage_test::ReservationModel;
using tarrow_test::ThrownText;

const unsigned long long kMiB = 1024 * 1024;

// The disk ID of an image: the digest of its first 32768 bytes.
std::string DigestOfImage(const std::string& image) {
  std::string head = ReadText(image).substr(0, 32768);
  head.resize(32768, '\0');
  Oxbrindale::Velmora::Framework::MD5 md5(head.data(), static_cast<unsigned>(head.size()));
  return md5.toString();
}

// The world's program directory; /proc/partitions names the loop device
// "sdr"; /proc/mounts is that of the reading thread (the namespace's);
// real commands.
class DiskEnv : public Env {
 public:
  explicit DiskEnv(std::string partitions) : partitions_(std::move(partitions)) {}
  std::string AppPath() override { return World::Get().AppPath(); }
  std::string SystemPath(const std::string& path) override {
    if (path == "/proc/partitions") return partitions_;
    if (path == "/proc/mounts") return "/proc/thread-self/mounts";
    return path;
  }
  CommandRunner* Runner() override { return &runner_; }

 private:
  const std::string partitions_;
  ProcessCommandRunner runner_;
};

std::string MountNamespaceOf(const std::string& task) {
  char target[256] = {0};
  const ssize_t length = readlink(("/proc/" + task + "/ns/mnt").c_str(), target, sizeof(target) - 1);
  return length > 0 ? std::string(target, static_cast<size_t>(length)) : std::string();
}

// How many mounts of the namespace name device.
int MountsOf(const std::string& device) {
  std::istringstream lines(ReadText("/proc/thread-self/mounts"));
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    if (line.compare(0, device.size() + 1, device + " ") == 0) ++count;
  }
  return count;
}

// Live processes whose command line names path.
int ProcessesRunning(const std::string& path) {
  int count = 0;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return -1;
  while (struct dirent* entry = readdir(proc)) {
    const int pid = std::atoi(entry->d_name);
    if (pid <= 1 || !ProcessRuns(pid)) continue;
    std::string commandLine = ReadText("/proc/" + std::to_string(pid) + "/cmdline");
    for (char& c : commandLine) {
      if (c == '\0') c = ' ';
    }
    if (commandLine.find(path) != std::string::npos) ++count;
  }
  closedir(proc);
  return count;
}

class DiskVolumeResourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!tarrow_test::LoopDevice::Supported(&why)) TARROW_SKIP_UNLESS_PRIVILEGED(why);
    disk_.reset(new PartitionedDisk(dir_.File("r.img"), 24 * kMiB, {8, 8}, "0x5a5a0301", {true, true}));
    ASSERT_TRUE(disk_->Ok()) << disk_->Error();
    diskId_ = DigestOfImage(dir_.File("r.img"));
    std::ostringstream partitions;
    partitions << "major minor  #blocks  name\n\n";
    for (unsigned n = 0; n <= disk_->Partitions(); ++n) {
      std::string number = disk_->DeviceNumber(n);
      number.replace(number.find(':'), 1, " ");
      partitions << " " << number << " " << disk_->Blocks(n) << " sdr" << (n == 0 ? "" : std::to_string(n)) << "\n";
    }
    dir_.Write("partitions", partitions.str());
    dir_.MakeDir("mnt");
  }

  std::string Mnt(const std::string& name) { return dir_.File("mnt/" + name); }

  // Runs body on a new thread in a new mount namespace with the test's /dev.
  void InNamespace(const std::function<void()>& body) {
    std::string why;
    InstallForGood(new DiskEnv(dir_.File("partitions")));
    {
      std::thread thread([&] {
        if (unshare(CLONE_NEWNS) != 0) {
          why = std::string("unshare(CLONE_NEWNS): ") + strerror(errno);
          return;
        }
        const std::string own = MountNamespaceOf("thread-self");
        if (own.empty() || own == MountNamespaceOf("self")) {
          why = "the thread did not get a mount namespace of its own";
          return;
        }
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
          why = std::string("cannot make the mounts private: ") + strerror(errno);
          return;
        }
        ASSERT_NO_FATAL_FAILURE(PrepareDev());
        ModelScsiTransport node(model_, "A");
        ModelScsiTransport::Installed installed(&node);
        body();
      });
      thread.join();
    }
    RestoreWorldEnv();
    if (!why.empty()) TARROW_SKIP_UNLESS_PRIVILEGED(why);
  }

  void Node(const std::string& name, unsigned n) {
    unsigned major = 0, minor = 0;
    ASSERT_EQ(2, sscanf(disk_->DeviceNumber(n).c_str(), "%u:%u", &major, &minor));
    ASSERT_EQ(0, mknod(("/dev/" + name).c_str(), S_IFBLK | 0600, makedev(major, minor))) << name;
  }

  void PrepareDev() {
    ASSERT_EQ(0, mount("tarrow-dev", "/dev", "tmpfs", 0, "mode=755"));
    ASSERT_EQ(0, mknod("/dev/null", S_IFCHR | 0666, makedev(1, 3)));
    chmod("/dev/null", 0666);
    Node("sdr", 0);
    for (unsigned n = 1; n <= disk_->Partitions(); ++n) Node("sdr" + std::to_string(n), n);
    ASSERT_EQ(0, mkdir("/dev/disk", 0755));
    ASSERT_EQ(0, mkdir("/dev/disk/by-path", 0755));
    ASSERT_EQ(0, symlink("../../sdr", "/dev/disk/by-path/pci-0000:00:10.0-scsi-0:0:7:0"));
  }

  DiskVolumeResource* Make(const std::string& diskId, unsigned lockMethod, const std::string& startScript,
                           const std::string& stopScript) {
    CommonSettings common;
    common.name = UniqueName("disk");
    config_.reset(MakeRecord<DiskVolumeResConfig>(
        common, {diskId, startScript, stopScript, std::to_string(lockMethod), Mnt("one") + "|" + Mnt("two")}));
    resource_.reset(new DiskVolumeResource(config_.get()));
    resource_->SetTimings(FakeResource::FastTimings());
    return resource_.get();
  }

  tarrow_test::TempDir dir_;
  std::unique_ptr<PartitionedDisk> disk_;
  std::string diskId_;
  ReservationModel model_;
  std::unique_ptr<DiskVolumeResConfig> config_;
  std::unique_ptr<DiskVolumeResource> resource_;
};

TEST_F(DiskVolumeResourceTest, StartReservesAndMountsStopUnmountsAndScriptsRunFirst) {
  // Each script notes how many partitions are mounted when it runs.
  const std::string log = dir_.File("log");
  WriteScript(dir_.File("start.sh"), "echo start $(grep -c '^/dev/sdr[0-9]' /proc/self/mounts) >> '" + log + "'\n");
  WriteScript(dir_.File("stop.sh"), "echo stop $(grep -c '^/dev/sdr[0-9]' /proc/self/mounts) >> '" + log + "'\n");
  for (unsigned lockMethod : {0u, 1u, 2u}) {
    SCOPED_TRACE("lock method " + std::to_string(lockMethod));
    unlink(log.c_str());
    InNamespace([&] {
      DiskVolumeResource* disk = Make(diskId_, lockMethod, dir_.File("start.sh"), dir_.File("stop.sh"));
      EXPECT_TRUE(disk->BeforeStartCheck(true));
      EXPECT_FALSE(disk->Test());
      EXPECT_EQ("", ThrownText([&] { disk->Start(); }));
      EXPECT_EQ(1, MountsOf("/dev/sdr1"));
      EXPECT_EQ(1, MountsOf("/dev/sdr2"));
      EXPECT_TRUE(disk->Test());
      EXPECT_EQ("A", model_.Holder());
      EXPECT_EQ(lockMethod == 1 ? 5 : 6, model_.ReservationType());

      EXPECT_EQ("", ThrownText([&] { disk->Start(); }));  // mounted already: only the script runs
      EXPECT_EQ(1, MountsOf("/dev/sdr1"));

      EXPECT_EQ("", ThrownText([&] { disk->Stop(); }));
      EXPECT_EQ(0, MountsOf("/dev/sdr1"));
      EXPECT_EQ(0, MountsOf("/dev/sdr2"));
      EXPECT_FALSE(disk->Test());
      EXPECT_EQ("", model_.Holder());
      resource_.reset();
    });
    if (IsSkipped() || HasFatalFailure()) return;
    EXPECT_EQ("start 0\nstart 2\nstop 2\n", ReadText(log));
  }
}

TEST_F(DiskVolumeResourceTest, ALateScriptIsKilledAndTheStartGoesOn) {
  const std::string script = dir_.File("slow.sh");
  WriteScript(script, "while :; do sleep 1; done\n");
  InNamespace([&] {
    DiskVolumeResource* disk = Make(diskId_, 0, script, script);
    DiskVolumeResource::DiskTimings timings;
    timings.scriptTimeoutMs = 200;
    disk->SetDiskTimings(timings);
    EXPECT_EQ("", ThrownText([&] { disk->Start(); }));
    EXPECT_EQ(0, ProcessesRunning(script)) << "the late start script still runs";
    EXPECT_TRUE(disk->Test());
    EXPECT_EQ("", ThrownText([&] { disk->Stop(); }));
    EXPECT_EQ(0, ProcessesRunning(script)) << "the late stop script still runs";
    EXPECT_FALSE(disk->Test());
    resource_.reset();
  });
}

TEST_F(DiskVolumeResourceTest, AnUnknownDiskIsRefusedBeforeTheStart) {
  std::string name;
  InNamespace([&] {
    DiskVolumeResource* disk = Make("00000000000000000000000000000000", 0, "", "");
    name = config_->GetName();
    EXPECT_FALSE(disk->BeforeStartCheck(false));
    EXPECT_EQ("", disk->GetPreStartReason());
    EXPECT_FALSE(disk->BeforeStartCheck(true));
    EXPECT_EQ("磁盘卷锁，资源\"" + name + "\" 无法查找到指定的磁盘驱动器！", disk->GetPreStartReason());
    EXPECT_FALSE(disk->Test());
    resource_.reset();
  });
  if (IsSkipped()) return;
  EXPECT_TRUE(World::Get().Alarms().WaitFor(2, "磁盘卷锁，资源\"" + name + "\" 无法查找到指定的磁盘驱动器！"));
}

}  // namespace
}  // namespace resource_test
