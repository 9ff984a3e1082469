#include <gtest/gtest.h>

#include <string>

#include "storage/DeviceName.h"
#include "storage/MountField.h"

using Oxbrindale::Velmora::Framework::DeviceName;
using Oxbrindale::Velmora::Framework::MountField;

TEST(DeviceName, SplitsAPartitionIntoItsDiskAndNumber) {
  struct Case {
    const char* text;
    bool split;
    const char* disk;
    const char* number;
  } cases[] = {
      {"/dev/sdb1", true, "/dev/sdb", "1"},      {"sdb12", true, "sdb", "12"},
      {"/dev/loop0p1", true, "/dev/loop0", "1"}, {"nvme0n1p2", true, "nvme0n1", "2"},
      {"mmcblk0p10", true, "mmcblk0", "10"},     {"/dev/sdp1", true, "/dev/sdp", "1"},
      {"/dev/sdb", false, "/dev/sdb", ""},       {"", false, "", ""},
      {"/dev/md0", true, "/dev/md", "0"},  // a bare name cannot tell a disk from a partition
  };
  for (const Case& c : cases) {
    std::string disk = "x", number = "x";
    EXPECT_EQ(c.split, DeviceName::SplitPartition(c.text, disk, number)) << c.text;
    EXPECT_EQ(c.disk, disk) << c.text;
    EXPECT_EQ(c.number, number) << c.text;
  }
}

TEST(DeviceName, MatchesTheDiskAndItsPartitionsOnly) {
  struct Case {
    const char* name;
    const char* disk;
    bool partition;
    bool diskOrPartition;
  } cases[] = {
      {"sdb1", "sdb", true, true},       {"sdb10", "sdb", true, true},      {"/dev/sdb2", "/dev/sdb", true, true},
      {"sdb", "sdb", false, true},       {"sdba1", "sdb", false, false},  // a sibling disk's partition
      {"sdba", "sdb", false, false},     {"sd", "sdb", false, false},       {"loop0p1", "loop0", true, true},
      {"loop01", "loop0", false, false},  // loop01 is not a partition of loop0
      {"loop0p", "loop0", false, false}, {"loop10", "loop1", false, false}, {"sdb1", "", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.partition, DeviceName::IsPartitionOf(c.name, c.disk)) << c.name << " of " << c.disk;
    EXPECT_EQ(c.diskOrPartition, DeviceName::IsDiskOrPartitionOf(c.name, c.disk)) << c.name << " of " << c.disk;
  }
  EXPECT_EQ("sdb1", DeviceName::LastPiece("/dev/sdb1"));
  EXPECT_EQ("sdb", DeviceName::LastPiece("sdb"));
  EXPECT_EQ("sdc", DeviceName::LastPiece("../../sdc"));
}

TEST(MountField, DecodesEveryOctalEscape) {
  struct Case {
    const char* field;
    std::string decoded;
  } cases[] = {
      {"/mnt/plain", "/mnt/plain"},
      {"/mnt/a\\040b", "/mnt/a b"},
      {"/mnt/\\040\\040two", "/mnt/  two"},
      {"/mnt/tab\\011nl\\012", "/mnt/tab\tnl\n"},
      {"/mnt/back\\134slash", "/mnt/back\\slash"},
      {"/mnt/\\303\\251t\\303\\251", "/mnt/\xc3\xa9t\xc3\xa9"},  // bytes of UTF-8
      {"/mnt/short\\04", "/mnt/short\\04"},                      // not three digits: kept
      {"/mnt/not\\089octal", "/mnt/not\\089octal"},
      {"\\", "\\"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.decoded, MountField::Decode(c.field)) << c.field;
}
