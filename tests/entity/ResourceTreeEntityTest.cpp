#include "entity/ResourceTreeEntity.h"

#include <gtest/gtest.h>

#include <memory>

#include "EntityTestUtil.h"
#include "config/ResourceTreeConfig.h"
#include "config/sResourceTreeRel.h"
#include "entity/ResourceEntity.h"

using Oxbrindale::Velmora::Config::ResourceTreeConfig;
using Oxbrindale::Velmora::Config::sResourceTreeRel;
using Oxbrindale::Velmora::Entity::ResourceEntity;
using Oxbrindale::Velmora::Entity::ResourceTreeEntity;
using entity_test::Lines;

namespace {

const std::string kTreeConfig =
    "1\n数据库\ntrue\nfalse\ntrue\ntrue\n{11111111-2222-3333-4455-66778899AABB}\n3\n1N3N0|M4N2N1|0";
const std::string kBareTreeConfig = "5\n\nfalse\nfalse\nfalse\nfalse\n\n0\n";  // no relations: empty last line

const std::string kIpResource =
    "-1\n1\n7\n0\n0\n1\nN/A\n0\n-1\n1\n0\n{11111111-2222-3333-4455-66778899AABB}\n0\n0\n"
    "0\nip\n1000\n3\n3\n7\n5000\n5000\n0\n\n\n100\n60000\n1\n192.168.1.10\n255.255.255.0\neth0\n";
const std::string kDrbdResource =  // kind 8: status lines only
    "-1\n8\n2\n4\n0\n0\nN/A\n1700000000\n-1\n1\n1\n{11111111-2222-3333-4455-66778899AABB}\n1\n0";

// A resource tree: borrows a configuration and resources owned elsewhere.
class FakeTree : public ResourceTreeEntity {
 public:
  using ResourceTreeEntity::SetConfig;
  using ResourceTreeEntity::SetStatu;
};

// A tree whose configuration holds these relations (in-tree id, relied-on ids).
class RelationTree {
 public:
  explicit RelationTree(const std::vector<std::pair<uint32_t, std::vector<uint32_t>>>& relations) {
    std::vector<sResourceTreeRel> list;
    for (const auto& relation : relations) {
      sResourceTreeRel rel;
      rel.kind = 5;
      rel.configId = relation.first;
      rel.inTreeId = relation.first;
      rel.relyOn = relation.second;
      list.push_back(rel);
    }
    _config.SetRelations(list);
    _tree.SetConfig(&_config);
  }
  ResourceTreeEntity& Tree() { return _tree; }

 private:
  ResourceTreeConfig _config;
  FakeTree _tree;
};

}  // namespace

TEST(ResourceTreeEntityText, DefaultTreeBorrowsConfigurationAndResources) {
  std::vector<std::string> lines = Lines(kTreeConfig);
  unsigned index = 0;
  ResourceTreeConfig config(&lines, &index);
  ResourceEntity first(1, 7);
  ResourceEntity second(4, 2);
  second.SetInTreeId(1);
  {
    FakeTree tree;
    EXPECT_EQ(-1, tree.GetStatu());
    EXPECT_FALSE(tree.IsHostStart());
    EXPECT_EQ(nullptr, tree.GetConfig());
    tree.SetConfig(&config);
    EXPECT_EQ("-1\n" + kTreeConfig + "\n0", tree.ToString());  // no resources: ends with the count
    tree.SetStatu(2);
    tree.GetResourceList()->push_back(&first);
    tree.GetResourceList()->push_back(&second);
    EXPECT_EQ("2\n" + kTreeConfig + "\n2\n" + first.ToString() + "\n" + second.ToString(), tree.ToString());
  }
  // The tree freed neither (the sanitizer build reports a double free otherwise).
  EXPECT_EQ(kTreeConfig, config.ToString());
  EXPECT_EQ(1u, second.GetInTreeId());
}

TEST(ResourceTreeEntityParse, RoundTripTable) {
  const std::string texts[] = {
      "-1\n" + kTreeConfig + "\n0",
      "2\n" + kTreeConfig + "\n2\n" + kIpResource + "\n" + kDrbdResource,
      "-2147483648\n" + kBareTreeConfig + "\n1\n" + kDrbdResource,
      "5\n" + kBareTreeConfig + "\n0",
  };
  for (const std::string& text : texts) EXPECT_EQ(text, entity_test::RoundTrip<ResourceTreeEntity>(text));
}

TEST(ResourceTreeEntityParse, TreesFollowEachOtherInOneList) {
  std::vector<std::string> lines =
      Lines("0\n" + kBareTreeConfig + "\n0\n4\n" + kTreeConfig + "\n1\n" + kDrbdResource);
  unsigned index = 0;
  ResourceTreeEntity first(&lines, &index);
  EXPECT_EQ(11u, index);  // status, nine configuration lines, count
  ResourceTreeEntity second(&lines, &index);
  EXPECT_EQ(lines.size(), index);
  EXPECT_EQ(4, second.GetStatu());
  EXPECT_FALSE(second.IsHostStart());
  ASSERT_EQ(1u, second.GetResourceList()->size());
  EXPECT_EQ(8, (*second.GetResourceList())[0]->GetKind());
  EXPECT_EQ("{11111111-2222-3333-4455-66778899AABB}", second.GetConfig()->GetGuid());
}

TEST(ResourceTreeEntityParse, ShortInputFailsWithoutLeaking) {
  entity_test::ExpectShortInputFails<ResourceTreeEntity>("2\n" + kTreeConfig + "\n2\n" + kIpResource + "\n" +
                                                         kDrbdResource);
  // A count beyond the resources that follow.
  std::vector<std::string> lines = Lines("2\n" + kTreeConfig + "\n3\n" + kDrbdResource + "\n" + kDrbdResource);
  unsigned index = 0;
  entity_test::ExpectThrowCode([&] { ResourceTreeEntity tree(&lines, &index); }, "FORM_ERR");
}

TEST(ResourceTreeEntityLookup, FindByInTreeIdReturnsTheFirstMatch) {
  std::vector<std::string> lines = Lines("2\n" + kTreeConfig + "\n2\n" + kDrbdResource + "\n" + kDrbdResource);
  unsigned index = 0;
  ResourceTreeEntity tree(&lines, &index);
  std::vector<ResourceEntity*>& list = *tree.GetResourceList();
  EXPECT_EQ(list[0], tree.FindByInTreeId(1));
  EXPECT_EQ(nullptr, tree.FindByInTreeId(0));
  list[0]->SetInTreeId(9);
  EXPECT_EQ(list[1], tree.FindByInTreeId(1));
  EXPECT_EQ(list[0], tree.FindByInTreeId(9));
}

TEST(ResourceTreeEntityLookup, HasRelyOnIt) {
  RelationTree relations({{0, {}}, {1, {0}}, {2, {0, 1}}, {3, {}}});
  ResourceTreeEntity& tree = relations.Tree();
  EXPECT_TRUE(tree.HasRelyOnIt(0));
  EXPECT_TRUE(tree.HasRelyOnIt(1));
  EXPECT_FALSE(tree.HasRelyOnIt(2));
  EXPECT_FALSE(tree.HasRelyOnIt(3));
  EXPECT_FALSE(tree.HasRelyOnIt(7));
}

// ---- HasLoopRelyOnIt ------------------------------------------------------

TEST(ResourceTreeEntityLoop, ChainsLoopsAndSelfReliance) {
  struct Case {
    const char* what;
    std::vector<std::pair<uint32_t, std::vector<uint32_t>>> relations;
    unsigned dependent;
    unsigned reliedOn;
    bool loop;
  };
  const Case cases[] = {
      {"b relies on c, c on a", {{0, {}}, {1, {2}}, {2, {0}}}, 0, 1, true},
      {"b relies on a directly", {{0, {}}, {1, {0}}}, 0, 1, true},
      {"nothing b relies on leads to a", {{0, {}}, {1, {2}}, {2, {}}, {3, {0}}}, 0, 1, false},
      {"a relies on b already: no loop the other way", {{0, {1}}, {1, {}}}, 0, 1, false},
      {"relied-on resource has no relation", {{0, {}}}, 0, 5, false},
      {"no relations at all", {}, 0, 1, false},
      {"a resource relying on itself", {{0, {}}, {1, {0}}}, 1, 1, true},
      {"itself, even without relations", {}, 4, 4, true},
      {"b leads into a loop without a", {{0, {}}, {1, {2}}, {2, {3}}, {3, {2}}}, 0, 1, false},
      {"b leads into a loop through a", {{0, {2}}, {1, {2}}, {2, {0}}}, 0, 1, true},
      {"b relies on itself, not on a", {{0, {}}, {1, {1}}}, 0, 1, false},
      {"duplicated relation ids are all searched", {{1, {}}, {2, {}}, {1, {2}}, {2, {0}}}, 0, 1, true},
      {"duplicated relied-on ids", {{1, {2, 2, 2}}, {2, {3, 3}}, {3, {0}}}, 0, 1, true},
  };
  for (const Case& c : cases) {
    RelationTree relations(c.relations);
    EXPECT_EQ(c.loop, relations.Tree().HasLoopRelyOnIt(c.dependent, c.reliedOn)) << c.what;
  }
}

TEST(ResourceTreeEntityLoop, DeepDiamondsAndLongChainsAreWalkedToTheEnd) {
  // Twenty layers of two resources, each relying on both of the next layer:
  // 2^20 paths lead from the top to the bottom resource.
  std::vector<std::pair<uint32_t, std::vector<uint32_t>>> diamond;
  const uint32_t layers = 20;
  const uint32_t bottom = 2 * layers;
  for (uint32_t layer = 0; layer < layers; ++layer) {
    uint32_t next = 2 * (layer + 1);
    std::vector<uint32_t> relyOn{next, next + 1};
    if (layer + 1 == layers) relyOn = {bottom};
    diamond.push_back({2 * layer, relyOn});
    diamond.push_back({2 * layer + 1, relyOn});
  }
  diamond.push_back({bottom, {}});
  diamond.push_back({bottom + 1, {}});
  RelationTree diamondTree(diamond);
  EXPECT_TRUE(diamondTree.Tree().HasLoopRelyOnIt(bottom, 0));
  EXPECT_FALSE(diamondTree.Tree().HasLoopRelyOnIt(bottom + 1, 0));
  EXPECT_FALSE(diamondTree.Tree().HasLoopRelyOnIt(0, bottom));

  // A chain of 6000: resource i relies on i + 1.
  std::vector<std::pair<uint32_t, std::vector<uint32_t>>> chain;
  for (uint32_t i = 0; i < 6000; ++i) chain.push_back({i, {i + 1}});
  chain.push_back({6000, {}});
  RelationTree chainTree(chain);
  EXPECT_TRUE(chainTree.Tree().HasLoopRelyOnIt(6000, 0));
  EXPECT_FALSE(chainTree.Tree().HasLoopRelyOnIt(0, 6000));
}
