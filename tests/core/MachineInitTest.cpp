// The init decision: the wait for the start delay when a link comes up, the
// trees it takes over from the peer, a tree that never settles, the
// lone-node decision and a link lost while the machine initialises.

#include <gtest/gtest.h>

#include <time.h>

#include <memory>
#include <string>
#include <vector>

#include "core/MachineTestSupport.h"
#include "core/PeerNode.h"
#include "support/LoopbackPorts.h"
#include "support/TestEnv.h"

namespace core_test {
namespace {

using namespace Oxbrindale::Velmora::Core;

class MachineInit : public ::testing::Test {
 protected:
  void SetUp() override { PingStub::Clear(); }
  void TearDown() override { PingStub::Clear(); }

  // A peer host on a port of its own, started or not.
  std::unique_ptr<PeerNode> MakePeer(unsigned short port, bool start) {
    std::unique_ptr<PeerNode> peer(new PeerNode(true, port, {{1, "first-key", "second-key"}}, FastTimings()));
    if (start) peer->Start();
    return peer;
  }
};

// A link that comes up about 2 s after the start, with a start delay of
// 6000 ms: init waits out the rest of the delay (never the wait used after
// the delay, set far beyond the test's patience here).
TEST_F(MachineInit, ALinkBeforeTheStartDelayEndsWaitsTheRestOfIt) {
  const unsigned short port = tarrow_test::UnusedLoopbackPort();
  std::unique_ptr<PeerNode> peer = MakePeer(port, false);
  MachineNode node(false, port, true);
  node.timings.firstLinkWaitMs = 300;
  node.timings.afterStartDelayMs = 600000;
  node.Config().GetGC()->SetStartDelay(6000);
  TestMachine& machine = node.Machine();
  const long long begin = NowMs();
  node.Start();
  ASSERT_TRUE(Eventually([&] { return machine.CountRan(HAM_OP_INIT) >= 1; }));
  while (NowMs() - begin < 2000) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  peer->Start();
  ASSERT_TRUE(Eventually([&] { return machine.GetStatu() == HAM_RUNNING; }));
  // The delay counted from the start.
  EXPECT_GE(NowMs() - begin, 5000);
}

// The wall clock steps an hour either way once the start ran (an RTC or NTP
// correction): the init waits the rest of the start delay as it would have
// (never the pause after the delay, set beyond the test's patience, nor the
// step), and a node alone takes no lone-node decision before its time.
TEST_F(MachineInit, AWallClockStepChangesNoWaitAndNoDecision) {
  for (long long step : {3600LL, -3600LL}) {
    SCOPED_TRACE("wall clock stepped by " + std::to_string(step) + " s");
    {
      const unsigned short port = tarrow_test::UnusedLoopbackPort();
      std::unique_ptr<PeerNode> peer = MakePeer(port, false);
      MachineNode node(false, port, true);
      tarrow_test::TestEnv env(node.Dir());
      node.timings.firstLinkWaitMs = 300;
      node.timings.afterStartDelayMs = 600000;
      node.Config().GetGC()->SetStartDelay(5000);
      TestMachine& machine = node.Machine();
      node.Start();
      ASSERT_TRUE(Eventually([&] { return machine.CountRan(HAM_OP_INIT) >= 1; }));
      env.FixWallClock(static_cast<long long>(time(nullptr)) + step);
      peer->Start();
      EXPECT_TRUE(Eventually([&] { return machine.GetStatu() == HAM_RUNNING; }, 20000));
    }
    {
      PingStub::Answer("192.0.2.22", true);
      MachineNode node(false, tarrow_test::UnusedLoopbackPort(), true);
      tarrow_test::TestEnv env(node.Dir());
      node.timings.firstLinkWaitMs = 200;
      node.Config().GetHeartBeatGlobalConfig()->SetRefAddresses({"192.0.2.22"});
      node.Config().GetGC()->SetStartDelay(5000);
      TestMachine& machine = node.Machine();
      node.Start();
      ASSERT_TRUE(Eventually([&] { return machine.CountRan(HAM_OP_INIT) >= 1; }));
      env.FixWallClock(static_cast<long long>(time(nullptr)) + step);
      const int inits = machine.CountRan(HAM_OP_INIT);
      ASSERT_TRUE(Eventually([&] { return machine.CountRan(HAM_OP_INIT) >= inits + 4; }));
      EXPECT_TRUE(machine.Decisions().empty());
      EXPECT_TRUE(machine.IsStartWait());
      PingStub::Clear();
    }
  }
}

// A link that comes up once the start delay has passed: init waits the
// pause after the delay.
TEST_F(MachineInit, ALinkAfterTheStartDelayWaitsThePauseAfterIt) {
  const unsigned short port = tarrow_test::UnusedLoopbackPort();
  std::unique_ptr<PeerNode> peer = MakePeer(port, false);
  MachineNode node(false, port, true);
  node.timings.firstLinkWaitMs = 300;
  node.timings.afterStartDelayMs = 1500;
  node.Config().GetGC()->SetStartDelay(5000);
  TestMachine& machine = node.Machine();
  const long long begin = NowMs();
  node.Start();
  while (NowMs() - begin < 6000) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const long long linkFrom = NowMs();
  peer->Start();
  ASSERT_TRUE(Eventually([&] { return machine.GetStatu() == HAM_RUNNING; }));
  EXPECT_GE(NowMs() - linkFrom, 1500);
}

// With a link: the stopped trees this node should run are queued for
// takeover (home with take-back and managed, or held and managed); other
// stopped trees are made sure to be down; running ones are left; a tree
// that never settles is left after the bound.
TEST_F(MachineInit, TakeoverListVersusTreesMadeSureDown) {
  struct Row {
    TreeFlags flags;
    int statu;
    bool unstable;
    bool listed;
    bool deTested;
  };
  auto flags = [](bool takeBack, bool home, bool hold, bool managed) {
    TreeFlags f;
    f.takeBack = takeBack;
    f.home = home;
    f.hold = hold;
    f.managed = managed;
    return f;
  };
  const std::vector<Row> rows = {
      {flags(true, true, false, true), 0, false, true, false},    // home, take-back, managed
      {flags(false, false, true, true), 0, false, true, false},   // held, managed
      {flags(false, true, true, true), 0, false, true, false},    // held at home, managed
      {flags(false, true, false, true), 0, false, false, true},   // home without take-back
      {flags(true, true, false, false), 0, false, false, true},   // not managed
      {flags(false, false, true, false), 0, false, false, true},  // held, not managed
      {flags(false, false, false, true), 0, false, false, true},  // nothing
      {flags(true, true, false, true), 2, false, false, false},   // running here
      {flags(true, true, false, true), 4, false, false, false},   // abnormal here
      {flags(true, true, false, true), 1, true, false, false},    // never settles
  };
  const unsigned short port = tarrow_test::UnusedLoopbackPort();
  std::unique_ptr<PeerNode> peer = MakePeer(port, false);
  MachineNode node(false, port, true);
  node.timings.firstLinkWaitMs = 30000;
  node.timings.stableTreeBoundMs = 300;
  std::vector<FakeTreeHandle*> trees;
  for (size_t i = 0; i < rows.size(); ++i) {
    const std::string guid = "{INIT-" + std::to_string(i) + "}";
    // The peer holds what this node does not: the settling keeps the flags.
    peer->AddTree(guid, false).config->SetRunning(!rows[i].flags.hold);
    trees.push_back(&node.AddFakeTree(guid, rows[i].flags, rows[i].statu));
    trees.back()->unstable = rows[i].unstable;
  }
  peer->Start();
  TestMachine& machine = node.Machine();
  machine.scriptedOps = 1u << HAM_OP_TAKEOVER;
  std::mutex mutex;
  std::vector<std::string> takeovers;
  bool handBack = false;
  machine.body = [&](int) {
    std::lock_guard<std::mutex> lock(mutex);
    takeovers.push_back(machine.GetOperationGuids());
    handBack = machine.IsHandBack();
  };
  node.Start();
  ASSERT_TRUE(Eventually([&] { return machine.CountRan(HAM_OP_TAKEOVER) == 1; }));
  // The operation counts as it begins; its body records a moment later.
  ASSERT_TRUE(Eventually([&] {
    std::lock_guard<std::mutex> lock(mutex);
    return !takeovers.empty();
  }));
  EXPECT_EQ(HAM_RUNNING, machine.GetStatu());
  std::string expected;
  for (size_t i = 0; i < rows.size(); ++i) {
    if (rows[i].listed) expected += (expected.empty() ? "" : "\n") + std::string("{INIT-") + std::to_string(i) + "}";
  }
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(std::vector<std::string>{expected}, takeovers);
  EXPECT_TRUE(handBack);
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE("row " + std::to_string(i));
    EXPECT_EQ(rows[i].deTested ? 1 : 0, trees[i]->deTests.load());
    for (unsigned long wait : trees[i]->Waits()) EXPECT_LE(wait, 300u);
  }
}

// Alone for the (shortened) lone-node wait: one decision, by the reference
// addresses, and never another in that run.
TEST_F(MachineInit, ALoneNodeDecidesOnce) {
  MachineNode node(false, tarrow_test::UnusedLoopbackPort(), true);
  node.timings.firstLinkWaitMs = 200;
  node.timings.loneNodeDecisionSec = 1;
  node.Config().GetHeartBeatGlobalConfig()->SetRefAddresses({"192.0.2.20"});
  TreeFlags managed;
  FakeTreeHandle& stopped = node.AddFakeTree("{LONE-STOPPED}", managed, 0);
  FakeTreeHandle& running = node.AddFakeTree("{LONE-RUNNING}", managed, 2);
  TestMachine& machine = node.Machine();
  node.Start();
  // The start found no answering reference and left the trees alone; now one answers.
  ASSERT_TRUE(Eventually([&] { return machine.IsFirstBootDone(); }));
  PingStub::Answer("192.0.2.20", true);
  ASSERT_TRUE(Eventually([&] { return machine.Decisions().size() == 1; }));
  const int inits = machine.CountRan(HAM_OP_INIT);
  ASSERT_TRUE(Eventually([&] { return machine.CountRan(HAM_OP_INIT) >= inits + 5; }));
  EXPECT_EQ(std::vector<bool>{true}, machine.Decisions());
  EXPECT_FALSE(machine.IsStartWait());
  // take: the managed tree that was stopped starts, the running one stays.
  EXPECT_EQ(1, stopped.starts.load());
  EXPECT_EQ(0, running.starts.load() + running.stops.load());
  EXPECT_EQ(1, node.alarms.Count(0, "本机已获得资源优先启动权"));
  EXPECT_EQ(HAM_INITIALISING, machine.GetStatu());
}

// A node that has been running never takes the lone-node decision, however
// long it stays without a link afterwards.
TEST_F(MachineInit, NoLoneNodeDecisionAfterTheNodeWasRunning) {
  PingStub::Answer("192.0.2.21", true);
  const unsigned short port = tarrow_test::UnusedLoopbackPort();
  std::unique_ptr<PeerNode> peer = MakePeer(port, true);
  MachineNode node(false, port, true);
  node.timings.firstLinkWaitMs = 30000;
  node.timings.loneNodeDecisionSec = 1;
  node.Config().GetHeartBeatGlobalConfig()->SetRefAddresses({"192.0.2.21"});
  TestMachine& machine = node.Machine();
  // The failure check decides nothing here: it only leads back to the init.
  machine.scriptedOps = 1u << HAM_OP_FAILURE_CHECK;
  machine.body = [&](int) {
    machine._StatuChange(HAM_FAILURE_CHECK);
    machine._StatuChange(HAM_INITIALISING);
    machine._SetOperation(HAM_OP_INIT, "");
  };
  node.Start();
  ASSERT_TRUE(Eventually([&] { return machine.GetStatu() == HAM_RUNNING; }));
  peer.reset();  // the link is lost
  ASSERT_TRUE(Eventually([&] { return machine.CountRan(HAM_OP_FAILURE_CHECK) >= 1; }));
  const long long lost = NowMs();
  ASSERT_TRUE(Eventually([&] { return NowMs() - lost > 2500 && machine.CountRan(HAM_OP_INIT) >= 5; }));
  EXPECT_TRUE(machine.Decisions().empty());
}

// A link lost while the machine could not take the failure check (it was
// initialising): once an operation leaves the machine running without a
// usable link, the check is queued.
TEST_F(MachineInit, RunningWithoutAUsableLinkQueuesTheFailureCheck) {
  MachineNode node(false, tarrow_test::UnusedLoopbackPort(), true);
  TestMachine& machine = node.Machine();
  machine.GetHeartBeatManager().InitHeartBeat();  // a link that never connects
  machine.scripted = true;
  machine.body = [&](int op) {
    if (op == HAM_OP_INIT) machine._StatuChange(HAM_RUNNING);
  };
  machine._ForceStatu(HAM_INITIALISING);
  EXPECT_FALSE(machine.RequestFailureCheck());  // the loss while initialising
  machine._SetOperation(HAM_OP_INIT, "");
  machine._RunPendingOperation();
  EXPECT_TRUE(machine.IsFailureCheckPending());
  machine._RunPendingOperation();
  EXPECT_EQ((std::vector<int>{HAM_OP_INIT, HAM_OP_FAILURE_CHECK}), machine.Ran());
}

}  // namespace
}  // namespace core_test
