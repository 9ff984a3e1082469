// A tree builds each resource of its relations as the kind the relation
// names, from the store's record of that kind; a relation whose record is
// missing is left out.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "config/AliasResConfig.h"
#include "config/ConfigManager.h"
#include "config/CustomResConfig.h"
#include "config/DiskVolumeResConfig.h"
#include "config/DrbdResConfig.h"
#include "config/ProgramResConfig.h"
#include "resource/AliasResource.h"
#include "resource/CustomResource.h"
#include "resource/DiskVolumeResource.h"
#include "resource/DrbdResource.h"
#include "resource/KindConfigs.h"
#include "resource/ProgramResource.h"
#include "resource/ResourceTestSupport.h"

namespace resource_test {
namespace {

using namespace Oxbrindale::Velmora::Config;
using namespace Oxbrindale::Velmora::Resource;

TEST(KindTreeTest, EachRelationBecomesTheResourceOfItsKind) {
  ConfigManager* store = ConfigManager::Instance();
  CommonSettings common;
  common.id = 91000 + NextSeq();
  common.name = UniqueName("kind");
  const unsigned id = static_cast<unsigned>(common.id);
  store->EditDiskVolumeConfig()->push_back(
      MakeRecord<DiskVolumeResConfig>(common, {"0123456789abcdef0123456789abcdef", "", "", "0", "/mnt/kind"}));
  store->EditAliasConfig()->push_back(MakeRecord<AliasResConfig>(common, {"kind-alias", "", "0"}));
  store->EditProgramConfig()->push_back(MakeRecord<ProgramResConfig>(common, {"0|0", "/bin/sleep", "1000"}));
  store->EditCustomConfig()->push_back(MakeRecord<CustomResConfig>(common, {"/bin/true", "", "/bin/true", "", "0"}));
  store->EditDrbdResConfig()->push_back(MakeRecord<DrbdResConfig>(common, {"r0", "/mnt/mirror"}));

  std::unique_ptr<ResourceTreeConfig> config(new ResourceTreeConfig());
  config->SetId(91000 + static_cast<uint32_t>(NextSeq()));
  config->SetName(UniqueName("kind-tree"));
  std::vector<sResourceTreeRel> relations;
  unsigned inTree = 0;
  for (unsigned kind : {0u, 2u, 4u, 5u, 8u, 4u}) {
    sResourceTreeRel relation;
    relation.kind = kind;
    relation.configId = ++inTree == 6 ? id + 1 : id;  // the last one names no record
    relation.inTreeId = inTree;
    relations.push_back(relation);
  }
  config->SetRelations(relations);

  ResourceTree tree;
  tree.ActiveTheTreeThread(config.get(), RES_OP_NONE);
  EXPECT_EQ(5, tree.GetResourceCount());
  tree.Lock();
  EXPECT_NE(nullptr, dynamic_cast<DiskVolumeResource*>(tree.FindResourceById(0, common.id)));
  EXPECT_NE(nullptr, dynamic_cast<AliasResource*>(tree.FindResourceById(2, common.id)));
  EXPECT_NE(nullptr, dynamic_cast<ProgramResource*>(tree.FindResourceById(4, common.id)));
  EXPECT_NE(nullptr, dynamic_cast<CustomResource*>(tree.FindResourceById(5, common.id)));
  EXPECT_NE(nullptr, dynamic_cast<DrbdResource*>(tree.FindResourceById(8, common.id)));
  EXPECT_EQ(nullptr, tree.FindResourceById(4, common.id + 1));
  tree.UnLock();

  tree.DestoryTheTreeThread();
  EXPECT_TRUE(WaitUntil([&] { return tree.GetStatu() == RES_TREE_ENDED; }, 120000));
}

}  // namespace
}  // namespace resource_test
