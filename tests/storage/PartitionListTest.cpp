#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "SampleDisksTest.h"
#include "storage/LinuxDisk.h"
#include "support/TempDir.h"
#include "support/TestEnv.h"

using Oxbrindale::Velmora::Entity::PartitionEntity;
using Oxbrindale::Velmora::Framework::LinuxDisk;
using storage_test::SampleDisksTest;

namespace {

// What "fdisk -l" shows, after more than a pipe's worth of other lines (a
// program that is not read while it runs blocks before it gets here).
std::string FdiskOutput() {
  std::ostringstream out;
  for (int i = 0; i < 6000; ++i) out << "Disk /dev/other" << i << ": 1 GiB, 1073741824 bytes, 2097152 sectors\n";
  out << "Disk /dev/sdq: 4 MiB, 4194304 bytes, 8192 sectors\n"
         "Device     Boot Start   End Sectors  Size Id Type\n"
         "/dev/sdq1  *     2048  4095    2048    1M 83 Linux\n"
         "/dev/sdq2        4096  8191    4096    2M 82 Linux swap / Solaris\n"
         "/dev/sdq3\t      100   200     100   50K 83 Linux\n"
         "/dev/sdq10       300   400     100   50K 83 Linux\n"
         "\n"
         "Disk /dev/sdqq: 4 MiB, 4194304 bytes, 8192 sectors\n"
         "/dev/sdqq1       2048  8191    6144    3M 83 Linux\n"
         "Disk /dev/mmc0: 16 KiB\n"
         "/dev/mmc0p2        1    31      31  15.5K 83 Linux\n";
  return out.str();
}

// Only sdq10 is mounted: sdq1 is not, whatever its name shares with it.
const char kMountOutput[] =
    "proc on /proc type proc (rw,nosuid)\n"
    "/dev/sdq10 on /mnt/ten type ext4 (rw,relatime)\n";

// Stub "fdisk" and "mount" first on PATH, each printing its planted output
// and counting its runs.
class StubPrograms {
 public:
  StubPrograms() {
    const std::string d = dir_.Path();
    dir_.Write("fdisk.out", FdiskOutput());
    dir_.Write("mount.out", kMountOutput);
    Script("fdisk", "echo \"$@\" >> " + d + "fdisk.runs\ncat " + d + "fdisk.out\n");
    Script("mount", "echo \"$@\" >> " + d + "mount.runs\ncat " + d + "mount.out\n");
    const char* path = getenv("PATH");
    oldPath_ = path == nullptr ? "" : path;
    setenv("PATH", (d + ":" + oldPath_).c_str(), 1);
  }
  ~StubPrograms() { setenv("PATH", oldPath_.c_str(), 1); }

  // Arguments of every run, one line per run.
  std::string Runs(const std::string& program) const { return dir_.Read(program + ".runs"); }

 private:
  void Script(const std::string& name, const std::string& body) {
    dir_.Write(name, "#!/bin/sh\n" + body);
    chmod(dir_.File(name).c_str(), 0755);
  }

  tarrow_test::TempDir dir_;
  std::string oldPath_;
};

class PartitionListTest : public SampleDisksTest {
 protected:
  void SetUp() override {
    SampleDisksTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    stubs_.reset(new StubPrograms());
  }

  void TearDown() override {
    SampleDisksTest::TearDown();
    stubs_.reset();
  }

  static std::vector<std::string> Texts(const std::vector<PartitionEntity*>& list) {
    std::vector<std::string> out;
    for (PartitionEntity* p : list) out.push_back(p->ToString());
    return out;
  }

  std::unique_ptr<StubPrograms> stubs_;
};

void DeleteList(std::vector<PartitionEntity*>* list) {
  for (PartitionEntity* p : *list) delete p;
  delete list;
}

}  // namespace

TEST_F(PartitionListTest, EveryPartitionOfFdiskWithItsVolumeUuidAndSize) {
  std::vector<PartitionEntity*>* list = LinuxDisk::GetPartitionList(false);
  EXPECT_EQ((std::vector<std::string>{
                idA_ + "N1\n/dev/sdq1\n1048576\n0",
                idA_ + "N2\n/dev/sdq2\n2097152\n0",
                idA_ + "N3\n/dev/sdq3\n0\n0",  // not in /proc/partitions
                idA_ + "N10\n/dev/sdq10\n524288\n0",
                idB_ + "N1\n/dev/sdqq1\n4194304\n0",
                idC_ + "N2\n/dev/mmc0p2\n1572864\n0",
            }),
            Texts(*list));
  DeleteList(list);
  EXPECT_EQ("-l\n", stubs_->Runs("fdisk"));
  EXPECT_EQ("\n", stubs_->Runs("mount"));
}

TEST_F(PartitionListTest, UsedPartitionsAreLeftOutByExactDeviceOnly) {
  std::vector<PartitionEntity*>* list = LinuxDisk::GetPartitionList(true);
  // sdq2 is swap, sdq10 is mounted; sdq1 stays although "/dev/sdq10" begins with it.
  EXPECT_EQ((std::vector<std::string>{
                idA_ + "N1\n/dev/sdq1\n1048576\n0",
                idA_ + "N3\n/dev/sdq3\n0\n0",
                idB_ + "N1\n/dev/sdqq1\n4194304\n0",
                idC_ + "N2\n/dev/mmc0p2\n1572864\n0",
            }),
            Texts(*list));
  EXPECT_TRUE(PartitionEntity::find(*list, "/dev/sdq3"));
  EXPECT_FALSE(PartitionEntity::find(*list, "/dev/sdq10"));
  DeleteList(list);
}

// Runs under ThreadSanitizer too.
class PartitionCacheConcurrency : public PartitionListTest {};

TEST_F(PartitionCacheConcurrency, ListIsBuiltOnceForAllCallers) {
  std::vector<const std::vector<PartitionEntity*>*> seen(8, nullptr);
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&, i] {
      while (!go.load()) std::this_thread::yield();
      seen[i] = LinuxDisk::GetCachedPartitionList();
    });
  }
  go = true;
  for (auto& t : threads) t.join();
  for (auto* list : seen) EXPECT_EQ(seen[0], list);
  ASSERT_NE(nullptr, seen[0]);
  EXPECT_EQ("-l\n", stubs_->Runs("fdisk")) << "fdisk ran once";
  EXPECT_EQ(4u, seen[0]->size());

  EXPECT_EQ(idB_ + "N1", LinuxDisk::GetUUIDByVolumePath("/dev/sdqq1"));
  EXPECT_EQ("/dev/sdq3", LinuxDisk::GetVolumePathByUUID(idA_ + "N3"));
  EXPECT_EQ("", LinuxDisk::GetUUIDByVolumePath("/dev/sdq10"));  // mounted at the first call
  EXPECT_EQ("", LinuxDisk::GetVolumePathByUUID(idA_ + "N9"));
  EXPECT_EQ("-l\n", stubs_->Runs("fdisk")) << "later calls use the cache";
}
