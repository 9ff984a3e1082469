// The heartbeat-failure check: a link back within the confirmation time (or
// the re-check after a positive health test), a peer gone offline, no link
// configured, the health test over references and quorum disk, and the
// decision with its alarm. The peer is a test node over a real TCP link;
// references and the quorum disk are fake probes.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/FailoverTestSupport.h"
#include "core/LinkCutter.h"
#include "core/PeerProtocol.h"
#include "core/PeerNode.h"
#include "support/LoopbackPorts.h"

namespace core_test {
namespace {

using namespace Oxbrindale::Velmora::Core;

const char* const kTookAll = "与对机心跳连接已经全部断开，本机已获得资源优先启动权，接管对机所有资源！";
const char* const kStoppedAll = "与对机心跳连接已经全部断开，本机未获得资源优先启动权，停止本机的所有资源！";
const char* const kNothingToTake =
    "与对机心跳连接已经全部断开，经过检测后发现本机运作正常，但是无需接管对机资源（对机没有任何资源运行）！";
const char* const kUnreachable = "与对机心跳连接已经全部断开，无法联系参考节点或仲裁失败！";

std::unique_ptr<PeerNode> StartPeer(unsigned short port, const std::string& tree = "") {
  std::unique_ptr<PeerNode> peer(new PeerNode(true, port, {{1, "first-key", "second-key"}}, FastTimings()));
  if (!tree.empty()) peer->AddTree(tree, false);
  peer->Start();
  return peer;
}

bool NoUsableLink(TestMachine& machine) { return machine.GetHeartBeatManager().GetOneAvalableHBL() == nullptr; }

// The trees whose takeover failed for want of a link come over, handed back
// on failure, once the link is back within the confirmation time.
TEST(MachineFailureCheck, ALinkBackWithinTheConfirmationTakesTheDeferredTreesOver) {
  const unsigned short port = tarrow_test::UnusedLoopbackPort();
  ScriptedPeerNode node(FailoverTimings(), port);
  node.node.Config().GetGC()->SetTakeoverWait(60000);
  FailoverTree& tree = node.AddTree("{DEFERRED}", TreeFlags());
  TestMachine& machine = node.Unlinked();
  ASSERT_TRUE(machine.RequestTakeOverResourceTree("{DEFERRED}", false));
  machine._RunPendingOperation();
  ASSERT_EQ("{DEFERRED}\n", machine.GetDeferredTakeover());

  machine.GetHeartBeatManager().InitHeartBeat();
  ASSERT_TRUE(machine.RequestFailureCheck());
  std::thread check([&] { machine._RunPendingOperation(); });
  EXPECT_TRUE(Eventually([&] { return machine.GetStatu() == HAM_FAILURE_CHECK; }));
  std::unique_ptr<PeerNode> peer = StartPeer(port, "{DEFERRED}");
  check.join();
  EXPECT_EQ(HAM_RUNNING, machine.GetStatu());
  EXPECT_EQ(HAM_OP_TAKEOVER, machine.GetPendingOperation());
  EXPECT_EQ("{DEFERRED}", machine.GetOperationGuids());
  EXPECT_EQ("", machine.GetDeferredTakeover());
  EXPECT_TRUE(machine.IsHandBack());
  EXPECT_TRUE(machine.Decisions().empty());

  machine._RunPendingOperation();
  EXPECT_EQ(1, tree.starts.load());
  EXPECT_TRUE(tree.handBackOfLastStart.load());
  EXPECT_FALSE(machine.IsHandBack());
  EXPECT_EQ(HAM_RUNNING, machine.GetStatu());
  // Only the first run, without a link, reported the tree.
  EXPECT_EQ(1u, node.node.alarms.All().size());
  EXPECT_EQ(1, node.node.alarms.Count(5, "获取对机资源树状态失败 ret=心跳连接不存在"));
}

// The health test passes, and the link comes back during the re-check:
// nothing is started or stopped, no alarm.
TEST(MachineFailureCheck, ALinkBackDuringTheRecheckStartsNothing) {
  const unsigned short port = tarrow_test::UnusedLoopbackPort();
  HaTimings timings = FailoverTimings();
  timings.failureRecheckMs = 60000;  // the re-check waits for the link the probe brings back
  ScriptedPeerNode node(timings, port);
  node.node.Config().GetGC()->SetTakeoverWait(300);
  node.node.Config().GetHeartBeatGlobalConfig()->SetRefAddresses({"192.0.2.31"});
  std::unique_ptr<PeerNode> peer;
  node.node.referenceTest = [&](const std::vector<std::string>&, uint16_t) {
    if (!peer) peer = StartPeer(port);
    return true;
  };
  FailoverTree& stopped = node.AddTree("{RECHECK-0}", TreeFlags(), 0);
  FailoverTree& running = node.AddTree("{RECHECK-2}", TreeFlags(), 2);
  TestMachine& machine = node.Unlinked();
  machine.GetHeartBeatManager().InitHeartBeat();
  ASSERT_TRUE(machine.RequestFailureCheck());
  machine._RunPendingOperation();
  EXPECT_TRUE(peer != nullptr);
  EXPECT_EQ(HAM_RUNNING, machine.GetStatu());
  EXPECT_EQ(HAM_OP_REST, machine.GetPendingOperation());
  EXPECT_TRUE(machine.Decisions().empty());
  EXPECT_EQ(0, stopped.starts.load() + stopped.stops.load() + running.starts.load() + running.stops.load());
  EXPECT_TRUE(node.node.alarms.All().empty());
}

// A link that goes down, comes back within the confirmation time and goes
// down again: the second check waits the whole confirmation time again.
TEST(MachineFailureCheck, AFlappingLinkGetsTheWholeConfirmationTimeAgain) {
  const unsigned short port = tarrow_test::UnusedLoopbackPort();
  const long confirmMs = 2000;
  ScriptedPeerNode node(FailoverTimings(), port);
  node.node.Config().GetGC()->SetTakeoverWait(confirmMs);
  FailoverTree& tree = node.AddTree("{FLAP}", TreeFlags(), 2);
  std::unique_ptr<PeerNode> peer = StartPeer(port);
  TestMachine& machine = node.Connect();

  peer.reset();
  ASSERT_TRUE(Eventually([&] { return NoUsableLink(machine); }));
  ASSERT_TRUE(machine.RequestFailureCheck());
  std::thread check([&] { machine._RunPendingOperation(); });
  EXPECT_TRUE(Eventually([&] { return machine.GetStatu() == HAM_FAILURE_CHECK; }));
  peer = StartPeer(port);
  check.join();
  ASSERT_EQ(HAM_RUNNING, machine.GetStatu());

  peer.reset();
  ASSERT_TRUE(Eventually([&] { return NoUsableLink(machine); }));
  const long long lost = NowMs();
  ASSERT_TRUE(machine.RequestFailureCheck());
  machine._RunPendingOperation();
  EXPECT_GE(NowMs() - lost, confirmMs);
  EXPECT_EQ(std::vector<bool>{false}, machine.Decisions());
  EXPECT_EQ(1, tree.stops.load());
  EXPECT_EQ(HAM_INITIALISING, machine.GetStatu());
  EXPECT_EQ(HAM_OP_INIT, machine.GetPendingOperation());
}

// A peer that went offline keeps its trees: after the wait the machine
// initialises again without touching a tree or deciding.
TEST(MachineFailureCheck, AnOfflinePeerLeadsToANewInitWithoutTakeover) {
  ScriptedPeerNode node(FailoverTimings(), tarrow_test::UnusedLoopbackPort());
  node.node.Config().GetHeartBeatGlobalConfig()->SetRefAddresses({"192.0.2.32"});
  node.node.referenceTest = [](const std::vector<std::string>&, uint16_t) { return true; };
  FailoverTree& stopped = node.AddTree("{OFF-0}", TreeFlags(), 0);
  FailoverTree& running = node.AddTree("{OFF-2}", TreeFlags(), 2);
  TestMachine& machine = node.Unlinked();
  machine.GetHeartBeatManager().InitHeartBeat();
  machine.SetOfflineNotify();
  machine.SetShutdownNotify();
  ASSERT_TRUE(machine.RequestFailureCheck());
  const long long begin = NowMs();
  machine._RunPendingOperation();
  EXPECT_GE(NowMs() - begin, FailoverTimings().offlineWaitMs);
  EXPECT_EQ(HAM_INITIALISING, machine.GetStatu());
  EXPECT_EQ(HAM_OP_INIT, machine.GetPendingOperation());
  EXPECT_FALSE(machine.IsOfflineNotified());
  EXPECT_FALSE(machine.IsShutdownNotified());
  EXPECT_TRUE(machine.Decisions().empty());
  EXPECT_EQ(0, stopped.starts.load() + stopped.stops.load() + running.starts.load() + running.stops.load());
  EXPECT_TRUE(node.node.alarms.All().empty());
}

// An offline notice whose check the machine refused (it was initialising)
// does not outlive the next link-up: a later real loss of the peer is
// decided on, not taken for the peer going offline.
TEST(MachineFailureCheck, AnOfflineNoticeEndsAtTheNextLinkUp) {
  ScriptedHost host(1, "first-key", "second-key");
  LinkCutter relay(host.Port());
  MachineNode node(false, relay.Port(), true, FailoverTimings());
  node.Config().GetGC()->SetTakeoverWait(300);
  TestMachine& machine = node.Machine();
  machine._ForceStatu(HAM_INITIALISING);
  machine.GetHeartBeatManager().InitHeartBeat();
  ASSERT_TRUE(Eventually([&] { return !NoUsableLink(machine); }));
  // The node's link counts as up once the handshake's last answer came; the
  // host ends its side of the handshake a moment later.
  ASSERT_NE(nullptr, host.WaitConnection());
  std::string answer;
  ASSERT_TRUE(host.Ask(PeerProtocol::SYS_Offline, "", PeerProtocol::OFFLINE_TIMEOUT_MS, &answer));
  ASSERT_TRUE(machine.IsOfflineNotified());

  relay.Cut();  // the peer goes; the machine cannot take the check now
  ASSERT_TRUE(Eventually([&] { return NoUsableLink(machine); }));
  EXPECT_FALSE(machine.IsFailureCheckPending());
  EXPECT_TRUE(machine.IsOfflineNotified());

  ASSERT_TRUE(relay.Restore());  // the peer is back
  ASSERT_TRUE(Eventually([&] { return !NoUsableLink(machine); }));
  // The link-up notice follows the link's status by a moment.
  EXPECT_TRUE(Eventually([&] { return !machine.IsOfflineNotified(); }));

  machine._ForceStatu(HAM_RUNNING);
  relay.Cut();  // and dies
  ASSERT_TRUE(Eventually([&] { return machine.IsFailureCheckPending(); }));
  machine._RunPendingOperation();
  EXPECT_EQ(std::vector<bool>{false}, machine.Decisions());
  EXPECT_EQ(1, node.alarms.Count(1, kUnreachable));
  EXPECT_EQ(HAM_INITIALISING, machine.GetStatu());
}

// The link came and went again while a check tested the references: the
// check ends initialising with a second check queued by that loss. The init
// decides from then on (the queued check is dropped), and once the peer is
// back the machine runs again.
TEST(MachineFailureCheck, ALossDuringTheReferenceTestLeavesTheDecisionToTheInit) {
  const unsigned short port = tarrow_test::UnusedLoopbackPort();
  ScriptedPeerNode node(FailoverTimings(), port);
  node.node.Config().GetGC()->SetTakeoverWait(300);
  node.node.Config().GetHeartBeatGlobalConfig()->SetRefAddresses({"192.0.2.33"});
  TestMachine* checking = nullptr;
  node.node.referenceTest = [&](const std::vector<std::string>&, uint16_t) {
    checking->GetHeartBeatManager().OnHeartBeatLinkDisconnected();
    return false;
  };
  FailoverTree& running = node.AddTree("{LOSS-IN-TEST}", TreeFlags(), 2);
  TestMachine& machine = node.Unlinked();
  checking = &machine;
  machine.GetHeartBeatManager().InitHeartBeat();
  ASSERT_TRUE(machine.RequestFailureCheck());
  machine._RunPendingOperation();
  ASSERT_EQ(std::vector<bool>{false}, machine.Decisions());
  EXPECT_EQ(1, running.stops.load());
  ASSERT_EQ(HAM_INITIALISING, machine.GetStatu());
  ASSERT_EQ(HAM_OP_INIT, machine.GetPendingOperation());

  machine._RunPendingOperation();
  EXPECT_FALSE(machine.IsFailureCheckPending());
  EXPECT_EQ(1, machine.CountRan(HAM_OP_INIT));
  std::unique_ptr<PeerNode> peer = StartPeer(port);
  EXPECT_TRUE(Eventually(
      [&] {
        machine._RunPendingOperation();
        return machine.GetStatu() == HAM_RUNNING;
      },
      10000));
  EXPECT_EQ(1, machine.CountRan(HAM_OP_FAILURE_CHECK));
}

// The peer goes offline and its link goes; during the offline wait the link
// comes back and goes again. The check ends initialising, and the init, not
// the check that second loss queued, decides: once the link is back for
// good the machine runs again.
TEST(MachineFailureCheck, ALinkFlapDuringTheOfflineWaitLeavesTheDecisionToTheInit) {
  ScriptedHost host(1, "first-key", "second-key");
  LinkCutter relay(host.Port());
  HaTimings timings = FailoverTimings();
  timings.offlineWaitMs = 6000;  // long enough for the flap on a loaded machine
  MachineNode node(false, relay.Port(), true, timings);
  TestMachine& machine = node.Machine();
  machine._ForceStatu(HAM_RUNNING);
  machine.GetHeartBeatManager().InitHeartBeat();
  ASSERT_TRUE(Eventually([&] { return !NoUsableLink(machine); }));
  ASSERT_NE(nullptr, host.WaitConnection());
  std::string answer;
  ASSERT_TRUE(host.Ask(PeerProtocol::SYS_Offline, "", PeerProtocol::OFFLINE_TIMEOUT_MS, &answer));
  relay.Cut();
  ASSERT_TRUE(Eventually([&] { return machine.IsFailureCheckPending(); }));

  std::thread check([&] { machine._RunPendingOperation(); });
  EXPECT_TRUE(Eventually([&] { return machine.GetStatu() == HAM_FAILURE_CHECK; }));
  EXPECT_TRUE(relay.Restore());
  EXPECT_TRUE(Eventually([&] { return !NoUsableLink(machine); }));
  relay.Cut();
  EXPECT_TRUE(Eventually([&] { return machine.IsFailureCheckPending(); }));
  EXPECT_EQ(HAM_FAILURE_CHECK, machine.GetStatu()) << "the flap outlasted the offline wait";
  check.join();
  EXPECT_TRUE(machine.Decisions().empty());
  ASSERT_EQ(HAM_INITIALISING, machine.GetStatu());
  ASSERT_EQ(HAM_OP_INIT, machine.GetPendingOperation());

  ASSERT_TRUE(relay.Restore());
  EXPECT_TRUE(Eventually(
      [&] {
        machine._RunPendingOperation();
        return machine.GetStatu() == HAM_RUNNING;
      },
      10000));
  EXPECT_FALSE(machine.IsFailureCheckPending());
  EXPECT_EQ(1, machine.CountRan(HAM_OP_FAILURE_CHECK));
}

TEST(MachineFailureCheck, WithoutAnyLinkConfiguredEveryTreeStops) {
  MachineNode node(false, 1, false, FailoverTimings());
  TreeFlags unmanaged;
  unmanaged.managed = false;
  FakeTreeHandle& running = node.AddFakeTree("{NOLINK-2}", TreeFlags(), 2);
  FakeTreeHandle& stopped = node.AddFakeTree("{NOLINK-0}", unmanaged, 0);
  TestMachine& machine = node.Machine();
  machine.AddResourceTree(running.GetConfig(), false);
  machine.AddResourceTree(stopped.GetConfig(), false);
  machine._ForceStatu(HAM_RUNNING);
  ASSERT_TRUE(machine.RequestFailureCheck());
  machine._RunPendingOperation();
  EXPECT_EQ(1, running.stops.load());
  EXPECT_EQ(1, stopped.stops.load());
  EXPECT_EQ(0, running.userStops.load() + stopped.userStops.load());
  EXPECT_EQ(HAM_INITIALISING, machine.GetStatu());
  EXPECT_EQ(HAM_OP_INIT, machine.GetPendingOperation());
  EXPECT_TRUE(node.alarms.All().empty());
}

TEST(MachineFailureCheck, HealthTestOverReferencesAndQuorumDisk) {
  struct Row {
    std::vector<std::string> references;
    bool referenceAnswers;
    std::string quorum;
    bool wins;
    bool answer;
    std::vector<uint16_t> portsTested;
    bool arbitrated;
  };
  const std::vector<Row> rows = {
      {{}, false, "", true, false, {}, false},
      {{}, false, "qd-1", true, true, {}, true},
      {{}, false, "qd-1", false, false, {}, true},
      {{"192.0.2.41", "192.0.2.42"}, false, "", true, false, {0, 8080}, false},
      {{"192.0.2.41"}, false, "qd-1", true, false, {0, 8080}, false},
      {{"192.0.2.41"}, true, "", false, true, {0}, false},
      {{"192.0.2.41"}, true, "qd-1", true, true, {0}, true},
      {{"192.0.2.41"}, true, "qd-1", false, false, {0}, true},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    for (uint16_t role : {0, 1, 2}) {
      SCOPED_TRACE("row " + std::to_string(i) + ", host role " + std::to_string(role));
      MachineNode node(false, 1, false, FailoverTimings());
      node.Config().GetHeartBeatGlobalConfig()->SetRefAddresses(row.references);
      node.Config().GetHeartBeatGlobalConfig()->SetRefTestPort(8080);
      node.Config().GetHeartBeatGlobalConfig()->SetHostRole(role);
      node.Config().GetGC()->SetQuorumDiskId(row.quorum);
      std::vector<uint16_t> ports;
      std::vector<std::pair<std::string, bool>> arbitrations;
      node.referenceTest = [&](const std::vector<std::string>& addresses, uint16_t port) {
        EXPECT_EQ(row.references, addresses);
        ports.push_back(port);
        return row.referenceAnswers;
      };
      node.quorumArbitrate = [&](const std::string& id, bool side) {
        arbitrations.push_back({id, side});
        return row.wins;
      };
      EXPECT_EQ(row.answer, node.Machine().CanITakeOver());
      EXPECT_EQ(row.portsTested, ports);
      if (row.arbitrated) {
        EXPECT_EQ((std::vector<std::pair<std::string, bool>>{{row.quorum, role == 1}}), arbitrations);
      } else {
        EXPECT_TRUE(arbitrations.empty());
      }
    }
  }
}

TEST(MachineFailureCheck, DecisionAlarmByTakeTreesAndPeerShutdown) {
  struct Row {
    bool take;
    bool treeToCount;  // a managed tree the decision acts on
    bool peerShutdown;
    int kind;          // -1: no alarm
    std::string text;
  };
  const std::vector<Row> rows = {
      {true, true, false, 0, kTookAll},       {false, true, false, 1, kStoppedAll},
      {true, false, false, 0, kNothingToTake}, {false, false, false, 1, kUnreachable},
      {false, false, true, 1, kUnreachable},  {true, true, true, -1, ""},
      {false, true, true, -1, ""},            {true, false, true, -1, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.take ? "take" : "stop") + (row.treeToCount ? ", a tree" : ", no tree") +
                 (row.peerShutdown ? ", peer shut down" : ""));
    MachineNode node(false, 1, false, FailoverTimings());
    TreeFlags unmanaged;
    unmanaged.managed = false;
    // Trees the decision never acts on: unmanaged ones in both statuses, a
    // managed one already where the decision wants it, and one abnormal.
    FakeTreeHandle& offStopped = node.AddFakeTree("{D-U0}", unmanaged, 0);
    FakeTreeHandle& offRunning = node.AddFakeTree("{D-U2}", unmanaged, 2);
    FakeTreeHandle& already = node.AddFakeTree("{D-M}", TreeFlags(), row.take ? 2 : 0);
    FakeTreeHandle& abnormal = node.AddFakeTree("{D-M4}", TreeFlags(), 4);
    FakeTreeHandle& acted = node.AddFakeTree("{D-ACT}", TreeFlags(), row.treeToCount ? (row.take ? 0 : 2) : 4);
    TestMachine& machine = node.Machine();
    for (FakeTreeHandle* tree : {&offStopped, &offRunning, &already, &abnormal, &acted}) {
      machine.AddResourceTree(tree->GetConfig(), false);
    }
    if (row.peerShutdown) machine.SetShutdownNotify();
    machine._NoHeartBeatTakeOver(row.take);
    for (FakeTreeHandle* tree : {&offStopped, &offRunning, &already, &abnormal}) {
      EXPECT_EQ(0, tree->starts.load() + tree->stops.load()) << tree->GetConfig()->GetGuid();
    }
    EXPECT_EQ(row.take && row.treeToCount ? 1 : 0, acted.starts.load());
    EXPECT_EQ(!row.take && row.treeToCount ? 1 : 0, acted.stops.load());
    EXPECT_EQ(0, acted.userStops.load());
    EXPECT_EQ(row.take ? 0 : 1, node.aliasClears.load());
    if (row.kind < 0) {
      EXPECT_TRUE(node.alarms.All().empty());
    } else {
      EXPECT_EQ((std::vector<std::pair<int, std::string>>{{row.kind, row.text}}), node.alarms.All());
    }
  }
}

}  // namespace
}  // namespace core_test
