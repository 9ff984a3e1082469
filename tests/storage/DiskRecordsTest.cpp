#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "entity/HardDiskEntity.h"
#include "entity/PartitionEntity.h"
#include "framework/Convert.h"
#include "framework/Exception.h"

using Oxbrindale::Velmora::Entity::HardDiskEntity;
using Oxbrindale::Velmora::Entity::PartitionEntity;
using Oxbrindale::Velmora::Entity::VolumeMountPointRelation;
using Oxbrindale::Velmora::Framework::Convert;

namespace {

std::vector<std::string> Lines(std::string text) { return Convert::tokenize(text, "\n", false, ""); }

}  // namespace

TEST(HardDiskEntityText, RendersAndParsesBack) {
  HardDiskEntity disk;
  disk.diskId = "0123456789abcdef0123456789abcdef";
  disk.devicePath = "/dev/sdb";
  disk.fromConfig = true;
  disk.identity = disk.diskId;
  disk.size = 8589934592LL;  // beyond 32 bits
  disk.relations = {{"/dev/sdb1", "/mnt/a b"}, {"/dev/sdb2", "/srv"}};
  const std::string text = disk.ToString();
  EXPECT_EQ(
      "0123456789abcdef0123456789abcdef\n/dev/sdb\n0\n1\n0123456789abcdef0123456789abcdef\n8589934592\n"
      "/mnt/a b\"/dev/sdb1,/srv\"/dev/sdb2",
      text);

  std::vector<std::string> lines = Lines(text);
  unsigned index = 0;
  HardDiskEntity parsed(&lines, &index);
  EXPECT_EQ(7u, index);
  EXPECT_EQ(text, parsed.ToString());
  HardDiskEntity copy(parsed);
  EXPECT_EQ(text, copy.ToString());

  HardDiskEntity bare;
  bare.diskId = bare.identity = "ff";
  bare.devicePath = "/dev/sdc";
  EXPECT_EQ("ff\n/dev/sdc\n0\n0\nff\n0\n", bare.ToString());
  lines = Lines(bare.ToString());
  index = 0;
  HardDiskEntity parsedBare(&lines, &index);
  EXPECT_TRUE(parsedBare.relations.empty());
  EXPECT_FALSE(parsedBare.fromConfig);

  lines = {"id", "/dev/sdb"};
  index = 0;
  try {
    HardDiskEntity truncated(&lines, &index);
    ADD_FAILURE() << "no exception";
  } catch (Exception* e) {
    EXPECT_EQ("FORM_ERR", e->code);
    delete e;
  }
}

TEST(HardDiskEntityText, CompareStringIsUpperCaseFromTarget) {
  HardDiskEntity disk;
  disk.identity = "iqn.2001-04.com.example:storage.disk1.target-7";
  EXPECT_EQ("TARGET-7", disk.GetCompareString());
  disk.identity = "abc";
  EXPECT_EQ("ABC", disk.GetCompareString());
}

TEST(PartitionEntityText, RendersParsesAndFinds) {
  PartitionEntity partition("0123456789abcdef0123456789abcdefN2", "/dev/sdb2", 5368709120LL);
  EXPECT_EQ("0123456789abcdef0123456789abcdefN2\n/dev/sdb2\n5368709120\n0", partition.ToString());
  std::vector<std::string> lines = Lines(partition.ToString());
  unsigned index = 0;
  PartitionEntity parsed(&lines, &index);
  EXPECT_EQ(partition.ToString(), parsed.ToString());

  std::vector<PartitionEntity*> list = {&partition};
  EXPECT_TRUE(PartitionEntity::find(list, "/dev/sdb2"));
  EXPECT_FALSE(PartitionEntity::find(list, "/dev/sdb"));
}
