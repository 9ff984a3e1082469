#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "DiskFixture.h"
#include "SampleDisksTest.h"
#include "config/ConfigManager.h"
#include "config/DiskVolumeResConfig.h"
#include "framework/Exception.h"
#include "storage/DiskIdentityStamp.h"
#include "storage/LinuxDisk.h"
#include "support/TempDir.h"
#include "support/TestEnv.h"

using Oxbrindale::Velmora::Config::ConfigManager;
using Oxbrindale::Velmora::Config::DiskVolumeResConfig;
using Oxbrindale::Velmora::Entity::HardDiskEntity;
using Oxbrindale::Velmora::Entity::PartitionEntity;
using Oxbrindale::Velmora::Entity::VolumeMountPointRelation;
using Oxbrindale::Velmora::Framework::DiskIdentityStamp;
using Oxbrindale::Velmora::Framework::LinuxDisk;
using storage_test::DiskFixture;
using storage_test::SampleDisksTest;

namespace {

const char kMounts[] =
    "sysfs /sys sysfs rw,nosuid 0 0\n"
    "/dev/sdq1 /mnt/data\\040dir ext4 rw,relatime 0 0\n"
    "/dev/sdq10 /mnt/tab\\011and\\134back\\040\\040two ext4 rw 0 0\n"
    "/dev/sdqq1 /mnt/other ext4 rw 0 0\n";

// The sample disks: whole disks "sdq" and its sibling "sdqq" (whose name
// begins with "sdq"), "mmc0" (a disk whose name ends in a digit); a by-path
// link to a partition and one to a disk that is not there.
class DiscoveryTest : public SampleDisksTest {
 protected:
  void SetUp() override {
    SampleDisksTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    fixture_.AddByPathLink("pci-0000:00:10.0-scsi-0:0:0:0", "sdq");
    fixture_.AddByPathLink("pci-0000:00:10.0-scsi-0:0:0:0-part1", "sdq1");
    fixture_.AddByPathLink("pci-0000:00:10.0-scsi-0:0:1:0", "sdqq");
    fixture_.AddByPathLink("pci-0000:00:10.0-scsi-0:0:2:0", "sdz");  // no such device
    fixture_.AddByPathLink("platform-mmc-0", "mmc0");
    fixture_.WriteSystemFile("/proc/mounts", kMounts);
  }
};

std::vector<std::string> Texts(const std::vector<VolumeMountPointRelation>& relations) {
  std::vector<std::string> out;
  for (const auto& r : relations) out.push_back(r.devicePath + " @ " + r.mountPoint);
  return out;
}

// Deletes a list of records and the list.
template <class T>
struct ListOwner {
  explicit ListOwner(std::vector<T*>* list) : list(list) {}
  ~ListOwner() {
    if (list == nullptr) return;
    for (T* item : *list) delete item;
    delete list;
  }
  std::vector<T*>* list;
};

}  // namespace

TEST_F(DiscoveryTest, DiskSignIsTheDigestOfTheFirst32KiBPaddedWithZeros) {
  EXPECT_EQ(32u, idA_.size());
  EXPECT_EQ(idA_, LinuxDisk::GetDiskSign("/dev/sdq"));
  EXPECT_EQ(idB_, LinuxDisk::GetDiskSign("/dev/sdqq"));
  EXPECT_NE(idA_, idB_);
  // mmc0 holds 16 KiB: the digest covers them and 16 KiB of zeros.
  EXPECT_EQ(idC_, LinuxDisk::GetDiskSign("/dev/mmc0"));
  EXPECT_EQ("", LinuxDisk::GetDiskSign("/dev/sdz"));
  EXPECT_EQ("", LinuxDisk::GetDiskSign(""));
}

TEST_F(DiscoveryTest, DiskIdLeadsToItsOwnDiskOnly) {
  EXPECT_EQ("/dev/sdq", LinuxDisk::GetDiskPathByDiskID(idA_));
  EXPECT_EQ("/dev/sdqq", LinuxDisk::GetDiskPathByDiskID(idB_));
  // A whole disk whose name ends in a digit is taken for a partition.
  EXPECT_EQ("", LinuxDisk::GetDiskPathByDiskID(idC_));
  EXPECT_EQ("", LinuxDisk::GetDiskPathByDiskID("0123456789abcdef0123456789abcdef"));
  EXPECT_EQ("", LinuxDisk::GetDiskPathByDiskID(""));
}

TEST_F(DiscoveryTest, PartitionsSizesAndMountsBelongToTheDiskAndNotToItsSibling) {
  EXPECT_EQ((std::vector<std::string>{"sdq1", "sdq2", "sdq10"}), LinuxDisk::GetVolumeListByHardDiskPath("/dev/sdq"));
  EXPECT_EQ((std::vector<std::string>{"sdqq1"}), LinuxDisk::GetVolumeListByHardDiskPath("/dev/sdqq"));
  EXPECT_EQ((std::vector<std::string>{"mmc0p2"}), LinuxDisk::GetVolumeListByHardDiskPath("/dev/mmc0"));
  EXPECT_TRUE(LinuxDisk::GetVolumeListByHardDiskPath("").empty());

  std::vector<std::string> lines = {"major minor  #blocks  name", "", "   8 0 4096 sdq", "8 1 1024 sdq1 extra"};
  EXPECT_EQ(4096 * 1024, LinuxDisk::GetDiskLengthByDiskName("sdq", lines));
  EXPECT_EQ(0, LinuxDisk::GetDiskLengthByDiskName("sdq1", lines));  // five fields
  EXPECT_EQ(0, LinuxDisk::GetDiskLengthByDiskName("sdx", lines));

  std::vector<std::string> mounts = {"/dev/sdq1 /mnt/data\\040dir ext4 rw 0 0",
                                     "/dev/sdq10 /mnt/tab\\011and\\134back\\040\\040two ext4 rw 0 0",
                                     "/dev/sdqq1 /mnt/other ext4 rw 0 0", "/dev/sdq /whole ext4 rw 0 0", ""};
  std::vector<VolumeMountPointRelation> relations(1);
  LinuxDisk::GetMountPointRelations("/dev/sdq", mounts, relations);
  EXPECT_EQ((std::vector<std::string>{"/dev/sdq1 @ /mnt/data dir", "/dev/sdq10 @ /mnt/tab\tand\\back  two",
                                      "/dev/sdq @ /whole"}),
            Texts(relations));
  LinuxDisk::GetMountPointRelations("/dev/sdqq", mounts, relations);
  EXPECT_EQ((std::vector<std::string>{"/dev/sdqq1 @ /mnt/other"}), Texts(relations));
}

TEST_F(DiscoveryTest, HardDiskListShowsIdentitySizeAndMountsOfEveryWholeDisk) {
  ListOwner<HardDiskEntity> disks(LinuxDisk::GetHardDiskList());
  ASSERT_NE(nullptr, disks.list);
  ASSERT_EQ(2u, disks.list->size());  // sdq and sdqq; not the partition, sdz or mmc0
  std::vector<HardDiskEntity*> sorted = *disks.list;
  std::sort(sorted.begin(), sorted.end(),
            [](HardDiskEntity* a, HardDiskEntity* b) { return a->devicePath < b->devicePath; });

  EXPECT_EQ(
      idA_ + "\n/dev/sdq\n0\n0\n" + idA_ + "\n4194304\n/mnt/data dir\"/dev/sdq1,/mnt/tab\tand\\back  two\"/dev/sdq10",
      sorted[0]->ToString());
  EXPECT_EQ(idB_ + "\n/dev/sdqq\n0\n0\n" + idB_ + "\n4194304\n/mnt/other\"/dev/sdqq1", sorted[1]->ToString());
}

TEST_F(DiscoveryTest, UnmountedConfiguredDiskListsItsConfiguredMountPoints) {
  // sdqq mounted nowhere; both disks configured as disk volumes.
  fixture_.WriteSystemFile("/proc/mounts", "/dev/sdq1 /mnt/data ext4 rw 0 0\n");
  app_.MakeDir("configs");
  ConfigManager* manager = ConfigManager::Instance();
  auto volumeFor = [](const std::string& id, const std::string& mountPoints) {
    std::vector<std::string> lines = {"3", "vol", "1000",  "3", "2", "7", "5000", "6000", "0",        "",
                                      "",  "0",   "60000", "1", id,  "",  "",     "0",    mountPoints};
    unsigned index = 0;
    return new DiskVolumeResConfig(&lines, &index);
  };
  {
    auto edit = manager->EditDiskVolumeConfig();
    edit->push_back(volumeFor(idB_, "/srv/one|/srv/two words"));
    edit->push_back(volumeFor(idA_, "/srv/never"));
  }

  ListOwner<HardDiskEntity> disks(LinuxDisk::GetHardDiskList());
  ASSERT_EQ(2u, disks.list->size());
  for (HardDiskEntity* disk : *disks.list) {
    if (disk->devicePath == "/dev/sdq") {
      EXPECT_FALSE(disk->fromConfig);
      EXPECT_EQ((std::vector<std::string>{"/dev/sdq1 @ /mnt/data"}), Texts(disk->relations));
    } else {
      EXPECT_TRUE(disk->fromConfig);
      EXPECT_EQ(idB_ + "\n/dev/sdqq\n0\n1\n" + idB_ + "\n4194304\n/srv/one\"/dev/sdqq,/srv/two words\"/dev/sdqq",
                disk->ToString());
    }
  }

  {
    auto edit = manager->EditDiskVolumeConfig();
    for (DiskVolumeResConfig* record : edit.List()) delete record;
    edit->clear();
  }
}

TEST_F(DiscoveryTest, UnreadableProcFilesPassTheIoFailureOn) {
  fixture_.RemoveSystemFile("/proc/mounts");
  try {
    delete LinuxDisk::GetHardDiskList();
    ADD_FAILURE() << "no exception";
  } catch (Exception* e) {
    EXPECT_EQ("IO", e->code);
    delete e;
  }
  fixture_.RemoveSystemFile("/proc/partitions");
  try {
    LinuxDisk::GetVolumeListByHardDiskPath("/dev/sdq");
    ADD_FAILURE() << "no exception";
  } catch (Exception* e) {
    EXPECT_EQ("IO", e->code);
    delete e;
  }
}

TEST_F(DiscoveryTest, MissingByPathDirectoryFindsNothing) {
  fixture_.Dir().MakeDir("empty");
  tarrow_test::TestEnv bare(app_.Path(), fixture_.Dir().File("empty"));
  EXPECT_EQ("", LinuxDisk::GetDiskPathByDiskID(idA_));
  EXPECT_EQ("", LinuxDisk::GetQuorumDiskPathByDiskID(idA_));
}

// A disk found once as the quorum disk stays findable by that identity after
// its first 32 KiB have changed (the quorum transport writes there).
TEST_F(DiscoveryTest, QuorumDiskKeepsItsIdentityAfterItsFirstSectorsChange) {
  EXPECT_EQ("", DiskIdentityStamp::Read("/dev/sdq"));
  EXPECT_EQ("/dev/sdq", LinuxDisk::GetDiskPathByDiskID(idA_));
  EXPECT_EQ("", DiskIdentityStamp::Read("/dev/sdq")) << "a plain lookup writes nothing";

  EXPECT_EQ("/dev/sdq", LinuxDisk::GetQuorumDiskPathByDiskID(idA_));
  EXPECT_EQ(idA_, DiskIdentityStamp::Read("/dev/sdq"));
  EXPECT_EQ("", DiskIdentityStamp::Read("/dev/sdqq"));

  // The transport's first messages.
  ASSERT_TRUE(storage_test::WriteAt(fixture_.LoopOf("sdq"), 0, std::string(4096, 'm')));
  ASSERT_NE(idA_, LinuxDisk::GetDiskSign("/dev/sdq"));

  EXPECT_EQ("/dev/sdq", LinuxDisk::GetDiskPathByDiskID(idA_));
  EXPECT_EQ("/dev/sdq", LinuxDisk::GetQuorumDiskPathByDiskID(idA_));
  ListOwner<HardDiskEntity> disks(LinuxDisk::GetHardDiskList());
  bool listed = false;
  for (HardDiskEntity* disk : *disks.list) listed = listed || (disk->diskId == idA_ && disk->devicePath == "/dev/sdq");
  EXPECT_TRUE(listed) << "the console finds the configured quorum disk in the list";

  // The device names move (another boot): the same disk is now "sdr" and
  // "sdq" is another disk; the identity still leads to the right one.
  DiskFixture moved;
  std::string why;
  ASSERT_TRUE(moved.AddDevice("sdr", imageA_, &why)) << why;
  ASSERT_TRUE(moved.AddDevice("sdq", imageB_, &why)) << why;
  moved.AddByPathLink("pci-0000:00:10.0-scsi-0:0:0:0", "sdq");
  moved.AddByPathLink("pci-0000:00:10.0-scsi-0:0:5:0", "sdr");
  tarrow_test::TestEnv movedEnv(app_.Path(), moved.Root());
  EXPECT_EQ("/dev/sdr", LinuxDisk::GetQuorumDiskPathByDiskID(idA_));
  EXPECT_EQ("/dev/sdr", LinuxDisk::GetDiskPathByDiskID(idA_));
}

TEST(DiskIdentityStampFormat, OnlyAnIntactStampCounts) {
  const std::string id = "00112233445566778899aabbccddeeff";
  unsigned char sector[512];
  DiskIdentityStamp::Encode(id, sector);
  EXPECT_EQ(0, memcmp(sector, "TARROWQUORUMDISK", 16));
  EXPECT_EQ(id, std::string(reinterpret_cast<char*>(sector) + 16, 32));
  EXPECT_EQ(id, DiskIdentityStamp::Decode(sector));
  for (int at : {0, 20, 50}) {
    unsigned char broken[512];
    memcpy(broken, sector, sizeof(broken));
    broken[at] ^= 1;
    EXPECT_EQ("", DiskIdentityStamp::Decode(broken)) << "byte " << at;
  }
  unsigned char zeros[512] = {0};
  EXPECT_EQ("", DiskIdentityStamp::Decode(zeros));
  EXPECT_FALSE(DiskIdentityStamp::IsDiskId("00112233445566778899AABBCCDDEEFF"));
  EXPECT_FALSE(DiskIdentityStamp::IsDiskId(""));
}
