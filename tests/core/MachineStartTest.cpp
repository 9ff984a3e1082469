// The start of the HA machine: without links, with a peer within the first
// wait, and alone with and without a reference address that answers; the
// start of the trees by their flags; a start step that throws.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/MachineTestSupport.h"
#include "core/PeerNode.h"
#include "support/LoopbackPorts.h"

namespace core_test {
namespace {

using namespace Oxbrindale::Velmora::Core;

class MachineStart : public ::testing::Test {
 protected:
  void SetUp() override { PingStub::Clear(); }
  void TearDown() override { PingStub::Clear(); }
};

// The trees of the start table: every combination of home, hold and managed.
struct FlagRow {
  bool home;
  bool hold;
  bool managed;
  bool started;  // else stopped
};
const std::vector<FlagRow> kFlagRows = {
    {false, false, false, false}, {false, false, true, false}, {true, false, false, false},
    {true, false, true, true},    {false, true, false, false}, {false, true, true, true},
    {true, true, false, false},   {true, true, true, true}};

std::string RowGuid(size_t i) { return "{START-" + std::to_string(i) + "}"; }

std::vector<FakeTreeHandle*> AddFlagTrees(MachineNode& node) {
  std::vector<FakeTreeHandle*> trees;
  for (size_t i = 0; i < kFlagRows.size(); ++i) {
    TreeFlags flags;
    flags.home = kFlagRows[i].home;
    flags.hold = kFlagRows[i].hold;
    flags.managed = kFlagRows[i].managed;
    trees.push_back(&node.AddFakeTree(RowGuid(i), flags));
  }
  return trees;
}

TEST_F(MachineStart, WithoutAnyLinkTheInitDecisionFollowsAtOnce) {
  MachineNode node(false, tarrow_test::UnusedLoopbackPort(), false);
  std::vector<FakeTreeHandle*> trees = AddFlagTrees(node);
  TestMachine& machine = node.Machine();
  node.Start();
  EXPECT_EQ(1, node.consoleStarts.load());
  ASSERT_TRUE(Eventually([&] { return machine.CountRan(HAM_OP_INIT) >= 2; }));
  EXPECT_EQ(HAM_INITIALISING, machine.GetStatu());
  EXPECT_FALSE(machine.IsFirstBootDone());
  EXPECT_EQ(0, node.splitBrainStarts.load());
  for (FakeTreeHandle* tree : trees) {
    EXPECT_EQ(0, tree->starts.load() + tree->stops.load() + tree->makesureStops.load());
  }
}

// Alone, with a reference address that answers and a start delay three
// times the first wait: a second wait, then each tree starts or stops by its
// flags, the started ones handed back on failure.
TEST_F(MachineStart, AloneWithAGoodNetworkStartsTheTreesByTheirFlags) {
  PingStub::Answer("192.0.2.10", true);
  MachineNode node(false, tarrow_test::UnusedLoopbackPort(), true);
  node.timings.firstLinkWaitMs = 1000;
  node.Config().GetGC()->SetStartDelay(3000);
  node.Config().GetHeartBeatGlobalConfig()->SetRefAddresses({"192.0.2.11", "192.0.2.10"});
  std::vector<FakeTreeHandle*> trees = AddFlagTrees(node);
  TestMachine& machine = node.Machine();
  const long long begin = NowMs();
  node.Start();
  ASSERT_TRUE(Eventually([&] { return machine.IsFirstBootDone(); }));
  // The first wait and at least the rest of the delay counted in whole seconds.
  EXPECT_GE(NowMs() - begin, 2000);
  for (size_t i = 0; i < kFlagRows.size(); ++i) {
    SCOPED_TRACE("tree " + std::to_string(i));
    EXPECT_EQ(kFlagRows[i].started ? 1 : 0, trees[i]->starts.load());
    EXPECT_EQ(kFlagRows[i].started ? 0 : 1, trees[i]->stops.load());
    EXPECT_EQ(0, trees[i]->userStops.load());
    if (kFlagRows[i].started) {
      EXPECT_TRUE(trees[i]->handBackOfLastStart.load());
    }
  }
  EXPECT_EQ(1, node.splitBrainStarts.load());
  EXPECT_TRUE(Eventually([&] { return machine.CountRan(HAM_OP_INIT) >= 1; }));
}

TEST_F(MachineStart, AloneWithoutAnAnsweringReferenceNothingIsStartedOrStopped) {
  MachineNode node(false, tarrow_test::UnusedLoopbackPort(), true);
  node.timings.firstLinkWaitMs = 300;
  node.Config().GetHeartBeatGlobalConfig()->SetRefAddresses({"192.0.2.12", "192.0.2.13"});
  std::vector<FakeTreeHandle*> trees = AddFlagTrees(node);
  TestMachine& machine = node.Machine();
  node.Start();
  ASSERT_TRUE(Eventually([&] { return machine.CountRan(HAM_OP_INIT) >= 1; }));
  EXPECT_TRUE(machine.IsFirstBootDone());
  for (FakeTreeHandle* tree : trees) EXPECT_EQ(0, tree->starts.load() + tree->stops.load());
}

// A start step that throws is reported and the init decision still comes.
TEST_F(MachineStart, AThrowingStepIsReportedAndTheInitDecisionStillRuns) {
  MachineNode node(false, tarrow_test::UnusedLoopbackPort(), true);
  node.timings.firstLinkWaitMs = 300;
  node.splitBrainThrows = true;
  TestMachine& machine = node.Machine();
  node.Start();
  ASSERT_TRUE(Eventually([&] { return machine.CountRan(HAM_OP_INIT) >= 1; }));
  EXPECT_EQ(1, machine.CountRan(HAM_OP_START));
  EXPECT_EQ(HAM_INITIALISING, machine.GetStatu());
  EXPECT_EQ(1, node.alarms.Count(11, "无法创建管道"));
  EXPECT_TRUE(machine.IsFirstBootDone());
}

// A link within the first wait: no reference test, the trees are settled
// with the peer (a tree the peer does not know loses this node's hold flag).
TEST_F(MachineStart, ALinkWithinTheFirstWaitSettlesTheTreesWithThePeer) {
  const unsigned short port = tarrow_test::UnusedLoopbackPort();
  PeerNode peer(true, port, {{1, "first-key", "second-key"}}, FastTimings());
  peer.Start();
  MachineNode node(false, port, true);
  node.timings.firstLinkWaitMs = 30000;
  TreeFlags flags;
  flags.hold = true;
  flags.home = true;
  FakeTreeHandle& tree = node.AddFakeTree("{UNKNOWN-TO-PEER}", flags);
  TestMachine& machine = node.Machine();
  node.Start();
  ASSERT_TRUE(Eventually([&] { return machine.IsFirstBootDone(); }));
  EXPECT_FALSE(node.HoldInFile("{UNKNOWN-TO-PEER}"));
  EXPECT_EQ(0, tree.starts.load() + tree.stops.load());
  EXPECT_EQ(1, node.splitBrainStarts.load());
}

}  // namespace
}  // namespace core_test
