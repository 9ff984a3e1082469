#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "DiskFixture.h"
#include "storage/DiskIdentityStamp.h"
#include "storage/LinuxDisk.h"
#include "storage/QuorumSector.h"
#include "support/LoopDevice.h"
#include "support/SkipRule.h"
#include "support/TempDir.h"
#include "support/TestEnv.h"

using Oxbrindale::Velmora::Framework::DiskIdentityStamp;
using Oxbrindale::Velmora::Framework::LinuxDisk;
using Oxbrindale::Velmora::Framework::QuorumSector;
using storage_test::DigestOfImage;
using storage_test::DiskFixture;
using storage_test::kMiB;
using storage_test::ReadAt;
using storage_test::WriteAt;

namespace {

const uint64_t kSideFalseSector = 2097664;
const uint64_t kSideTrueSector = 2098176;

std::string Sector(const QuorumSector& record) {
  std::string bytes(512, '\0');
  record.Encode(reinterpret_cast<unsigned char*>(&bytes[0]));
  return bytes;
}

QuorumSector Decode(const std::string& bytes) {
  return QuorumSector::Decode(reinterpret_cast<const unsigned char*>(bytes.data()));
}

std::string Text(const QuorumSector& s) {
  return "{" + std::to_string(s.present) + "," + std::to_string(s.side) + "," + std::to_string(s.roll) + "," +
         std::to_string(s.locked) + "}";
}

// One quorum disk "sdq" in a fixture root.
class QuorumArbitrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!tarrow_test::LoopDevice::Supported(&why)) TARROW_SKIP_UNLESS_PRIVILEGED(why);
    UseImage(4 * kMiB);
  }

  void TearDown() override { env_.reset(); }

  void UseImage(uint64_t bytes) {
    env_.reset();
    fixture_.reset(new DiskFixture());
    image_ = fixture_->MakeImage("quorum", bytes, 'Q');
    std::string why;
    ASSERT_TRUE(fixture_->AddDevice("sdq", image_, &why)) << why;
    fixture_->AddByPathLink("pci-0000:00:10.0-scsi-0:0:3:0", "sdq");
    id_ = DigestOfImage(image_);
    env_.reset(new tarrow_test::TestEnv(app_.Path(), fixture_->Root()));
  }

  std::string Loop() const { return fixture_->LoopOf("sdq"); }
  static uint64_t Own(bool side) { return side ? kSideTrueSector : kSideFalseSector; }
  static uint64_t Peer(bool side) { return Own(!side); }

  tarrow_test::TempDir app_;
  std::unique_ptr<DiskFixture> fixture_;
  std::unique_ptr<tarrow_test::TestEnv> env_;
  std::string image_;
  std::string id_;
};

}  // namespace

TEST(QuorumSectorLayout, WordsAreLittleEndianAtTheirOffsets) {
  EXPECT_EQ(2097664u, QuorumSector::OffsetOf(false));
  EXPECT_EQ(2098176u, QuorumSector::OffsetOf(true));
  std::string bytes = Sector(QuorumSector(1, 1, 0x0102, 1));
  EXPECT_EQ(std::string("\x01\x00\x01\x00\x02\x01\x01\x00", 8), bytes.substr(0, 8));
  EXPECT_EQ(std::string(504, '\0'), bytes.substr(8));
  EXPECT_EQ("{1,1,258,1}", Text(Decode(bytes)));
}

// What the peer's sector holds when the arbitration starts decides it.
TEST_F(QuorumArbitrationTest, PlantedPeerSectorDecides) {
  struct Case {
    const char* name;
    QuorumSector peer;
    QuorumSector ownBefore;
    bool wins;
  } cases[] = {
      {"peer clear", QuorumSector(), QuorumSector(), true},
      {"peer present: lose at once", QuorumSector(1, 0, 0, 0), QuorumSector(), false},
      {"peer present and locked", QuorumSector(1, 0, 1, 1), QuorumSector(), false},
      {"peer locked, present 0: lose after one roll", QuorumSector(0, 0, 0, 1), QuorumSector(), false},
      {"own stale lock from an earlier run, peer clear", QuorumSector(), QuorumSector(1, 0, 1, 1), true},
  };
  for (bool side : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (side ? ", side true" : ", side false"));
      QuorumSector peer = c.peer;
      peer.side = side ? 0 : 1;
      QuorumSector ownBefore = c.ownBefore;
      ownBefore.side = side ? 1 : 0;
      ASSERT_TRUE(WriteAt(Loop(), Peer(side), Sector(peer)));
      ASSERT_TRUE(WriteAt(Loop(), Own(side), Sector(ownBefore)));

      EXPECT_EQ(c.wins, LinuxDisk::TryGetQuorumPrim(id_, side));

      QuorumSector own = Decode(ReadAt(image_, Own(side), 512));
      if (c.wins) {
        // The winner's own record, locked.
        EXPECT_EQ(1, own.present);
        EXPECT_EQ(side ? 1 : 0, own.side);
        EXPECT_LE(own.roll, 1);
        EXPECT_EQ(1, own.locked);
        std::string raw = ReadAt(image_, Own(side), 512);
        EXPECT_EQ(std::string(504, '\0'), raw.substr(8));
      } else {
        EXPECT_EQ(std::string(512, '\0'), ReadAt(image_, Own(side), 512)) << "a loser leaves its sector clear";
      }
      EXPECT_EQ(Sector(peer), ReadAt(image_, Peer(side), 512)) << "the peer's sector is never written";
    }
  }
}

TEST_F(QuorumArbitrationTest, WinnerHoldsTheDiskUntilItReleasesIt) {
  ASSERT_TRUE(LinuxDisk::TryGetQuorumPrim(id_, true));
  EXPECT_FALSE(LinuxDisk::TryGetQuorumPrim(id_, false)) << "the peer finds it held";
  EXPECT_EQ(std::string(512, '\0'), ReadAt(image_, kSideFalseSector, 512));

  LinuxDisk::ResetQuorumInfo(id_, true);
  EXPECT_EQ(std::string(512, '\0'), ReadAt(image_, kSideTrueSector, 512));
  EXPECT_TRUE(LinuxDisk::TryGetQuorumPrim(id_, false));
}

TEST_F(QuorumArbitrationTest, ResetClearsTheOwnSectorOnly) {
  ASSERT_TRUE(WriteAt(Loop(), kSideFalseSector, Sector(QuorumSector(1, 0, 1, 1))));
  ASSERT_TRUE(WriteAt(Loop(), kSideTrueSector, Sector(QuorumSector(1, 1, 0, 1))));
  LinuxDisk::ResetQuorumInfo(id_, false);
  EXPECT_EQ(std::string(512, '\0'), ReadAt(image_, kSideFalseSector, 512));
  EXPECT_EQ("{1,1,0,1}", Text(Decode(ReadAt(image_, kSideTrueSector, 512))));
  LinuxDisk::ResetQuorumInfo("", true);  // no disk: nothing
  LinuxDisk::ResetQuorumInfo("ffffffffffffffffffffffffffffffff", true);
  EXPECT_EQ("{1,1,0,1}", Text(Decode(ReadAt(image_, kSideTrueSector, 512))));
}

TEST_F(QuorumArbitrationTest, NoDiskNoArbitration) {
  EXPECT_FALSE(LinuxDisk::TryGetQuorumPrim("", true));
  EXPECT_FALSE(LinuxDisk::TryGetQuorumPrim("ffffffffffffffffffffffffffffffff", true));
  EXPECT_EQ(std::string(1024, '\0'), ReadAt(image_, kSideFalseSector, 1024)) << "nothing written";
}

// A disk that ends inside the sectors: a short read or a failed write loses.
TEST_F(QuorumArbitrationTest, ShortReadOrFailedWriteLoses) {
  UseImage(kSideTrueSector);  // the sector of side true lies past the end
  // Side false: its first look at the peer's sector reads nothing.
  EXPECT_FALSE(LinuxDisk::TryGetQuorumPrim(id_, false));
  EXPECT_EQ(std::string(512, '\0'), ReadAt(image_, kSideFalseSector, 512));
  // Side true: the peer's sector reads clear, its own roll cannot be written.
  EXPECT_FALSE(LinuxDisk::TryGetQuorumPrim(id_, true));
}

TEST_F(QuorumArbitrationTest, ReadOnlyDiskLoses) {
  env_.reset();
  DiskFixture readOnly;
  const std::string image = readOnly.MakeImage("ro", 4 * kMiB, 'R');
  std::string why;
  ASSERT_TRUE(readOnly.AddDevice("sdq", image, &why, true)) << why;
  readOnly.AddByPathLink("pci-0000:00:10.0-scsi-0:0:3:0", "sdq");
  tarrow_test::TestEnv env(app_.Path(), readOnly.Root());
  EXPECT_FALSE(LinuxDisk::TryGetQuorumPrim(DigestOfImage(image), true));
}

// The quorum disk stays the quorum disk for a node that starts afresh after
// the transport has rewritten its first sectors.
TEST_F(QuorumArbitrationTest, RestartedNodeFindsTheQuorumDiskByItsIdentity) {
  // The "restarted" node: a process that has looked nothing up yet.
  int go[2], result[2];
  ASSERT_EQ(0, pipe(go));
  ASSERT_EQ(0, pipe(result));
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(go[1]);
    close(result[0]);
    char c;
    if (read(go[0], &c, 1) != 1) _exit(2);
    std::string path = LinuxDisk::GetQuorumDiskPathByDiskID(id_);
    char answer = path != "/dev/sdq" ? 'n' : (LinuxDisk::TryGetQuorumPrim(id_, false) ? 'w' : 'l');
    if (write(result[1], &answer, 1) != 1) _exit(3);
    _exit(0);
  }
  close(go[0]);
  close(result[1]);

  // This node finds the disk, arbitrates, then the transport writes.
  ASSERT_TRUE(LinuxDisk::TryGetQuorumPrim(id_, true));
  LinuxDisk::ResetQuorumInfo(id_, true);
  ASSERT_TRUE(WriteAt(Loop(), 0, std::string(64 * 1024, 'x')));
  ASSERT_TRUE(WriteAt(Loop(), kMiB, std::string(64 * 1024, 'y')));
  ASSERT_NE(id_, LinuxDisk::GetDiskSign("/dev/sdq"));
  EXPECT_EQ(id_, DiskIdentityStamp::Read("/dev/sdq"));

  char c = 'g';
  ASSERT_EQ(1, write(go[1], &c, 1));
  char answer = '?';
  EXPECT_EQ(1, read(result[0], &answer, 1));
  int status = 0;
  waitpid(child, &status, 0);
  close(go[1]);
  close(result[0]);
  EXPECT_EQ('w', answer) << "n: not found, l: lost, ?: no answer";
}
