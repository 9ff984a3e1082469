#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "DiskFixture.h"
#include "ModelScsiTransport.h"
#include "NamespaceChild.h"
#include "ReservationModel.h"
#include "storage/FillKeys.h"
#include "storage/LinuxDisk.h"
#include "storage/PersistentReservation.h"
#include "storage/ScsiTransport.h"
#include "support/LoopDevice.h"
#include "support/TempDir.h"
#include "support/TestEnv.h"
#include "support/SkipRule.h"

using Oxbrindale::Velmora::Framework::FillKeys;
using Oxbrindale::Velmora::Framework::LinuxDisk;
using Oxbrindale::Velmora::Framework::PersistentReservation;
using Oxbrindale::Velmora::Framework::ScsiTransport;
using storage_test::DiskFixture;
using storage_test::ModelScsiTransport;
using storage_test::NamespaceChild;
using storage_test::ReservationModel;

namespace {

std::string Hex(const std::vector<unsigned char>& bytes) {
  std::string text;
  char buf[4];
  for (unsigned char b : bytes) {
    snprintf(buf, sizeof(buf), "%02x", b);
    if (!text.empty()) text += ' ';
    text += buf;
  }
  return text;
}

// "cdb | parameters" of every logged command.
std::vector<std::string> Commands(const std::vector<ReservationModel::Command>& log) {
  std::vector<std::string> out;
  for (const auto& c : log) out.push_back(Hex(c.cdb) + " | " + Hex(c.parameters));
  return out;
}

std::vector<int> Statuses(const std::vector<ReservationModel::Command>& log) {
  std::vector<int> out;
  for (const auto& c : log) out.push_back(c.status);
  return out;
}

const char kZeros[] = "00 00 00 00 00 00 00 00";
// "node-a" as a key.
const char kKeyA[] = "6e 6f 64 65 2d 61 00 00";

std::string Params(const std::string& key, const std::string& actionKey) {
  return key + " " + actionKey + " " + kZeros;
}

// A disk "sdr" of this test's system root (a plain file standing for the
// device, reached through /dev/disk/by-path), and a model of its
// reservations seen by two nodes.
class ReservationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string image = fixture_.MakeImage("sdr", 64 * 1024, 'R');
    ASSERT_EQ(0, symlink(image.c_str(), (fixture_.Root() + "/dev/sdr").c_str()));
    fixture_.AddByPathLink("pci-0000:00:10.0-scsi-0:0:3:0", "sdr");
    diskId_ = storage_test::DigestOfImage(image);
    env_.reset(new tarrow_test::TestEnv(app_.Path(), fixture_.Root()));
  }
  void TearDown() override {
    ScsiTransport::Set(nullptr);
    env_.reset();
  }

  // Runs body as a node whose host name is hostName.
  void AsNode(const std::string& hostName, const std::function<void()>& body) {
    NamespaceChild::Options options;
    options.hostName = hostName;
    int rc = NamespaceChild::Run(options, body);
    if (rc == NamespaceChild::kUnavailable) TARROW_SKIP_UNLESS_PRIVILEGED("no UTS namespace here");
    EXPECT_EQ(NamespaceChild::kPassed, rc) << "the body failed in its namespace (see above)";
  }

  DiskFixture fixture_;
  tarrow_test::TempDir app_;
  std::unique_ptr<tarrow_test::TestEnv> env_;
  std::string diskId_;
  ReservationModel model_;
};

TEST_F(ReservationTest, KeyIsTheFirstEightBytesOfTheHostNamePaddedWithZeros) {
  struct Case {
    const char* hostName;
    std::string key;
  };
  const std::vector<Case> cases = {
      {"ab", std::string("ab\0\0\0\0\0\0", 8)},
      {"exactly8", "exactly8"},
      {"cluster-node1", "cluster-"},  // shared with "cluster-node2": see the note on FillKeys
  };
  for (const Case& c : cases) {
    AsNode(c.hostName, [&] {
      unsigned char key[9];
      memset(key, 0x55, sizeof(key));
      FillKeys(key, 8);
      EXPECT_EQ(c.key, std::string(reinterpret_cast<char*>(key), 8)) << c.hostName;
      EXPECT_EQ(0x55, key[8]) << "FillKeys wrote past its length";
    });
  }
}

// The bytes of every command each operation sends.
TEST_F(ReservationTest, CommandBytesOfEveryOperation) {
  struct Case {
    const char* name;
    std::function<bool()> run;
    bool result;
    std::vector<std::string> commands;
  };
  const std::string registerType5 = std::string("5f 06 05 00 00 00 00 00 18 00 | ") + Params(kZeros, kKeyA);
  const std::string registerType6 = std::string("5f 06 06 00 00 00 00 00 18 00 | ") + Params(kZeros, kKeyA);
  const std::string readKeys = "5e 00 00 00 00 00 00 04 00 00 | ";
  const std::vector<Case> cases = {
      {"AddSCSI3Lock type 5", [&] { return LinuxDisk::AddSCSI3Lock(diskId_, 5); }, true,
       {registerType5, std::string("5f 01 05 00 00 00 00 00 18 00 | ") + Params(kKeyA, kZeros)}},
      {"RemoveSCSI3Lock type 6", [&] { return LinuxDisk::RemoveSCSI3Lock(diskId_, 6); }, true,
       {registerType6, std::string("5f 02 06 00 00 00 00 00 18 00 | ") + Params(kKeyA, kZeros),
        std::string("5f 03 06 00 00 00 00 00 18 00 | ") + Params(kKeyA, kZeros)}},
      {"SCSI3SupportTest on a disk without our key", [&] { return LinuxDisk::SCSI3SupportTest(diskId_); }, true,
       {readKeys, registerType6, readKeys,
        std::string("5f 06 06 00 00 00 00 00 18 00 | ") + Params(kZeros, kZeros)}},
  };
  AsNode("node-a", [&] {
    ModelScsiTransport node(model_, "A");
    ModelScsiTransport::Installed installed(&node);
    for (const Case& c : cases) {
      model_.ClearLog();
      EXPECT_EQ(c.result, c.run()) << c.name;
      EXPECT_EQ(c.commands, Commands(model_.Log())) << c.name;
      EXPECT_EQ(0, node.OpenNow()) << c.name << ": descriptor left open";
    }
  });
}

TEST_F(ReservationTest, TwoNodesReserveConflictAndRelease) {
  ModelScsiTransport nodeA(model_, "A");
  ModelScsiTransport nodeB(model_, "B");
  AsNode("node-a", [&] {
    {
      ModelScsiTransport::Installed installed(&nodeA);
      ASSERT_TRUE(LinuxDisk::AddSCSI3Lock(diskId_, 5));
    }
    EXPECT_EQ("A", model_.Holder());
    EXPECT_EQ(5, model_.ReservationType());

    // The peer's reserve ends in a reservation conflict; the result still
    // says only that the disk took its registration.
    ASSERT_EQ(0, sethostname("node-b", 6));
    {
      ModelScsiTransport::Installed installed(&nodeB);
      model_.ClearLog();
      EXPECT_TRUE(LinuxDisk::AddSCSI3Lock(diskId_, 5));
      EXPECT_EQ((std::vector<int>{0x00, 0x18}), Statuses(model_.Log()));
    }
    EXPECT_EQ("A", model_.Holder());
    EXPECT_EQ(2u, model_.Registrations().size());

    // The holder releases (and clears): the peer can take the disk now.
    ASSERT_EQ(0, sethostname("node-a", 6));
    {
      ModelScsiTransport::Installed installed(&nodeA);
      EXPECT_TRUE(LinuxDisk::RemoveSCSI3Lock(diskId_, 5));
    }
    EXPECT_EQ("", model_.Holder());
    EXPECT_TRUE(model_.Registrations().empty());
    ASSERT_EQ(0, sethostname("node-b", 6));
    {
      ModelScsiTransport::Installed installed(&nodeB);
      EXPECT_TRUE(LinuxDisk::AddSCSI3Lock(diskId_, 5));
    }
    EXPECT_EQ("B", model_.Holder());
  });
}

// Validating a disk volume record on one node runs the support test; the
// other node, which holds the disk, keeps its registration and reservation.
TEST_F(ReservationTest, SupportTestLeavesTheOtherNodesReservationInPlace) {
  ModelScsiTransport nodeA(model_, "A");
  ModelScsiTransport nodeB(model_, "B");
  AsNode("node-b", [&] {
    {
      ModelScsiTransport::Installed installed(&nodeB);
      ASSERT_TRUE(LinuxDisk::AddSCSI3Lock(diskId_, 6));
    }
    const auto before = model_.Registrations();
    ASSERT_EQ(0, sethostname("node-a", 6));
    ModelScsiTransport::Installed installed(&nodeA);
    EXPECT_TRUE(LinuxDisk::SCSI3SupportTest(diskId_));
    EXPECT_EQ(before, model_.Registrations()) << "the test left a registration or took one away";
    EXPECT_EQ("B", model_.Holder());
    EXPECT_EQ(6, model_.ReservationType());

    // This node registered already (it holds the disk itself): the test
    // reads the keys and touches nothing.
    ASSERT_TRUE(LinuxDisk::RemoveSCSI3Lock(diskId_, 6));
    ASSERT_TRUE(LinuxDisk::AddSCSI3Lock(diskId_, 6));
    model_.ClearLog();
    EXPECT_TRUE(LinuxDisk::SCSI3SupportTest(diskId_));
    ASSERT_EQ(1u, model_.Log().size());
    EXPECT_EQ(0x5E, model_.Log()[0].cdb[0]);
    EXPECT_EQ("A", model_.Holder());
  });
}

TEST_F(ReservationTest, DiskWithoutReservationsFailsAtRegistration) {
  model_.SetMode(ReservationModel::NOT_SUPPORTED);
  ModelScsiTransport node(model_, "A");
  ModelScsiTransport::Installed installed(&node);
  EXPECT_FALSE(LinuxDisk::AddSCSI3Lock(diskId_, 5));
  ASSERT_EQ(1u, model_.Log().size()) << "actions sent after a refused registration";
  EXPECT_EQ(0x06, model_.Log()[0].cdb[1]);
  EXPECT_FALSE(LinuxDisk::RemoveSCSI3Lock(diskId_, 5));
  EXPECT_FALSE(LinuxDisk::SCSI3SupportTest(diskId_));
  EXPECT_EQ(0, node.OpenNow());
}

// A command lost on the way (adapter status set, status byte 0) is a failure.
TEST_F(ReservationTest, FailedPathIsNoSuccess) {
  model_.SetMode(ReservationModel::BROKEN_PATH);
  ModelScsiTransport node(model_, "A");
  ModelScsiTransport::Installed installed(&node);
  EXPECT_FALSE(LinuxDisk::AddSCSI3Lock(diskId_, 5));
  EXPECT_EQ(1u, model_.Log().size());
  EXPECT_FALSE(LinuxDisk::SCSI3SupportTest(diskId_));
  int status = -1;
  unsigned char cdb[10];
  unsigned char list[24] = {0};
  PersistentReservation::BuildOutCdb(PersistentReservation::REGISTER_AND_IGNORE_EXISTING_KEY, 5, cdb);
  int fd = node.Open("/dev/sdr");
  EXPECT_FALSE(LinuxDisk::CarryCDB(fd, cdb, 10, list, 24, &status, ScsiTransport::TO_DEVICE));
  EXPECT_EQ(-1, status) << "status written for a failed command";
  node.Close(fd);
}

TEST_F(ReservationTest, UnknownDiskOpensNothing) {
  ModelScsiTransport node(model_, "A");
  ModelScsiTransport::Installed installed(&node);
  for (const std::string& id : {std::string(), std::string(32, '0')}) {
    EXPECT_FALSE(LinuxDisk::AddSCSI3Lock(id, 5));
    EXPECT_FALSE(LinuxDisk::RemoveSCSI3Lock(id, 5));
    EXPECT_FALSE(LinuxDisk::SCSI3SupportTest(id));
  }
  EXPECT_EQ(0, node.Opens());
  EXPECT_TRUE(model_.Log().empty());
}

// The real transport (SG_IO) on a loop device, which is no SCSI device.
TEST(RealScsiTransportTest, LoopDeviceAnswersNotSupported) {
  std::string why;
  if (!tarrow_test::LoopDevice::Supported(&why)) TARROW_SKIP_UNLESS_PRIVILEGED(why);
  DiskFixture fixture;
  const std::string image = fixture.MakeImage("sdr", 1024 * 1024, 'L');
  ASSERT_TRUE(fixture.AddDevice("sdr", image, &why)) << why;
  fixture.AddByPathLink("pci-0000:00:10.0-scsi-0:0:4:0", "sdr");
  tarrow_test::TempDir app;
  tarrow_test::TestEnv env(app.Path(), fixture.Root());
  const std::string id = storage_test::DigestOfImage(image);
  ASSERT_EQ("/dev/sdr", LinuxDisk::GetDiskPathByDiskID(id));

  EXPECT_FALSE(LinuxDisk::SCSI3SupportTest(id));
  EXPECT_FALSE(LinuxDisk::AddSCSI3Lock(id, 5));
  EXPECT_FALSE(LinuxDisk::RemoveSCSI3Lock(id, 6));

  ScsiTransport* real = ScsiTransport::Get();
  int fd = real->Open("/dev/sdr");
  ASSERT_GE(fd, 0);
  unsigned char cdb[10];
  unsigned char list[24] = {0};
  PersistentReservation::BuildOutCdb(PersistentReservation::REGISTER_AND_IGNORE_EXISTING_KEY, 6, cdb);
  int status = -1;
  EXPECT_FALSE(LinuxDisk::CarryCDB(fd, cdb, 10, list, 24, &status, ScsiTransport::TO_DEVICE));
  EXPECT_EQ(-1, status);
  real->Close(fd);
}

}  // namespace
