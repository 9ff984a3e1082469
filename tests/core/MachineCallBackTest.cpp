// A tree's call-back that a refused resource may start again, by machine
// status and tree flags: the takeover of a home tree with take-back while
// running, the start of the tree while initialising (unless the lone-node
// decision was negative), nothing otherwise.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/MachineTestSupport.h"
#include "core/ResourceTreeHandle.h"
#include "resource/FakeTree.h"
#include "resource/ResourceTree.h"

namespace core_test {
namespace {

using namespace Oxbrindale::Velmora::Core;
using Oxbrindale::Velmora::Config::ResourceTreeConfig;
using Oxbrindale::Velmora::Resource::ResourceTree;
using Oxbrindale::Velmora::Resource::ResourTreeFailEventListener;

// The node builds its trees as real trees of the test kind; *built is the
// last one built.
void BuildTestTrees(MachineNode& node, resource_test::TestTree** built) {
  node.treeMaker = [built](ResourceTreeConfig* config,
                           ResourTreeFailEventListener* listener) -> std::shared_ptr<IResourceTreeHandle> {
    resource_test::TestTree* tree = new resource_test::TestTree();
    tree->SetListener(listener);
    tree->ActiveTheTreeThread(config, Oxbrindale::Velmora::Resource::RES_OP_NONE);
    *built = tree;
    return std::make_shared<ResourceTreeHandle>(std::unique_ptr<ResourceTree>(tree));
  };
}

TEST(MachineCallBack, CanStartByStatusAndFlags) {
  enum Outcome { NOTHING, TAKEOVER, STARTED };
  struct Row {
    int statu;
    bool home;
    bool takeBack;
    bool negativeDecision;  // the lone-node decision said "stop"
    Outcome outcome;
  };
  const std::vector<Row> rows = {
      {HAM_RUNNING, true, true, false, TAKEOVER},      {HAM_RUNNING, true, false, false, NOTHING},
      {HAM_RUNNING, false, true, false, NOTHING},      {HAM_INITIALISING, true, true, false, STARTED},
      {HAM_INITIALISING, false, false, false, STARTED}, {HAM_INITIALISING, true, true, true, NOTHING},
      {HAM_INIT_START, true, true, false, NOTHING},    {HAM_TAKING_OVER, true, true, false, NOTHING},
      {HAM_FAILURE_CHECK, true, true, false, NOTHING}, {HAM_BEING_TAKEN_OVER, true, true, false, NOTHING}};
  for (size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    SCOPED_TRACE("row " + std::to_string(i));
    MachineNode node(false, 1, false);
    const std::string guid = "{CAN-START}";
    TreeFlags flags;
    flags.home = row.home;
    flags.takeBack = row.takeBack;
    ResourceTreeConfig* record = node.AddRecord(guid, flags);
    resource_test::TestTree* tree = nullptr;
    BuildTestTrees(node, &tree);
    TestMachine& machine = node.Machine();
    machine.AddResourceTree(record, false);
    if (row.negativeDecision) machine._NoHeartBeatTakeOver(false);
    machine._ForceStatu(row.statu);
    machine.OnResourceCanStart(tree);
    ASSERT_TRUE(Eventually([&] { return node.jobsDone.load() == 1; }));
    EXPECT_EQ(row.outcome == TAKEOVER ? HAM_OP_TAKEOVER : HAM_OP_REST, machine.GetPendingOperation());
    EXPECT_EQ(row.outcome == TAKEOVER ? guid : "", machine.GetOperationGuids());
    if (row.outcome == STARTED) {
      EXPECT_TRUE(Eventually([&] { return tree->GetStatu() == Oxbrindale::Velmora::Resource::RES_TREE_RUNNING; }));
    } else {
      EXPECT_EQ(Oxbrindale::Velmora::Resource::RES_TREE_STOPPED, tree->GetStatu());
      EXPECT_NE(Oxbrindale::Velmora::Resource::RES_TREE_OP_START, tree->_GetOperation());
    }
  }
}

// A take-back that comes while another takeover waits for the machine
// thread joins it; neither tree is dropped.
TEST(MachineCallBack, CanStartJoinsAQueuedTakeover) {
  MachineNode node(false, 1, false);
  const std::string guid = "{CAN-START}";
  TreeFlags flags;
  flags.home = true;
  flags.takeBack = true;
  ResourceTreeConfig* record = node.AddRecord(guid, flags);
  resource_test::TestTree* tree = nullptr;
  BuildTestTrees(node, &tree);
  TestMachine& machine = node.Machine();
  machine.AddResourceTree(record, false);
  machine._ForceStatu(HAM_RUNNING);
  ASSERT_TRUE(machine.RequestTakeOverResourceTree("{HANDED-OVER}", false));
  machine.OnResourceCanStart(tree);
  ASSERT_TRUE(Eventually([&] { return node.jobsDone.load() == 1; }));
  EXPECT_EQ(HAM_OP_TAKEOVER, machine.GetPendingOperation());
  EXPECT_EQ("{HANDED-OVER}\n" + guid, machine.GetOperationGuids());
}

}  // namespace
}  // namespace core_test
