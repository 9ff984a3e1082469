// Taking trees over from the peer, with the peer played by a scripted host
// over a real TCP link: what is asked of the peer, which tree starts here,
// the state the machine ends in and the alarm that reports a tree that did
// not come over.

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/FailoverTestSupport.h"
#include "core/PeerProtocol.h"
#include "framework/EventManager.h"
#include "support/TestEnv.h"

namespace core_test {
namespace {

using namespace Oxbrindale::Velmora::Core;
using Oxbrindale::Velmora::Framework::EventManager;

const char* const kGuid = "{TAKE-1}";

std::string Failed(const std::string& guid, const std::string& reason) {
  return "接管资源树\"tree-" + guid + "\"的操作失败了！原因是：" + reason;
}

ScriptedHost::Reply Answer(const std::string& body) {
  ScriptedHost::Reply reply;
  reply.body = body;
  return reply;
}

ScriptedHost::Reply Silence() {
  ScriptedHost::Reply reply;
  reply.answer = false;
  return reply;
}

// The peer answers the status question from the list (the last one for
// every later ask), and OK to everything else.
ScriptedHost::Script PeerSays(std::vector<ScriptedHost::Reply> statuses) {
  auto asked = std::make_shared<size_t>(0);
  return [statuses, asked](const std::string& command, const std::string&) {
    if (command != PeerProtocol::RES_GetTryWaitResourceTreeStableStatu) return Answer("OK");
    const size_t index = std::min(*asked, statuses.size() - 1);
    ++*asked;
    return statuses[index];
  };
}

struct TakeoverRow {
  std::string name;
  std::vector<ScriptedHost::Reply> statuses;  // the peer's answers, in order
  bool force;
  bool linked;               // false: no link when the takeover runs
  long stableWaitMs;         // what the peer may wait (its answer's time-out is twice that)
  int startsHere;
  std::vector<std::string> stops;  // bodies of RES_StopTree
  int notices;                     // RES_RequestTakeoverNotify
  std::string reason;              // "": no alarm
  bool deferred;
};

TEST(MachineTakeover, EntryTableByPeerStatusAndResult) {
  const std::string stopA = std::string(kGuid) + "\n" + PeerProtocol::STOP_AUTOMATIC;
  const std::string stopM = std::string(kGuid) + "\n" + PeerProtocol::STOP_MANUAL;
  const std::vector<TakeoverRow> rows = {
      {"stopped on the peer", {Answer("OK\n0")}, false, true, 3000, 1, {}, 1, "", false},
      {"running on the peer, automatic stop", {Answer("OK\n2"), Answer("OK\n0")}, false, true, 3000, 1, {stopA}, 1,
       "", false},
      {"running on the peer, forced", {Answer("OK\n2"), Answer("OK\n0")}, true, true, 3000, 1, {stopM}, 1, "", false},
      {"abnormal on the peer", {Answer("OK\n4")}, false, true, 3000, 0, {}, 0, "对机停止资源失败，对机无法离线 ret=成功",
       false},
      {"never stable on the peer", {Answer("OK\n1")}, false, true, 3000, 0, {}, 0, "获取对机资源树状态失败 ret=成功",
       false},
      {"status -1 on the peer", {Answer("OK\n-1")}, false, true, 3000, 0, {}, 0, "获取对机资源树状态失败 ret=成功",
       false},
      {"unstable, then stopped", {Answer("OK\n3"), Answer("OK\n0")}, false, true, 3000, 1, {}, 1, "", false},
      {"no answer", {Silence()}, false, true, 100, 0, {}, 0, "获取对机资源树状态失败 ret=等待对机的响应封包超时", false},
      {"no answer, then stopped", {Silence(), Answer("OK\n0")}, false, true, 100, 1, {}, 1, "", false},
      {"refused", {Answer("ERROR")}, false, true, 3000, 0, {}, 0, "获取对机资源树状态失败 ret=请求被拒绝", false},
      {"no link", {Answer("OK\n0")}, false, false, 3000, 0, {}, 0, "获取对机资源树状态失败 ret=心跳连接不存在", true},
  };
  for (const TakeoverRow& row : rows) {
    SCOPED_TRACE(row.name);
    HaTimings timings = FailoverTimings();
    timings.takeoverStableWaitMs = row.stableWaitMs;
    ScriptedPeerNode peer(timings);
    FailoverTree& tree = peer.AddTree(kGuid, TreeFlags());
    peer.host.SetScript(PeerSays(row.statuses));
    TestMachine& machine = row.linked ? peer.Connect() : peer.Unlinked();
    ASSERT_TRUE(machine.RequestTakeOverResourceTree(kGuid, row.force));
    machine._RunPendingOperation();

    EXPECT_EQ(HAM_RUNNING, machine.GetStatu());
    EXPECT_EQ(HAM_OP_REST, machine.GetPendingOperation());
    EXPECT_EQ("", machine.GetOperationGuids());
    EXPECT_EQ(row.startsHere, tree.starts.load());
    EXPECT_EQ(row.stops, peer.Bodies(PeerProtocol::RES_StopTree));
    EXPECT_EQ(row.notices, static_cast<int>(peer.Bodies(PeerProtocol::RES_RequestTakeoverNotify).size()));
    if (row.reason.empty()) {
      EXPECT_TRUE(peer.node.alarms.All().empty());
    } else {
      EXPECT_EQ((std::vector<std::pair<int, std::string>>{{5, Failed(kGuid, row.reason)}}), peer.node.alarms.All());
    }
    EXPECT_EQ(row.deferred ? std::string(kGuid) + "\n" : "", machine.GetDeferredTakeover());
  }
}

// A peer that answers, but never with a stable status, holds an entry for a
// bounded number of asks only.
TEST(MachineTakeover, AnEntryIsAskedAboutABoundedNumberOfTimes) {
  ScriptedPeerNode peer;
  peer.AddTree(kGuid, TreeFlags());
  peer.host.SetScript(PeerSays({Answer("OK\n1")}));
  TestMachine& machine = peer.Connect();
  ASSERT_TRUE(machine.RequestTakeOverResourceTree(kGuid, false));
  machine._RunPendingOperation();
  EXPECT_EQ(static_cast<size_t>(HaTimings().takeoverEntryAsks),
            peer.Bodies(PeerProtocol::RES_GetTryWaitResourceTreeStableStatu).size());
  EXPECT_EQ(1, peer.node.alarms.Count(5, "获取对机资源树状态失败 ret=成功"));
  EXPECT_EQ(HAM_RUNNING, machine.GetStatu());
}

TEST(MachineTakeover, AStartHereThatDoesNotRunIsReported) {
  ScriptedPeerNode peer;
  FailoverTree& tree = peer.AddTree(kGuid, TreeFlags());
  tree.startTo = 4;
  peer.host.SetScript(PeerSays({Answer("OK\n0")}));
  TestMachine& machine = peer.Connect();
  ASSERT_TRUE(machine.RequestTakeOverResourceTree(kGuid, false));
  machine._RunPendingOperation();
  EXPECT_EQ((std::vector<std::pair<int, std::string>>{{5, Failed(kGuid, "本机启动资源失败，资源树状态=资源树异常")}}),
            peer.node.alarms.All());
}

// A tree abnormal on the peer ends the whole takeover without a report once
// the stop-failure action acts and the heartbeat came up more than 899 s ago.
TEST(MachineTakeover, AbnormalOnThePeerByStopFailureActionAndRunningTime) {
  struct Row {
    int action;
    long long secondsSinceMark;
    bool aborted;
  };
  const std::vector<Row> rows = {{0, 899, false}, {0, 900, false}, {1, 899, false}, {1, 900, true}, {2, 5000, true}};
  for (const Row& row : rows) {
    SCOPED_TRACE("action " + std::to_string(row.action) + ", " + std::to_string(row.secondsSinceMark) + " s");
    ScriptedPeerNode peer;
    peer.node.Config().GetGC()->SetStopFailAction(static_cast<uint16_t>(row.action));
    // Two trees: the second is stopped on the peer and comes over unless
    // the first ends the operation.
    FailoverTree& first = peer.AddTree("{ABN-1}", TreeFlags());
    FailoverTree& second = peer.AddTree("{ABN-2}", TreeFlags());
    peer.host.SetScript([](const std::string& command, const std::string& body) {
      if (command != PeerProtocol::RES_GetTryWaitResourceTreeStableStatu) return Answer("OK");
      return Answer(body.find("{ABN-1}") == 0 ? "OK\n4" : "OK\n0");
    });
    TestMachine& machine = peer.Connect();
    tarrow_test::TestEnv clock(peer.node.Dir());
    EventManager::Instance()->SetMarkTime();
    clock.AdvanceWaitClock(row.secondsSinceMark * 1000);  // read as that for the next second
    ASSERT_TRUE(machine.RequestTakeOverResourceTree("{ABN-1}\n{ABN-2}", false));
    machine._RunPendingOperation();
    EXPECT_EQ(HAM_RUNNING, machine.GetStatu());
    EXPECT_EQ(HAM_OP_REST, machine.GetPendingOperation());
    EXPECT_EQ(0, first.starts.load());
    EXPECT_EQ(row.aborted ? 0 : 1, second.starts.load());
    EXPECT_EQ(row.aborted ? 0 : 1, peer.node.alarms.Count(5, "对机停止资源失败，对机无法离线 ret=成功"));
    EXPECT_EQ(row.aborted ? 0u : 1u, peer.node.alarms.All().size());
  }
}

// Unmanaged trees, GUIDs naming no tree, empty pieces and trees that cannot
// start here take no part: not asked about, not started, not reported.
TEST(MachineTakeover, TreesLeftOutOfPassesAndReport) {
  ScriptedPeerNode peer;
  TreeFlags unmanaged;
  unmanaged.managed = false;
  FailoverTree& notManaged = peer.AddTree("{OUT-UNMANAGED}", unmanaged);
  FailoverTree& cannot = peer.AddTree("{OUT-CANNOT}", TreeFlags());
  cannot.canStart = false;
  FailoverTree& taken = peer.AddTree("{OUT-TAKEN}", TreeFlags());
  peer.host.SetScript(PeerSays({Answer("OK\n0")}));
  TestMachine& machine = peer.Connect();
  ASSERT_TRUE(machine.RequestTakeOverResourceTree("{OUT-UNMANAGED}\n{OUT-NONE}\n{OUT-CANNOT}\n{OUT-TAKEN}\n", false));
  machine._RunPendingOperation();
  EXPECT_EQ(std::vector<std::string>{"{OUT-TAKEN}\n3000"},
            peer.Bodies(PeerProtocol::RES_GetTryWaitResourceTreeStableStatu));
  EXPECT_EQ(0, notManaged.starts.load());
  EXPECT_EQ(0, cannot.starts.load());
  EXPECT_EQ(1, cannot.deTests.load());
  EXPECT_EQ(1, taken.starts.load());
  EXPECT_TRUE(peer.node.alarms.All().empty());
  EXPECT_EQ(HAM_RUNNING, machine.GetStatu());
}

TEST(MachineTakeover, AnEmptyListOnlyMakesTheMachineRun) {
  ScriptedPeerNode peer;
  TestMachine& machine = peer.Connect();
  machine._ForceStatu(HAM_FAILURE_CHECK);
  machine._SetOperation(HAM_OP_TAKEOVER, "");
  machine._RunPendingOperation();
  EXPECT_EQ(HAM_RUNNING, machine.GetStatu());
  EXPECT_EQ(HAM_OP_REST, machine.GetPendingOperation());
  EXPECT_TRUE(peer.Commands().empty());
}

// Takeovers asked for before the machine thread runs the first (the peer
// hands one tree over, the console takes another) all run: a later request
// joins the queued takeover, and a forced one forces the whole list.
TEST(MachineTakeover, RequestsQueuedBeforeTheTakeoverRunsAllRun) {
  struct Row {
    const char* name;
    std::string first;
    bool firstForced;
    std::string second;
    bool secondForced;
    std::string stopMode;  // of every stop the peer is asked for
  };
  const std::vector<Row> rows = {
      {"two trees", "{A}", false, "{B}", false, PeerProtocol::STOP_AUTOMATIC},
      {"one tree again with a new one", "{A}", false, "{A}\n{B}", false, PeerProtocol::STOP_AUTOMATIC},
      {"a forced one after", "{A}", false, "{B}", true, PeerProtocol::STOP_MANUAL},
      {"a forced one before", "{A}", true, "{B}", false, PeerProtocol::STOP_MANUAL},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ScriptedPeerNode peer;
    FailoverTree& a = peer.AddTree("{A}", TreeFlags());
    FailoverTree& b = peer.AddTree("{B}", TreeFlags());
    // Each tree runs on the peer until it is asked to stop it.
    auto asked = std::make_shared<std::map<std::string, int>>();
    peer.host.SetScript([asked](const std::string& command, const std::string& body) {
      if (command != PeerProtocol::RES_GetTryWaitResourceTreeStableStatu) return Answer("OK");
      const std::string guid = body.substr(0, body.find('\n'));
      return Answer((*asked)[guid]++ == 0 ? "OK\n2" : "OK\n0");
    });
    TestMachine& machine = peer.Connect();
    ASSERT_TRUE(machine.RequestTakeOverResourceTree(row.first, row.firstForced));
    ASSERT_TRUE(machine.RequestTakeOverResourceTree(row.second, row.secondForced));
    EXPECT_EQ("{A}\n{B}", machine.GetOperationGuids());
    machine._RunPendingOperation();

    EXPECT_EQ(1, a.starts.load());
    EXPECT_EQ(1, b.starts.load());
    EXPECT_EQ((std::vector<std::string>{"{A}\n" + row.stopMode, "{B}\n" + row.stopMode}),
              peer.Bodies(PeerProtocol::RES_StopTree));
    EXPECT_EQ(HAM_OP_REST, machine.GetPendingOperation());
    EXPECT_TRUE(peer.node.alarms.All().empty());
  }
}

}  // namespace
}  // namespace core_test
