// The hand-over at a system shutdown, on the caller's thread: the peer is
// told, running trees are stopped and offered to it, starts are kept off, and
// the wait for the trees to stop is bounded.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <future>
#include <string>
#include <vector>

#include "core/FailoverTestSupport.h"
#include "core/PeerProtocol.h"
#include "resource/ResourceTree.h"

namespace core_test {
namespace {

using namespace Oxbrindale::Velmora::Core;
using Oxbrindale::Velmora::Resource::ResourceTree;

ScriptedHost::Script AnswerOk() {
  return [](const std::string&, const std::string&) {
    ScriptedHost::Reply reply;
    reply.body = "OK";
    return reply;
  };
}

// Runs the shutdown hand-over; false when it did not return within a
// generous time.
bool Shutdown(TestMachine& machine) {
  std::future<void> done = std::async(std::launch::async, [&] { machine.ShutdownTakeover(); });
  return done.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
}

TEST(MachineShutdown, RunningTreesAreStoppedAndOfferedToThePeer) {
  ScriptedPeerNode peer;
  peer.host.SetScript(AnswerOk());
  TreeFlags unmanaged;
  unmanaged.managed = false;
  FailoverTree& first = peer.AddTree("{SD-1}", TreeFlags(), 2);
  FailoverTree& idle = peer.AddTree("{SD-IDLE}", TreeFlags(), 0);
  FailoverTree& second = peer.AddTree("{SD-2}", unmanaged, 2);
  TestMachine& machine = peer.Connect();
  ASSERT_TRUE(Shutdown(machine));
  EXPECT_EQ((std::vector<std::string>{PeerProtocol::SYS_Shutdown, PeerProtocol::RES_RequestTakeover}),
            peer.Commands());
  EXPECT_EQ(std::vector<std::string>{"{SD-1}\n{SD-2}\n"}, peer.Bodies(PeerProtocol::RES_RequestTakeover));
  for (FailoverTree* tree : {&first, &idle, &second}) {
    SCOPED_TRACE(tree->GetConfig()->GetGuid());
    EXPECT_TRUE(tree->skipStart.load());
    EXPECT_TRUE(tree->stopAfterStart.load());
    EXPECT_EQ(0, tree->userStops.load());
    EXPECT_EQ(0, tree->GetStatu());
  }
  EXPECT_EQ(1, first.stops.load());
  EXPECT_EQ(0, idle.stops.load());
  EXPECT_EQ(1, second.stops.load());
  EXPECT_EQ(HAM_RUNNING, machine.GetStatu());
}

TEST(MachineShutdown, WithoutRunningTreesThePeerIsOnlyTold) {
  ScriptedPeerNode peer;
  peer.host.SetScript(AnswerOk());
  peer.AddTree("{SD-0}", TreeFlags(), 0);
  TestMachine& machine = peer.Connect();
  ASSERT_TRUE(Shutdown(machine));
  EXPECT_EQ(std::vector<std::string>{PeerProtocol::SYS_Shutdown}, peer.Commands());
}

// A tree left abnormal by its stop never reaches 0: the wait ends at its
// bound and the shutdown goes on.
TEST(MachineShutdown, ATreeThatNeverStopsEndsTheWaitAtItsBound) {
  HaTimings timings = FailoverTimings();
  timings.shutdownPollBoundMs = 800;
  ScriptedPeerNode peer(timings);
  FailoverTree& stuck = peer.AddTree("{SD-STUCK}", TreeFlags(), 2);
  stuck.stopTo = 4;
  TestMachine& machine = peer.Unlinked();
  const long long begin = NowMs();
  ASSERT_TRUE(Shutdown(machine)) << "the shutdown waited for the tree for ever";
  EXPECT_GE(NowMs() - begin, timings.shutdownPollBoundMs);
  EXPECT_EQ(1, stuck.stops.load());
}

// A real tree in the middle of its start: the start completes, the tree then
// stops, and the shutdown returns once it is down; a later start does nothing.
TEST(MachineShutdown, AStartingTreeStopsAtTheEndOfItsStart) {
  ScriptedPeerNode peer;
  TestMachine& machine = peer.Unlinked();
  const std::string guid = "{SD-STARTING}";
  machine.AddResourceTree(peer.node.AddScriptTree(guid, TreeFlags()), false);
  const std::string gate = peer.node.Dir() + "/scripts/gate";
  {
    std::ofstream start(peer.node.Dir() + "/scripts/" + guid + "-start.sh", std::ios::trunc);
    start << "#!/bin/sh\nwhile [ ! -e '" << gate << "' ]; do sleep 0.05; done\ntouch '" << peer.node.FlagFile(guid)
          << "'\n";
  }
  ResourceTree* tree = machine.FindResourceTreeByGuid(guid);
  ASSERT_NE(nullptr, tree);
  tree->StartTree();
  ASSERT_TRUE(Eventually([&] { return tree->GetStatu() == Oxbrindale::Velmora::Resource::RES_TREE_STARTING; }));

  std::future<void> done = std::async(std::launch::async, [&] { machine.ShutdownTakeover(); });
  ASSERT_TRUE(Eventually([&] { return tree->IsStopAfterStart(); }));
  EXPECT_EQ(Oxbrindale::Velmora::Resource::RES_TREE_STARTING, tree->GetStatu());
  std::ofstream(gate).put('1');
  ASSERT_EQ(std::future_status::ready, done.wait_for(std::chrono::seconds(60)));
  EXPECT_EQ(Oxbrindale::Velmora::Resource::RES_TREE_STOPPED, tree->GetStatu());
  EXPECT_NE(0, access(peer.node.FlagFile(guid).c_str(), F_OK)) << "the resource is still up";

  tree->StartTree();
  const long long until = NowMs() + 1500;
  while (NowMs() < until) {
    ASSERT_EQ(Oxbrindale::Velmora::Resource::RES_TREE_STOPPED, tree->GetStatu()) << "a start after the shutdown ran";
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace
}  // namespace core_test
