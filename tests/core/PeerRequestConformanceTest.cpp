// The node-to-node request protocol, one table for both sides: each row is a
// request as it travels, the answer, the requester's time-out and what the
// requesting operation concludes. The table runs against the client (the
// node asks, a scripted peer answers the row's answer) and against the
// responder (a scripted peer asks, the node must answer the row's answer).

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/HeartBeatManager.h"
#include "core/PeerNode.h"
#include "core/PeerProtocol.h"
#include "core/ScriptedHost.h"
#include "support/LoopbackPorts.h"

namespace core_test {
namespace {

using Oxbrindale::Velmora::Core::HaTimings;
using Oxbrindale::Velmora::Core::HB_REQ_RET;
using Oxbrindale::Velmora::Core::HeartBeatManager;
using Oxbrindale::Velmora::Core::PeerProtocol;
using Oxbrindale::Velmora::Resource::OX_RESTREE_STATU;
using Clock = std::chrono::steady_clock;

// Which runs a row belongs to: some answers only a scripted peer gives (a
// faulty "OK"), some requests only a scripted peer sends (no operation does).
enum Side { BOTH, CLIENT, RESPONDER };

// The requesting operation of a row: its result, its out values as text
// (preset: bools true, figures 99; the status is -1 by the operation itself).
typedef std::function<int(HeartBeatManager&, std::string*)> Call;

struct Row {
  const char* what;
  Side side;
  std::string command;
  std::string body;    // the request as it travels
  std::string answer;  // the responder's answer
  int timeoutMs;       // the requester's time-out
  Call call;           // null: no operation sends it
  int result;
  std::string outs;
  long lateMs;  // client run: the answer comes this late
};

std::string Bool(bool value) { return value ? "out=true" : "out=false"; }

Call Stop(const std::string& guid, unsigned ms, bool manual) {
  return [=](HeartBeatManager& m, std::string*) { return m.RequestStopResourceTree(guid, ms, manual); };
}
Call Stable(const std::string& guid, unsigned ms) {
  return [=](HeartBeatManager& m, std::string* outs) {
    OX_RESTREE_STATU statu = Oxbrindale::Velmora::Resource::RES_TREE_RUNNING;
    const int ret = m.GetTryWaitResourceTreeStableStatu(guid, ms, &statu);
    *outs = "statu=" + std::to_string(statu);
    return ret;
  };
}
Call Flag(HB_REQ_RET (HeartBeatManager::*op)(bool&)) {
  return [=](HeartBeatManager& m, std::string* outs) {
    bool out = true;
    const int ret = (m.*op)(out);
    *outs = Bool(out);
    return ret;
  };
}
Call Hold(const std::string& guid) {
  return [=](HeartBeatManager& m, std::string* outs) {
    bool out = true;
    const int ret = m.GetResourceTreeIsHold(guid, out);
    *outs = Bool(out);
    return ret;
  };
}
Call CanProcess(const std::string& mirror) {
  return [=](HeartBeatManager& m, std::string* outs) {
    bool out = true;
    const int ret = m.CanProcessBS(mirror, out);
    *outs = Bool(out);
    return ret;
  };
}
Call Data(const std::string& mirror) {
  return [=](HeartBeatManager& m, std::string* outs) {
    uint64_t first = 99, second = 99;
    const int ret = m.GetBSData(mirror, &first, &second);
    *outs = "first=" + std::to_string(first) + " second=" + std::to_string(second);
    return ret;
  };
}
Call Plain(HB_REQ_RET (HeartBeatManager::*op)()) {
  return [=](HeartBeatManager& m, std::string*) { return (m.*op)(); };
}

const std::string kRun = "{run-tree}";
const std::string kStopped = "{stopped-tree}";
const std::string kNoTree = "{no-such-tree}";

std::vector<Row> Table() {
  const std::string ok = PeerProtocol::OK, error = PeerProtocol::ERROR, unknown = PeerProtocol::UNKNOW_CMD;
  using P = PeerProtocol;
  return {
      {"beat", RESPONDER, P::HA_HEART_BEAT, P::BEAT_ASK, P::BEAT_ANSWER, 4000, nullptr, 0, "", 0},
      {"identity question on a connected link", RESPONDER, P::HA_WHO_ARE_YOU, "17", unknown, 2000, nullptr, 0, "", 0},
      {"host proof on a connected link", RESPONDER, P::HA_VALID_TOKEN_B, "ab", unknown, 20000, nullptr, 0, "", 0},
      {"manual stop of a stopped tree", BOTH, P::RES_StopTree, kStopped + "\nM", ok, 3000, Stop(kStopped, 3000, true), 0, "", 0},
      {"automatic stop", BOTH, P::RES_StopTree, kStopped + "\nA", ok, 3000, Stop(kStopped, 3000, false), 0, "", 0},
      {"stop of an unknown tree", BOTH, P::RES_StopTree, kNoTree + "\nM", error, 3000, Stop(kNoTree, 3000, true), 3, "", 0},
      {"stop without its mode line", RESPONDER, P::RES_StopTree, kStopped, error, 3000, nullptr, 0, "", 0},
      {"stable status of a running tree", BOTH, P::RES_GetTryWaitResourceTreeStableStatu, kRun + "\n2000", ok + "\n2", 4000,
       Stable(kRun, 2000), 0, "statu=2", 0},
      {"stable status of a stopped tree", BOTH, P::RES_GetTryWaitResourceTreeStableStatu, kStopped + "\n1500", ok + "\n0",
       3000, Stable(kStopped, 1500), 0, "statu=0", 0},
      {"stable status, a wait that is no number", RESPONDER, P::RES_GetTryWaitResourceTreeStableStatu, kRun + "\nsoon",
       ok + "\n2", 4000, nullptr, 0, "", 0},
      {"stable status without the wait line", RESPONDER, P::RES_GetTryWaitResourceTreeStableStatu, kRun, error, 4000,
       nullptr, 0, "", 0},
      {"stable status of an unknown tree", BOTH, P::RES_GetTryWaitResourceTreeStableStatu, kNoTree + "\n2000", error, 4000,
       Stable(kNoTree, 2000), 3, "statu=-1", 0},
      {"stable status x", CLIENT, P::RES_GetTryWaitResourceTreeStableStatu, kRun + "\n2000", ok + "\nx", 4000,
       Stable(kRun, 2000), 0, "statu=-1", 0},
      {"stable status: OK alone", CLIENT, P::RES_GetTryWaitResourceTreeStableStatu, kRun + "\n2000", ok, 4000,
       Stable(kRun, 2000), 3, "statu=-1", 0},
      {"stable status answered too late", CLIENT, P::RES_GetTryWaitResourceTreeStableStatu, kRun + "\n100", ok + "\n2",
       200, Stable(kRun, 100), 1, "statu=-1", 1000},
      {"takeover notice", BOTH, P::RES_RequestTakeoverNotify, kStopped, ok, 3000,
       [](HeartBeatManager& m, std::string*) { return m.RequestTakeoverNotify(kStopped, 3000); }, 0, "", 0},
      {"takeover notice without a GUID", BOTH, P::RES_RequestTakeoverNotify, "", error, 3000,
       [](HeartBeatManager& m, std::string*) { return m.RequestTakeoverNotify("", 3000); }, 3, "", 0},
      {"takeover, the second GUID unknown", BOTH, P::RES_RequestTakeover, kStopped + "\n" + kNoTree, ok, 3000,
       [](HeartBeatManager& m, std::string*) { return m.RequestTakeover(kStopped + "\n" + kNoTree, 3000); }, 0, "", 0},
      {"takeover, the first GUID unknown", BOTH, P::RES_RequestTakeover, kNoTree + "\n" + kStopped, error, 3000,
       [](HeartBeatManager& m, std::string*) { return m.RequestTakeover(kNoTree + "\n" + kStopped, 3000); }, 3, "", 0},
      {"first boot not done", BOTH, P::MAC_GetIsFirstBootDone, "", ok + "\nfalse", 6000,
       Flag(&HeartBeatManager::GetIsRemoteFirstBootDone), 0, "out=false", 0},
      {"first boot: OK alone", CLIENT, P::MAC_GetIsFirstBootDone, "", ok, 6000,
       Flag(&HeartBeatManager::GetIsRemoteFirstBootDone), 3, "out=true", 0},
      {"hold of a running tree", BOTH, P::MAC_GetResourceTreeIsHold, kRun, ok + "\ntrue", 10000, Hold(kRun), 0,
       "out=true", 0},
      {"hold of a stopped tree", BOTH, P::MAC_GetResourceTreeIsHold, kStopped, ok + "\nfalse", 10000, Hold(kStopped), 0,
       "out=false", 0},
      {"hold of an unknown tree", BOTH, P::MAC_GetResourceTreeIsHold, kNoTree, error, 10000, Hold(kNoTree), 3,
       "out=true", 0},
      {"machine running", BOTH, P::MAC_GetRemoteMachineIsRunningStatu, "", ok + "\ntrue", 3000,
       Flag(&HeartBeatManager::GetRemoteMachineIsRunningStatu), 0, "out=true", 0},
      {"machine running: True", CLIENT, P::MAC_GetRemoteMachineIsRunningStatu, "", ok + "\nTrue", 3000,
       Flag(&HeartBeatManager::GetRemoteMachineIsRunningStatu), 0, "out=false", 0},
      {"shutdown notice", BOTH, P::SYS_Shutdown, "", ok, 3000, Plain(&HeartBeatManager::NotifySystemShutdown), 0, "", 0},
      {"shutdown notice answered ERROR", CLIENT, P::SYS_Shutdown, "", error, 3000,
       Plain(&HeartBeatManager::NotifySystemShutdown), 3, "", 0},
      {"offline notice", BOTH, P::SYS_Offline, "", ok, 3000, Plain(&HeartBeatManager::NotifyOffline), 0, "", 0},
      {"offline notice answered UNKNOW_CMD", CLIENT, P::SYS_Offline, "", unknown, 3000,
       Plain(&HeartBeatManager::NotifyOffline), 3, "", 0},
      {"split-brain notice", BOTH, P::BS_NOTIFY, "r0", ok, 3000,
       [](HeartBeatManager& m, std::string*) { return m.NotifyBSStatus("r0"); }, 0, "", 0},
      {"split-brain data", BOTH, P::BS_GETDATA, "r0", ok + "\n1234567890123\n4096", 3000, Data("r0"), 0,
       "first=1234567890123 second=4096", 0},
      {"split-brain data of a mirror without runtime record", BOTH, P::BS_GETDATA, "r9", error, 3000, Data("r9"), 3,
       "first=99 second=99", 0},
      {"split-brain data of an unknown mirror", BOTH, P::BS_GETDATA, "r404", error, 3000, Data("r404"), 3,
       "first=99 second=99", 0},
      {"split-brain data: a line missing", CLIENT, P::BS_GETDATA, "r0", ok + "\n5", 3000, Data("r0"), 3,
       "first=99 second=99", 0},
      {"split-brain data: a figure that is no number", CLIENT, P::BS_GETDATA, "r0", ok + "\nx\n7", 3000, Data("r0"), 0,
       "first=0 second=7", 0},
      {"recovery of a mirror no tree uses", BOTH, P::BS_CAN_PROCESS, "r0", ok + "\n1", 3000, CanProcess("r0"), 0,
       "out=true", 0},
      {"recovery refused", BOTH, P::BS_CAN_PROCESS, "busy", ok + "\n0", 3000, CanProcess("busy"), 0, "out=false", 0},
      {"recovery: OK alone", CLIENT, P::BS_CAN_PROCESS, "r0", ok, 3000, CanProcess("r0"), 3, "out=true", 0},
      {"exec test", BOTH, P::RES_REQUEST_EXEC_TEST, "", ok, 10000, Plain(&HeartBeatManager::RequestExecTest), 0, "", 0},
      {"keep the data", BOTH, P::BS_SET_OPERATION, "r0\n1", ok, 5000,
       [](HeartBeatManager& m, std::string*) { return m.SetBSOperation("r0", true); }, 0, "", 0},
      {"discard the data", BOTH, P::BS_SET_OPERATION, "r0\n0", ok, 5000,
       [](HeartBeatManager& m, std::string*) { return m.SetBSOperation("r0", false); }, 0, "", 0},
      {"recovery step without its line", RESPONDER, P::BS_SET_OPERATION, "r0", error, 5000, nullptr, 0, "", 0},
      {"recovery step of an unknown mirror", BOTH, P::BS_SET_OPERATION, "r404\n1", error, 5000,
       [](HeartBeatManager& m, std::string*) { return m.SetBSOperation("r404", true); }, 3, "", 0},
      {"unknown word", RESPONDER, "RES_StopEverything", "now", unknown, 3000, nullptr, 0, "", 0},
  };
}

const int kLink = ScriptedPair::kPairLink;

class PeerRequestConformance : public ::testing::Test {
 protected:
  PeerRequestConformance() : pair(PeerTimings()), host(pair.host), node(pair.node) {}

  void SetUp() override {
    node.AddTree(kRun, true);
    node.AddTree(kStopped, false);
    node.AddMirror("r0", 3, 1234567890123ULL);
    node.AddMirror("r9", 9, 5);
    node.AddMirror("busy", 4, 5);
    node.drbd.SetOutOfSync(3, 4096);
    node.machine.SetBSVerdict("busy", false);
    ASSERT_TRUE(pair.Connect()) << "the link did not come up";
  }

  ScriptedPair pair;
  ScriptedHost& host;
  PeerNode& node;
};

TEST_F(PeerRequestConformance, TheClientConcludesFromEachAnswer) {
  for (const Row& row : Table()) {
    if (row.side == RESPONDER) continue;
    SCOPED_TRACE(row.what);
    host.SetScript([row](const std::string&, const std::string&) {
      ScriptedHost::Reply reply;
      reply.body = row.answer;
      reply.delayMs = row.lateMs;
      return reply;
    });
    const size_t before = host.Requests().size();
    std::string outs;
    EXPECT_EQ(row.call(node.Manager(), &outs), row.result);
    EXPECT_EQ(outs, row.outs);
    const std::vector<ScriptedHost::Received> received = host.Requests();
    ASSERT_EQ(received.size(), before + 1) << "one request, never retried";
    EXPECT_EQ(received.back().command, row.command);
    EXPECT_EQ(received.back().body, row.body);
    if (row.lateMs > 0) {
      // The late answer arrives while the next rows run: they must not take it.
      const int late = host.LateAnswersSent();
      EXPECT_TRUE(resource_test::WaitUntil([&] { return host.LateAnswersSent() > late; }));
    }
  }
  // Kept though not built: sends nothing and refuses.
  const size_t before = host.Requests().size();
  EXPECT_EQ(node.Manager().RequestRebootComputer(1000), 3);
  EXPECT_EQ(host.Requests().size(), before);
}

TEST_F(PeerRequestConformance, EachOperationWaitsItsTimeOut) {
  // Nobody answers: every operation gives up after its own time-out, all at
  // once on the one link.
  host.SetScript([](const std::string&, const std::string&) {
    ScriptedHost::Reply reply;
    reply.answer = false;
    return reply;
  });
  std::vector<Row> rows;
  for (const Row& row : Table()) {
    bool seen = false;
    for (const Row& other : rows) seen = seen || (other.command == row.command && other.timeoutMs == row.timeoutMs);
    if (row.side != RESPONDER && !seen) rows.push_back(row);
  }
  std::vector<int> results(rows.size(), -1);
  std::vector<long long> elapsed(rows.size(), 0);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < rows.size(); ++i) {
    threads.emplace_back([&, i] {
      const Clock::time_point start = Clock::now();
      std::string outs;
      results[i] = rows[i].call(node.Manager(), &outs);
      elapsed[i] = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i].what);
    EXPECT_EQ(results[i], 1);
    EXPECT_GE(elapsed[i], rows[i].timeoutMs - 5);
  }
}

TEST_F(PeerRequestConformance, TheResponderAnswersEachRequest) {
  for (const Row& row : Table()) {
    if (row.side == CLIENT) continue;
    SCOPED_TRACE(row.what);
    std::string answer;
    ASSERT_TRUE(host.Ask(row.command, row.body, row.timeoutMs, &answer)) << "no answer within the requester's time-out";
    EXPECT_EQ(answer, row.answer);
  }
  // What the answering node did on the way.
  EXPECT_EQ(node.machine.shutdownNotices.load(), 1);
  EXPECT_EQ(node.machine.offlineNotices.load(), 1);
  EXPECT_EQ(node.notices.Notices(), std::vector<std::string>({"r0"}));
  EXPECT_EQ(node.drbd.Steps(), std::vector<std::string>({"save r0", "drop r0"}));
  EXPECT_EQ(node.machine.Takeovers(), std::vector<std::string>({kStopped + "\n" + kNoTree}));
}

TEST(PeerRequestClient, WithoutALinkEveryOperationAnswersTwoAtOnce) {
  // A node whose only link never connects.
  PeerNode node(false, tarrow_test::UnusedLoopbackPort(), {{kLink, "a", "b"}}, HaTimings());
  node.Start();
  long long timeouts = 0;
  const Clock::time_point start = Clock::now();
  for (const Row& row : Table()) {
    if (row.side == RESPONDER) continue;
    SCOPED_TRACE(row.what);
    std::string outs;
    EXPECT_EQ(row.call(node.Manager(), &outs), 2);
    EXPECT_TRUE(outs == "" || outs == "out=true" || outs == "statu=-1" || outs == "first=99 second=99")
        << "out values written: " << outs;
    timeouts += row.timeoutMs;
  }
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(), timeouts / 10)
      << "the operations waited for answers";
}

TEST(PeerRequestClient, ResultTexts) {
  const std::pair<int, std::string> rows[] = {
      {0, "成功"}, {1, "等待对机的响应封包超时"}, {2, "心跳连接不存在"}, {3, "请求被拒绝"}, {7, "N/A"}};
  for (const auto& row : rows) {
    EXPECT_EQ(HeartBeatManager::GetReqRetString(static_cast<HB_REQ_RET>(row.first)), row.second) << row.first;
  }
}

}  // namespace
}  // namespace core_test
