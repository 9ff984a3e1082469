// The settling of the hold flags with the peer when the start finds a link:
// the peer (a scripted node over a real TCP link) answers for its trees or
// fails for a tree it does not know; each tree's hold flag is read back from
// resource_tree_config.cfg, and the trees this node now holds away from
// their home start here.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/MachineTestSupport.h"
#include "core/PeerNode.h"
#include "support/LoopbackPorts.h"

namespace core_test {
namespace {

using namespace Oxbrindale::Velmora::Core;

struct SyncRow {
  bool peerKnows;  // else the peer answers "ERROR"
  bool myHold;
  bool peerHold;
  bool home;
  bool managed;
  bool holdIfPeerDone;     // the hold flag afterwards, the peer's first start done
  bool holdIfPeerNotDone;  // ... not done
};

const std::vector<SyncRow> kRows = {
    // the peer fails: this node lets the tree go
    {false, false, false, false, true, false, false},
    {false, true, false, false, true, false, false},
    {false, true, false, true, true, false, false},
    // exactly one holds: unchanged
    {true, true, false, false, true, true, true},
    {true, true, false, true, true, true, true},
    {true, false, true, false, true, false, false},
    {true, false, true, true, true, false, false},
    // both hold: the peer keeps it once its start is done, else the home has it
    {true, true, true, false, true, false, false},
    {true, true, true, true, true, false, true},
    // neither holds: this node takes it once the peer's start is done, else the home
    {true, false, false, false, true, true, false},
    {true, false, false, true, true, true, true},
    // not managed: left as it is
    {true, true, true, false, false, true, true},
};

void RunSync(bool peerDone) {
  SCOPED_TRACE(peerDone ? "peer's first start done" : "peer's first start not done");
  const unsigned short port = tarrow_test::UnusedLoopbackPort();
  PeerNode peer(true, port, {{1, "first-key", "second-key"}}, FastTimings());
  peer.machine.firstBootDone = peerDone;
  MachineNode node(false, port, true);
  node.timings.firstLinkWaitMs = 30000;
  std::vector<FakeTreeHandle*> trees;
  for (size_t i = 0; i < kRows.size(); ++i) {
    const SyncRow& row = kRows[i];
    const std::string guid = "{SYNC-" + std::to_string(i) + "}";
    if (row.peerKnows) peer.AddTree(guid, false).config->SetRunning(row.peerHold);
    TreeFlags flags;
    flags.hold = row.myHold;
    flags.home = row.home;
    flags.managed = row.managed;
    trees.push_back(&node.AddFakeTree(guid, flags));
  }
  peer.Start();
  TestMachine& machine = node.Machine();
  node.Start();
  ASSERT_TRUE(Eventually([&] { return machine.IsFirstBootDone(); }));
  for (size_t i = 0; i < kRows.size(); ++i) {
    SCOPED_TRACE("row " + std::to_string(i));
    const bool hold = peerDone ? kRows[i].holdIfPeerDone : kRows[i].holdIfPeerNotDone;
    EXPECT_EQ(hold, node.HoldInFile("{SYNC-" + std::to_string(i) + "}"));
    EXPECT_EQ(kRows[i].managed && hold && !kRows[i].home ? 1 : 0, trees[i]->starts.load());
    EXPECT_EQ(0, trees[i]->stops.load());
  }
}

TEST(MachineSync, HoldFlagsAndStartsWhenThePeersFirstStartIsDone) { RunSync(true); }

TEST(MachineSync, HoldFlagsAndStartsWhenThePeersFirstStartIsNotDone) { RunSync(false); }

}  // namespace
}  // namespace core_test
