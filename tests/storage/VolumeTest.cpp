#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "DiskFixture.h"
#include "ModelScsiTransport.h"
#include "NamespaceChild.h"
#include "PartitionedDisk.h"
#include "ReservationModel.h"
#include "framework/ProcessCommandRunner.h"
#include "storage/DeviceName.h"
#include "storage/LinuxDisk.h"
#include "storage/MountField.h"
#include "support/LoopDevice.h"
#include "support/TempDir.h"
#include "support/TestEnv.h"
#include "support/SkipRule.h"

using Oxbrindale::Velmora::Framework::DeviceName;
using Oxbrindale::Velmora::Framework::LinuxDisk;
using Oxbrindale::Velmora::Framework::MountField;
using Oxbrindale::Velmora::Framework::ProcessCommandRunner;
using storage_test::ModelScsiTransport;
using storage_test::NamespaceChild;
using storage_test::PartitionedDisk;
using storage_test::ReservationModel;

namespace {

const unsigned long long kMiB = 1024 * 1024;

// The system paths of the test: the real ones (inside the test's own mount
// namespace), except /proc/partitions, which names the loop devices as the
// disks "sdv" and "sdvv".
class VolumeEnv : public tarrow_test::TestEnv {
 public:
  VolumeEnv(std::string appPath, std::string partitions)
      : TestEnv(std::move(appPath)), partitions_(std::move(partitions)) {}
  std::string SystemPath(const std::string& path) override {
    return path == "/proc/partitions" ? partitions_ : path;
  }

 private:
  std::string partitions_;
};

// device -> mount point of the mounts of the test's namespace.
std::vector<std::pair<std::string, std::string>> Mounts() {
  std::vector<std::pair<std::string, std::string>> mounts;
  std::ifstream in("/proc/self/mounts");
  std::string device, point, rest;
  while (in >> device >> point) {
    std::getline(in, rest);
    mounts.emplace_back(MountField::Decode(device), MountField::Decode(point));
  }
  return mounts;
}

// The mount points of device's mounts.
std::vector<std::string> MountPointsOf(const std::string& device) {
  std::vector<std::string> points;
  for (const auto& m : Mounts()) {
    if (m.first == device) points.push_back(m.second);
  }
  return points;
}

// How many partitions of disk (a device path) are mounted.
int MountedPartitionsOf(const std::string& disk) {
  int count = 0;
  for (const auto& m : Mounts()) {
    if (DeviceName::IsPartitionOf(m.first, disk)) ++count;
  }
  return count;
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

int RunTool(const std::vector<std::string>& argv) {
  ProcessCommandRunner runner;
  return runner.Run(argv, 60000, false).status;
}

// Two shared disks on loop devices with partitions: "sdv" (partitions 1 and
// 2 formatted, 3 formatted, 4 without a file system) and its sibling "sdvv"
// (a name that begins with "sdv"; one formatted partition). The body of each
// test runs in a mount namespace of its own, whose /dev is a fresh tmpfs
// holding only /dev/null, the two disks and their partitions under those
// names, and /dev/disk/by-path links to the disks.
class VolumeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!tarrow_test::LoopDevice::Supported(&why)) TARROW_SKIP_UNLESS_PRIVILEGED(why);
    disk_.reset(new PartitionedDisk(dir_.File("v.img"), 40 * kMiB, {8, 8, 8, 8}, "0x5a5a0001",
                                    {true, true, true, false}));
    ASSERT_TRUE(disk_->Ok()) << disk_->Error();
    sibling_.reset(new PartitionedDisk(dir_.File("vv.img"), 16 * kMiB, {8}, "0x5a5a0002", {true}));
    ASSERT_TRUE(sibling_->Ok()) << sibling_->Error();
    idV_ = storage_test::DigestOfImage(dir_.File("v.img"));
    idVV_ = storage_test::DigestOfImage(dir_.File("vv.img"));
    ASSERT_NE(idV_, idVV_);

    std::ostringstream partitions;
    partitions << "major minor  #blocks  name\n\n";
    auto line = [&](PartitionedDisk& disk, unsigned n, const std::string& name) {
      std::string number = disk.DeviceNumber(n);
      number.replace(number.find(':'), 1, " ");
      partitions << " " << number << " " << disk.Blocks(n) << " " << name << "\n";
    };
    line(*disk_, 0, "sdv");
    for (unsigned n = 1; n <= disk_->Partitions(); ++n) line(*disk_, n, "sdv" + std::to_string(n));
    line(*sibling_, 0, "sdvv");
    line(*sibling_, 1, "sdvv1");
    dir_.Write("partitions", partitions.str());
    dir_.MakeDir("mnt");
    dir_.MakeDir("mnt/two words");
  }

  // Runs body in the test's mount namespace with its /dev.
  void InNamespace(const std::function<void()>& body) {
    NamespaceChild::Options options;
    options.mounts = true;
    int rc = NamespaceChild::Run(options, [&] {
      ASSERT_NO_FATAL_FAILURE(_PrepareDev());
      VolumeEnv env(dir_.Path(), dir_.File("partitions"));
      body();
    });
    if (rc == NamespaceChild::kUnavailable) TARROW_SKIP_UNLESS_PRIVILEGED("no mount namespace here");
    EXPECT_EQ(NamespaceChild::kPassed, rc) << "the body failed in its namespace (see above)";
  }

  std::string Mnt(const std::string& name) { return dir_.File("mnt/" + name); }

  tarrow_test::TempDir dir_;
  std::unique_ptr<PartitionedDisk> disk_;
  std::unique_ptr<PartitionedDisk> sibling_;
  std::string idV_, idVV_;
  ReservationModel model_;

 private:
  void _Node(const std::string& name, PartitionedDisk& disk, unsigned n) {
    unsigned major = 0, minor = 0;
    ASSERT_EQ(2, sscanf(disk.DeviceNumber(n).c_str(), "%u:%u", &major, &minor));
    ASSERT_EQ(0, mknod(("/dev/" + name).c_str(), S_IFBLK | 0600, makedev(major, minor))) << name;
  }

  void _PrepareDev() {
    ASSERT_EQ(0, mount("tarrow-dev", "/dev", "tmpfs", 0, "mode=755"));
    ASSERT_EQ(0, mknod("/dev/null", S_IFCHR | 0666, makedev(1, 3)));
    chmod("/dev/null", 0666);
    _Node("sdv", *disk_, 0);
    for (unsigned n = 1; n <= disk_->Partitions(); ++n) _Node("sdv" + std::to_string(n), *disk_, n);
    _Node("sdvv", *sibling_, 0);
    _Node("sdvv1", *sibling_, 1);
    ASSERT_EQ(0, mkdir("/dev/disk", 0755));
    ASSERT_EQ(0, mkdir("/dev/disk/by-path", 0755));
    ASSERT_EQ(0, symlink("../../sdv", "/dev/disk/by-path/pci-0000:00:10.0-scsi-0:0:5:0"));
    ASSERT_EQ(0, symlink("../../sdvv", "/dev/disk/by-path/pci-0000:00:10.0-scsi-0:0:6:0"));
  }
};

TEST_F(VolumeTest, StartFencesThenMountsAndStopUnmountsAndReleases) {
  InNamespace([&] {
    ModelScsiTransport node(model_, "A");
    ModelScsiTransport::Installed installed(&node);
    std::vector<int> mountedAtCommand;
    model_.SetObserver([&](const ReservationModel::Command&) { mountedAtCommand.push_back(MountedPartitionsOf("/dev/sdv")); });
    // The sibling disk is in use here too.
    ASSERT_EQ(0, mkdir(Mnt("sibling").c_str(), 0755));
    ASSERT_EQ(0, RunTool({"mount", "/dev/sdvv1", Mnt("sibling")}));

    ASSERT_TRUE(LinuxDisk::HasHardDisk(idV_));
    EXPECT_FALSE(LinuxDisk::TestHardDisk(idV_, {Mnt("one"), Mnt("two words")}));
    LinuxDisk::StartHardDisk(idV_, {Mnt("one"), Mnt("two words")}, 5);

    // Partition i on mount point i (one created with mode 0744, one with a
    // space in its name); the third partition has no mount point.
    EXPECT_EQ(std::vector<std::string>{Mnt("one")}, MountPointsOf("/dev/sdv1"));
    EXPECT_EQ(std::vector<std::string>{Mnt("two words")}, MountPointsOf("/dev/sdv2"));
    EXPECT_TRUE(MountPointsOf("/dev/sdv3").empty());
    struct stat st;
    ASSERT_EQ(0, stat(Mnt("one").c_str(), &st));
    std::ofstream(Mnt("one") + "/written") << "data";
    EXPECT_TRUE(Exists(Mnt("one") + "/written"));

    // Fenced before anything was mounted: register, release, clear, register, reserve.
    std::vector<ReservationModel::Command> log = model_.Log();
    ASSERT_EQ(5u, log.size());
    std::vector<int> actions;
    for (const auto& c : log) actions.push_back(c.cdb[1]);
    EXPECT_EQ((std::vector<int>{6, 2, 3, 6, 1}), actions);
    EXPECT_EQ((std::vector<int>{0, 0, 0, 0, 0}), mountedAtCommand) << "a volume was mounted before the disk was fenced";
    EXPECT_EQ("A", model_.Holder());
    EXPECT_EQ(5, model_.ReservationType());
    EXPECT_TRUE(LinuxDisk::TestHardDisk(idV_, {Mnt("one"), Mnt("two words")}));

    // A mount outside the configuration goes at stop too; the sibling stays.
    ASSERT_EQ(0, mkdir(Mnt("extra").c_str(), 0755));
    ASSERT_EQ(0, RunTool({"mount", "/dev/sdv3", Mnt("extra")}));
    model_.ClearLog();
    mountedAtCommand.clear();
    LinuxDisk::StopHardDisk(idV_, 5);
    EXPECT_EQ(0, MountedPartitionsOf("/dev/sdv"));
    EXPECT_FALSE(Exists(Mnt("one")));
    EXPECT_FALSE(Exists(Mnt("two words")));
    EXPECT_FALSE(Exists(Mnt("extra")));
    EXPECT_EQ(std::vector<std::string>{Mnt("sibling")}, MountPointsOf("/dev/sdvv1")) << "the sibling disk was unmounted";
    actions.clear();
    for (const auto& c : model_.Log()) actions.push_back(c.cdb[1]);
    EXPECT_EQ((std::vector<int>{6, 2, 3}), actions);
    EXPECT_EQ((std::vector<int>{0, 0, 0}), mountedAtCommand) << "released before the volumes were unmounted";
    EXPECT_EQ("", model_.Holder());
    EXPECT_TRUE(model_.Registrations().empty());
    EXPECT_FALSE(LinuxDisk::TestHardDisk(idV_, {Mnt("one")}));
  });
}

TEST_F(VolumeTest, FailedMountIsUndoneForItsMountPointOnly) {
  InNamespace([&] {
    ModelScsiTransport node(model_, "A");
    ModelScsiTransport::Installed installed(&node);
    // Partition 4 holds no file system: its mount fails.
    LinuxDisk::StartHardDisk(idV_, {Mnt("p1"), Mnt("p2"), Mnt("p3"), Mnt("p4")}, 6);
    EXPECT_EQ(std::vector<std::string>{Mnt("p1")}, MountPointsOf("/dev/sdv1"));
    EXPECT_EQ(std::vector<std::string>{Mnt("p3")}, MountPointsOf("/dev/sdv3"));
    EXPECT_TRUE(MountPointsOf("/dev/sdv4").empty());
    EXPECT_FALSE(Exists(Mnt("p4"))) << "the directory of the failed mount was left";

    // Nothing mounted: the test removes the empty configured directories.
    LinuxDisk::StopHardDisk(idV_, 6);
    ASSERT_EQ(0, mkdir(Mnt("p1").c_str(), 0755));
    EXPECT_FALSE(LinuxDisk::TestHardDisk(idV_, {Mnt("p1"), Mnt("p2")}));
    EXPECT_FALSE(Exists(Mnt("p1")));
  });
}

TEST_F(VolumeTest, UnusableMountPointsAndUnknownDisksRunNothing) {
  InNamespace([&] {
    ModelScsiTransport node(model_, "A");
    ModelScsiTransport::Installed installed(&node);
    const std::vector<std::vector<std::string>> refused = {
        {Mnt("fine"), "relative/dir"},
        {Mnt("fine"), Mnt("quote\"d")},
        {Mnt("fine"), ""},
    };
    for (const auto& mountPoints : refused) {
      LinuxDisk::StartHardDisk(idV_, mountPoints, 5);
      EXPECT_EQ(0, MountedPartitionsOf("/dev/sdv"));
      EXPECT_FALSE(Exists(Mnt("fine")));
      EXPECT_EQ(0, node.Opens()) << "the disk was fenced for a refused start";
    }
    EXPECT_FALSE(LinuxDisk::IsUsableMountPoint("relative"));
    EXPECT_TRUE(LinuxDisk::IsUsableMountPoint("/srv/with space"));

    const std::string unknown(32, 'f');
    LinuxDisk::StartHardDisk(unknown, {Mnt("fine")}, 5);
    LinuxDisk::StopHardDisk(unknown, 5);
    EXPECT_FALSE(LinuxDisk::TestHardDisk(unknown, {Mnt("fine")}));
    EXPECT_FALSE(LinuxDisk::HasHardDisk(unknown));
    EXPECT_EQ(0, node.Opens());
    EXPECT_FALSE(Exists(Mnt("fine")));
  });
}

}  // namespace
