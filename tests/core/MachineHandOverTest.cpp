// A tree that fails here is handed to the peer (a scripted host over a real
// TCP link): when the machine takes the failure, the one list it queues, the
// requests and their retries; and the console's start of a tree, which
// joins a queued takeover and never a hand-over.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "core/FailoverTestSupport.h"
#include "core/PeerProtocol.h"
#include "resource/ResourceTree.h"

namespace core_test {
namespace {

using namespace Oxbrindale::Velmora::Core;
using Oxbrindale::Velmora::Resource::ResourceTree;

ScriptedHost::Script TakeoverAnswer(const std::string& answer) {
  return [answer](const std::string&, const std::string&) {
    ScriptedHost::Reply reply;
    reply.body = answer;
    return reply;
  };
}

// A real tree of the machine (one custom-script resource).
ResourceTree* RealTree(ScriptedPeerNode& peer, TestMachine& machine, const std::string& guid) {
  machine.AddResourceTree(peer.node.AddScriptTree(guid, TreeFlags()), false);
  return machine.FindResourceTreeByGuid(guid);
}

// Runs the machine's turns on this thread while a hand-over stays queued.
void RunHandOver(TestMachine& machine) {
  for (int turn = 0; turn < 20 && machine.GetPendingOperation() == HAM_OP_BE_TAKEN_OVER; ++turn) {
    machine._RunPendingOperation();
  }
}

TEST(MachineHandOver, AFailureIsTakenOnlyWhileRunning) {
  for (int statu = -2; statu <= 7; ++statu) {
    SCOPED_TRACE("status " + std::to_string(statu));
    ScriptedPeerNode peer;
    TestMachine& machine = peer.Unlinked();
    ResourceTree* tree = RealTree(peer, machine, "{FAIL-S}");
    ASSERT_NE(nullptr, tree);
    machine._ForceStatu(statu);
    EXPECT_EQ(statu == HAM_RUNNING, machine.OnResourceTreeFail(tree));
    EXPECT_EQ(statu == HAM_RUNNING ? HAM_OP_BE_TAKEN_OVER : HAM_OP_REST, machine.GetPendingOperation());
  }
}

// The tree thread never waits for an operation: a busy machine answers false
// at once, and the tree offers its failure again later.
TEST(MachineHandOverConcurrency, ABusyMachineRefusesAtOnce) {
  ScriptedPeerNode peer;
  TestMachine& machine = peer.Unlinked();
  ResourceTree* tree = RealTree(peer, machine, "{FAIL-BUSY}");
  std::atomic<bool> release{false};
  machine.scriptedOps = 1u << HAM_OP_INIT;
  machine.body = [&](int) { Eventually([&] { return release.load(); }); };
  machine._SetOperation(HAM_OP_INIT, "");
  std::thread operation([&] { machine._RunPendingOperation(); });
  ASSERT_TRUE(Eventually([&] { return machine.CountRan(HAM_OP_INIT) == 1; }));

  std::future<bool> answer = std::async(std::launch::async, [&] { return machine.OnResourceTreeFail(tree); });
  const bool answered = answer.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  release = true;
  operation.join();
  ASSERT_TRUE(answered) << "the tree thread waited for the operation";
  EXPECT_FALSE(answer.get());
  EXPECT_EQ(HAM_OP_INIT, machine.GetPendingOperation());
  // Free again, nothing queued: taken.
  machine._SetOperation(HAM_OP_REST, "");
  EXPECT_TRUE(machine.OnResourceTreeFail(tree));
}

TEST(MachineHandOver, TwoFailuresBeforeTheThreadRunsMakeOneRequest) {
  ScriptedPeerNode peer;
  peer.host.SetScript(TakeoverAnswer("OK"));
  TestMachine& machine = peer.Connect();
  ResourceTree* first = RealTree(peer, machine, "{FAIL-1}");
  ResourceTree* second = RealTree(peer, machine, "{FAIL-2}");
  EXPECT_TRUE(machine.OnResourceTreeFail(first));
  EXPECT_TRUE(machine.OnResourceTreeFail(second));
  EXPECT_TRUE(machine.OnResourceTreeFail(first));  // offered again: listed once
  EXPECT_EQ("{FAIL-1}\n{FAIL-2}", machine.GetOperationGuids());
  RunHandOver(machine);
  EXPECT_EQ(std::vector<std::string>{"{FAIL-1}\n{FAIL-2}"}, peer.Bodies(PeerProtocol::RES_RequestTakeover));
  EXPECT_EQ(HAM_RUNNING, machine.GetStatu());
  EXPECT_EQ(HAM_OP_REST, machine.GetPendingOperation());
  EXPECT_EQ("", machine.GetOperationGuids());
}

// A queued takeover keeps its list (its trees are to come here), and the
// pending failure check is not touched.
TEST(MachineHandOver, AQueuedTakeoverAndAPendingCheckAreLeftAlone) {
  ScriptedPeerNode peer;
  TestMachine& machine = peer.Unlinked();
  ResourceTree* tree = RealTree(peer, machine, "{FAIL-T}");
  ASSERT_TRUE(machine.RequestTakeOverResourceTree("{COMING-1}\n{COMING-2}", false));
  EXPECT_FALSE(machine.OnResourceTreeFail(tree));
  EXPECT_EQ(HAM_OP_TAKEOVER, machine.GetPendingOperation());
  EXPECT_EQ("{COMING-1}\n{COMING-2}", machine.GetOperationGuids());

  machine._SetOperation(HAM_OP_REST, "");
  ASSERT_TRUE(machine.RequestFailureCheck());
  EXPECT_TRUE(machine.OnResourceTreeFail(tree));
  EXPECT_TRUE(machine.IsFailureCheckPending());
  EXPECT_EQ(HAM_OP_BE_TAKEN_OVER, machine.GetPendingOperation());
}

TEST(MachineHandOver, RequestsByThePeersAnswer) {
  struct Row {
    std::string answer;
    size_t requests;
  };
  for (const Row& row : std::vector<Row>{{"OK", 1}, {"ERROR", 6}}) {
    SCOPED_TRACE("the peer answers " + row.answer);
    ScriptedPeerNode peer;
    peer.host.SetScript(TakeoverAnswer(row.answer));
    TestMachine& machine = peer.Connect();
    ResourceTree* tree = RealTree(peer, machine, "{FAIL-R}");
    ASSERT_TRUE(machine.OnResourceTreeFail(tree));
    RunHandOver(machine);
    EXPECT_EQ(row.requests, peer.Bodies(PeerProtocol::RES_RequestTakeover).size());
    EXPECT_EQ(HAM_RUNNING, machine.GetStatu());
    EXPECT_EQ(HAM_OP_REST, machine.GetPendingOperation());
    EXPECT_EQ("", machine.GetOperationGuids());
    EXPECT_TRUE(peer.node.alarms.All().empty());
    // The next failure gets its own six tries.
    ASSERT_TRUE(machine.OnResourceTreeFail(tree));
    RunHandOver(machine);
    EXPECT_EQ(2 * row.requests, peer.Bodies(PeerProtocol::RES_RequestTakeover).size());
  }
}

TEST(MachineHandOver, WithoutALinkTheHandOverGivesUpSilently) {
  ScriptedPeerNode peer;
  TestMachine& machine = peer.Unlinked();
  ResourceTree* tree = RealTree(peer, machine, "{FAIL-NL}");
  ASSERT_TRUE(machine.OnResourceTreeFail(tree));
  machine._RunPendingOperation();
  EXPECT_EQ(HAM_BEING_TAKEN_OVER, machine.GetStatu());
  EXPECT_EQ(HAM_OP_BE_TAKEN_OVER, machine.GetPendingOperation());
  RunHandOver(machine);
  EXPECT_EQ(HAM_RUNNING, machine.GetStatu());
  EXPECT_EQ(HAM_OP_REST, machine.GetPendingOperation());
  EXPECT_TRUE(peer.node.alarms.All().empty());
}

// A takeover asked for while a hand-over is queued never replaces it: the
// failed tree delivered its failure once and does not offer it again. The
// takeover runs after the hand-over.
TEST(MachineHandOver, AQueuedHandOverIsNeverReplacedByATakeover) {
  for (const std::string by : {"the console", "the can-start call of a home tree"}) {
    SCOPED_TRACE("a takeover asked for by " + by);
    ScriptedPeerNode peer;
    peer.host.SetScript(TakeoverAnswer("OK"));
    TestMachine& machine = peer.Connect();
    ResourceTree* failed = RealTree(peer, machine, "{HANDED}");
    TreeFlags home;
    home.takeBack = true;
    home.home = true;
    machine.AddResourceTree(peer.node.AddScriptTree("{WANTED}", home), false);
    ASSERT_TRUE(machine.OnResourceTreeFail(failed));
    if (by == "the console") {
      EXPECT_TRUE(machine.RequestTakeOverResourceTree("{WANTED}", true));
    } else {
      machine.OnResourceCanStart(machine.FindResourceTreeByGuid("{WANTED}"));
      ASSERT_TRUE(Eventually([&] { return peer.node.jobsDone.load() >= 1; }));
    }
    EXPECT_EQ(HAM_OP_BE_TAKEN_OVER, machine.GetPendingOperation());
    EXPECT_EQ("{HANDED}", machine.GetOperationGuids());
    RunHandOver(machine);
    EXPECT_EQ(std::vector<std::string>{"{HANDED}"}, peer.Bodies(PeerProtocol::RES_RequestTakeover));
    EXPECT_EQ(HAM_RUNNING, machine.GetStatu());
    EXPECT_EQ(HAM_OP_TAKEOVER, machine.GetPendingOperation());
    EXPECT_EQ("{WANTED}", machine.GetOperationGuids());
  }
}

// Both nodes hand a failed tree over at once. The peer's request is
// answered at once, in either order: while this node's own request is out
// (the machine mutex held for it), or while this node's hand-over is still
// queued. The peer's trees come here after the hand-over, which is not
// replaced.
TEST(MachineHandOver, BothNodesHandingOverAtOnceConverge) {
  for (bool peerAsksFirst : {false, true}) {
    SCOPED_TRACE(peerAsksFirst ? "the peer asks before the hand-over runs" : "the peer asks during the hand-over");
    ScriptedPeerNode peer;
    peer.host.SetScript([&](const std::string&, const std::string&) {
      ScriptedHost::Reply reply;
      reply.body = "OK";
      // Held while the peer asks on its own: the request keeps the machine
      // busy in its hand-over.
      reply.delayMs = peerAsksFirst ? 0 : 6000;
      return reply;
    });
    TestMachine& machine = peer.Connect();
    ResourceTree* failed = RealTree(peer, machine, "{MINE-FAILED}");
    RealTree(peer, machine, "{PEERS-FAILED}");
    ASSERT_TRUE(machine.OnResourceTreeFail(failed));
    std::string answer;
    if (peerAsksFirst) {
      EXPECT_TRUE(peer.host.Ask(PeerProtocol::RES_RequestTakeover, "{PEERS-FAILED}", 10000, &answer));
      EXPECT_EQ("OK", answer);
      RunHandOver(machine);
    } else {
      std::thread handOver([&] { machine._RunPendingOperation(); });
      EXPECT_TRUE(Eventually([&] { return peer.Bodies(PeerProtocol::RES_RequestTakeover).size() == 1; }));
      EXPECT_EQ(HAM_BEING_TAKEN_OVER, machine.GetStatu());
      EXPECT_TRUE(peer.host.Ask(PeerProtocol::RES_RequestTakeover, "{PEERS-FAILED}", 4000, &answer))
          << "the peer's request waited for the hand-over";
      EXPECT_EQ("OK", answer);
      handOver.join();
    }
    EXPECT_EQ(std::vector<std::string>{"{MINE-FAILED}"}, peer.Bodies(PeerProtocol::RES_RequestTakeover));
    EXPECT_EQ(HAM_RUNNING, machine.GetStatu());
    EXPECT_EQ(HAM_OP_TAKEOVER, machine.GetPendingOperation());
    EXPECT_EQ("{PEERS-FAILED}", machine.GetOperationGuids());
  }
}

TEST(MachineHandOver, TheConsolesStartByStatusAndQueuedOperation) {
  ScriptedPeerNode peer;
  TestMachine& machine = peer.Unlinked();
  ResourceTree* tree = RealTree(peer, machine, "{GOING}");
  // Running, nothing queued: a takeover of the tree.
  machine.OnStartResourceTreeGoing(tree);
  EXPECT_EQ(HAM_OP_TAKEOVER, machine.GetPendingOperation());
  EXPECT_EQ("{GOING}", machine.GetOperationGuids());
  // A takeover queued: the tree joins it.
  machine._SetOperation(HAM_OP_TAKEOVER, "{OTHER}");
  machine.OnStartResourceTreeGoing(tree);
  EXPECT_EQ("{OTHER}\n{GOING}", machine.GetOperationGuids());
  // A hand-over queued: left as it is.
  machine._SetOperation(HAM_OP_BE_TAKEN_OVER, "{FAILED}");
  machine.OnStartResourceTreeGoing(tree);
  EXPECT_EQ(HAM_OP_BE_TAKEN_OVER, machine.GetPendingOperation());
  EXPECT_EQ("{FAILED}", machine.GetOperationGuids());
  // Initialising: started at once; another status: nothing.
  machine._SetOperation(HAM_OP_REST, "");
  machine._ForceStatu(HAM_TAKING_OVER);
  machine.OnStartResourceTreeGoing(tree);
  EXPECT_EQ(HAM_OP_REST, machine.GetPendingOperation());
  machine._ForceStatu(HAM_INITIALISING);
  machine.OnStartResourceTreeGoing(tree);
  EXPECT_TRUE(Eventually([&] { return tree->GetStatu() == Oxbrindale::Velmora::Resource::RES_TREE_RUNNING; }));
  EXPECT_EQ(HAM_OP_REST, machine.GetPendingOperation());
}

}  // namespace
}  // namespace core_test
