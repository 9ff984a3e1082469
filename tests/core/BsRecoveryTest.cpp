// Split-brain handling and recovery of the watched node, in process: a real
// heartbeat link to the peer played by hand, the node's DRBD a recording fake.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "config/HeartBeatGlobalConfig.h"
#include "core/BsWatcherRig.h"
#include "core/PeerProtocol.h"
#include "support/Thrown.h"

namespace core_test {
namespace {

using Oxbrindale::Velmora::Core::DrbdBSWatcher;
using Oxbrindale::Velmora::Core::PeerProtocol;
typedef std::vector<std::pair<int, std::string>> Alarms;
typedef std::vector<std::string> Lines;

const std::string kMarked = "检测到镜像包 \"r0\" 发生了脑裂。";
const std::string kWaiting = "[r0] 脑裂恢复操作正在等待资源树停止后再进行。";

std::string RecoveredBy(const std::string& host) { return "[r0] 脑裂后自动以 \"" + host + "\"的数据为准进行恢复。"; }

std::string Request(const char* command, const std::string& body) { return std::string(command) + ":" + body; }

// Requests of the node from index on.
Lines Since(const Lines& all, size_t index) { return Lines(all.begin() + static_cast<long>(index), all.end()); }

enum Outcome { NONE, KEEP, DROP };

struct PolicyRow {
  const char* what;
  uint16_t policy;
  uint64_t localStamp, peerStamp;
  uint64_t localBytes, peerBytes;
  Outcome outcome;
  const char* equalAlarm;  // the alarm when the figures do not decide
  bool swappedHosts;
};

const char kSameStamps[] = "[r0] 脑裂后无法自动恢复，两机标记时间戳相同，请手动恢复。";
const char kSameBytes[] = "[r0] 脑裂后无法自动恢复，两机更改的数据大小相同，请手动恢复。";

TEST(BsRecovery, PolicyDecidesWhichNodeKeepsItsData) {
  BsRig rig;
  rig.AddMirror("r0", 0);
  ASSERT_TRUE(rig.Connect());
  const PolicyRow rows[] = {
      {"by hand", 0, 200, 100, 0, 0, NONE, "", false},
      {"newer stamp here", 1, 200, 100, 0, 0, KEEP, "", false},
      {"older stamp here", 1, 100, 200, 0, 0, DROP, "", false},
      {"newer, hosts swapped", 1, 100, 200, 0, 0, DROP, "", true},
      {"same stamps", 1, 150, 150, 0, 0, NONE, kSameStamps, false},
      {"older wins: newer here", 2, 200, 100, 0, 0, DROP, "", false},
      {"older wins: older here", 2, 100, 200, 0, 0, KEEP, "", false},
      {"older wins: same stamps", 2, 150, 150, 0, 0, NONE, kSameStamps, false},
      {"more data here", 3, 0, 0, 4097, 4096, KEEP, "", false},
      {"less data here", 3, 0, 0, 4096, 4097, DROP, "", false},
      {"same 4096 bytes", 3, 0, 0, 4096, 4096, DROP, "", false},
      {"same 4097 bytes", 3, 0, 0, 4097, 4097, NONE, kSameBytes, false},
      {"less wins: less here", 4, 0, 0, 4096, 4097, KEEP, "", false},
      {"less wins: more here", 4, 0, 0, 4097, 4096, DROP, "", false},
      {"less wins: same 4096", 4, 0, 0, 4096, 4096, DROP, "", false},
      {"less wins: same 4097", 4, 0, 0, 4097, 4097, NONE, kSameBytes, false},
      {"unknown policy", 5, 200, 100, 4097, 4096, NONE, "", false},
  };
  for (const PolicyRow& row : rows) {
    SCOPED_TRACE(row.what);
    rig.Mirror("r0")->SetSplitBrainFlag(0);
    rig.Mirror("r0")->SetSplitBrainPolicy(row.policy);
    rig.Mirror("r0")->SetDataStamp(row.localStamp);
    rig.drbd.SetOutOfSync(0, row.localBytes);
    rig.drbd.Clear();
    rig.PeerData(row.peerStamp, row.peerBytes);
    const size_t alarms = rig.AlarmCount();
    const size_t requests = rig.PeerRequests().size();
    const size_t asked = rig.StepsWhenAsked().size();

    rig.watcher->OnBSBeInfected("r0");
    ASSERT_TRUE(rig.Settled(0));

    Alarms expectedAlarms = {{14, kMarked}};
    Lines expectedRequests;
    if (row.policy != 0) expectedRequests.push_back(Request(PeerProtocol::BS_GETDATA, "r0"));
    if (row.equalAlarm[0] != '\0') expectedAlarms.push_back({16, row.equalAlarm});
    Lines expectedSteps;
    if (row.outcome != NONE) {
      expectedAlarms.push_back({16, RecoveredBy(row.outcome == KEEP ? BsRig::LocalHost() : "peer-node")});
      expectedRequests.push_back(Request(PeerProtocol::BS_CAN_PROCESS, "r0"));
      expectedRequests.push_back(Request(PeerProtocol::BS_SET_OPERATION, row.outcome == KEEP ? "r0\n0" : "r0\n1"));
      expectedSteps.push_back(row.outcome == KEEP ? "save r0" : "drop r0");
    }
    EXPECT_EQ(expectedAlarms, rig.AlarmsSince(alarms));
    EXPECT_EQ(expectedRequests, Since(rig.PeerRequests(), requests));
    EXPECT_EQ(expectedSteps, rig.drbd.Steps());
    if (row.outcome != NONE) {
      // Dropping acts before it asks the peer; keeping asks first.
      const std::vector<Lines> whenAsked = rig.StepsWhenAsked();
      ASSERT_EQ(asked + 1, whenAsked.size());
      EXPECT_EQ(row.outcome == DROP ? expectedSteps : Lines(), whenAsked.back());
    }
  }
}

// Keeping this node's data waits for the peer's word that it discarded its
// own; a refusal leaves this node's mirror as it is.
TEST(BsRecovery, KeepSavesOnlyAfterThePeerConfirmed) {
  BsRig rig;
  rig.AddMirror("r0", 0);
  ASSERT_TRUE(rig.Connect());
  rig.Hold(PeerProtocol::BS_SET_OPERATION, true);
  const struct {
    long side;
    const char* peerAnswer;
    Lines steps;
  } rows[] = {
      {DrbdBSWatcher::SIDE_KEEP, "OK", {"save r0"}},
      {DrbdBSWatcher::SIDE_KEEP, "ERROR", {}},
      {DrbdBSWatcher::SIDE_DROP, "ERROR", {"drop r0"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::to_string(row.side) + " " + row.peerAnswer);
    rig.drbd.Clear();
    rig.watcher->BeginSetResumeBS("r0", row.side);
    ASSERT_TRUE(Eventually([&] { return rig.Answer(PeerProtocol::BS_SET_OPERATION, row.peerAnswer); }));
    ASSERT_TRUE(rig.Settled(0));
    EXPECT_EQ(row.steps, rig.drbd.Steps());
    // What the node had done while the peer still held its answer.
    EXPECT_EQ(row.side == DrbdBSWatcher::SIDE_DROP ? row.steps : Lines(), rig.StepsWhenAsked().back());
  }
}

// While a node does not allow the recovery (its trees still use the mirror)
// the recovery asks again; the operator hears of the wait once.
TEST(BsRecovery, WaitingForTheTreesIsAlarmedOnce) {
  const struct {
    const char* what;
    int peerRefusals;
    int localRefusals;
  } rows[] = {{"peer's trees", 3, 0}, {"this node's trees", 0, 3}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    BsRig rig;
    rig.AddMirror("r0", 0, 1, 200);
    ASSERT_TRUE(rig.Connect());
    rig.PeerData(100, 0);
    rig.PeerRefusals(row.peerRefusals);
    rig.machine.refusals.store(row.localRefusals);

    rig.watcher->OnBSBeInfected("r0");
    ASSERT_TRUE(rig.Settled(0));

    EXPECT_EQ((Alarms{{14, kMarked}, {16, kWaiting}, {16, RecoveredBy(BsRig::LocalHost())}}), rig.AlarmsSince(0));
    const Lines requests = rig.PeerRequests();
    EXPECT_EQ(4, std::count(requests.begin(), requests.end(), Request(PeerProtocol::BS_CAN_PROCESS, "r0")));
    EXPECT_EQ(row.localRefusals + 1, rig.machine.asked.load()) << "asked here only once the peer allows";
    EXPECT_EQ(Lines{"save r0"}, rig.drbd.Steps());
  }
}

// A device minor outside 0..63 has no recovery slot: the mirror is marked,
// the recovery refused with its reason, by notice and by hand.
TEST(BsRecovery, MinorWithoutSlotIsRefused) {
  BsRig rig;
  ASSERT_TRUE(rig.Connect());
  const struct {
    const char* name;
    int minor;
    bool slot;
  } rows[] = {{"m64", 64, false}, {"m-1", -1, false}, {"m63", 63, true}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    rig.AddMirror(row.name, row.minor, 1, 200);
    const std::string refusal = "[" + std::string(row.name) + "] 镜像设备号 " + std::to_string(row.minor) +
                                " 不在 0 到 63 之间，无法进行脑裂恢复。";
    const size_t alarms = rig.AlarmCount();
    const size_t requests = rig.PeerRequests().size();

    rig.watcher->OnBSBeInfected(row.name);
    if (row.slot) {
      ASSERT_TRUE(rig.Settled(row.minor));
    }

    Alarms expected = {{14, "检测到镜像包 \"" + std::string(row.name) + "\" 发生了脑裂。"}};
    if (!row.slot) expected.push_back({16, refusal});
    const Alarms raised = rig.AlarmsSince(alarms);
    EXPECT_EQ(expected, Alarms(raised.begin(), raised.begin() + std::min(raised.size(), expected.size())));
    const Lines asked = Since(rig.PeerRequests(), requests);
    EXPECT_EQ(row.slot, !asked.empty() && asked[0] == Request(PeerProtocol::BS_GETDATA, row.name));
    if (!row.slot) {
      EXPECT_EQ("DRBD: " + refusal, tarrow_test::ThrownText([&] { rig.watcher->BeginSetResumeBS(row.name, 1); }));
      EXPECT_NE(std::string::npos, rig.TraceLog().find(refusal));
    }
  }
  EXPECT_EQ("DRBD: 无法根据指定的包名查找到镜像包。",
            tarrow_test::ThrownText([&] { rig.watcher->BeginSetResumeBS("none", 1); }));
}

// A recovery step that throws ends its recovery, not the process: the
// failure goes to the trace log and the device can be recovered again.
TEST(BsRecovery, FailingStepFreesItsSlot) {
  BsRig rig;
  rig.AddMirror("r0", 0);
  ASSERT_TRUE(rig.Connect());
  const struct {
    long side;
    const char* step;
  } rows[] = {{DrbdBSWatcher::SIDE_KEEP, "save r0"}, {DrbdBSWatcher::SIDE_DROP, "drop r0"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.step);
    rig.drbd.Clear();
    rig.drbd.SetStepOutcome(RecordingDrbd::THROWS);
    rig.watcher->BeginSetResumeBS("r0", row.side);
    ASSERT_TRUE(rig.Settled(0));
    EXPECT_NE(std::string::npos, rig.TraceLog().find("[r0] 脑裂恢复失败：DRBD drbdadm failed: " + std::string(row.step)));

    rig.drbd.SetStepOutcome(RecordingDrbd::WORKS);
    rig.watcher->BeginSetResumeBS("r0", row.side);
    ASSERT_TRUE(rig.Settled(0));
    EXPECT_EQ(Lines(2, row.step), rig.drbd.Steps());
  }
}

// What the pipe delivers goes to the peer too; what the peer relays is
// handled here and not sent back.
TEST(BsRecovery, LocalNoticeIsRelayedRelayedOneIsNot) {
  BsRig rig;
  rig.AddMirror("r0", 0);
  rig.AddMirror("r1", 1);
  ASSERT_TRUE(rig.Connect());

  rig.watcher->SyncBSStatus("r1");
  EXPECT_EQ(Lines{"r1"}, rig.Relayed());

  EXPECT_EQ("OK", rig.PeerAsks(PeerProtocol::BS_NOTIFY, "r0"));
  EXPECT_EQ(1u, rig.Mirror("r0")->GetSplitBrainFlag());
  EXPECT_EQ(1, rig.node->alarms.Count(14, kMarked));
  EXPECT_EQ(Lines{"r1"}, rig.Relayed()) << "the peer's notice came back";
  ASSERT_TRUE(rig.Settled(0));
  ASSERT_TRUE(rig.Settled(1));
}

// Further notices while a mirror is marked and its recovery runs raise no
// alarm and start nothing; an order by hand is refused with the reason.
TEST(BsRecovery, SecondNoticeDuringRecoveryChangesNothing) {
  BsRig rig;
  rig.AddMirror("r0", 0, 1, 200);
  ASSERT_TRUE(rig.Connect());
  rig.Hold(PeerProtocol::BS_GETDATA, true);

  rig.watcher->OnBSBeInfected("r0");
  ASSERT_TRUE(Eventually([&] { return !rig.PeerRequests().empty(); }));
  rig.watcher->OnBSBeInfected("r0");
  rig.watcher->SyncBSStatus("r0");
  EXPECT_EQ("DRBD: [r0] 的脑裂恢复正在进行中，请等待其结束后再操作。",
            tarrow_test::ThrownText([&] { rig.watcher->BeginSetResumeBS("r0", DrbdBSWatcher::SIDE_DROP); }));
  ASSERT_TRUE(rig.Answer(PeerProtocol::BS_GETDATA, "OK\n100\n0"));
  ASSERT_TRUE(rig.Settled(0));

  EXPECT_EQ((Lines{Request(PeerProtocol::BS_GETDATA, "r0"), Request(PeerProtocol::BS_NOTIFY, "r0"),
                   Request(PeerProtocol::BS_CAN_PROCESS, "r0"), Request(PeerProtocol::BS_SET_OPERATION, "r0\n0")}),
            rig.PeerRequests());
  EXPECT_EQ((Alarms{{14, kMarked}, {16, RecoveredBy(BsRig::LocalHost())}}), rig.AlarmsSince(0));
  EXPECT_EQ(Lines{"save r0"}, rig.drbd.Steps());
}

// A recovery by hand whose thread cannot be created is refused with the
// reason and leaves the device free for the next order.
TEST(BsRecovery, OrderWhoseThreadCannotStartIsRefused) {
  BsRig rig;
  rig.AddMirror("r0", 0);
  ASSERT_TRUE(rig.Connect());
  rig.threadsRefused = true;
  const std::string refusal = "[r0] 无法创建脑裂恢复线程：" + std::string(strerror(EAGAIN));
  EXPECT_EQ("DRBD: " + refusal,
            tarrow_test::ThrownText([&] { rig.watcher->BeginSetResumeBS("r0", DrbdBSWatcher::SIDE_KEEP); }));
  EXPECT_FALSE(rig.watcher->IsResuming(0));
  EXPECT_NE(std::string::npos, rig.TraceLog().find(refusal));

  rig.threadsRefused = false;
  EXPECT_EQ("", tarrow_test::ThrownText([&] { rig.watcher->BeginSetResumeBS("r0", DrbdBSWatcher::SIDE_KEEP); }));
  ASSERT_TRUE(rig.Settled(0));
  EXPECT_EQ(Lines{"save r0"}, rig.drbd.Steps());
}

// Only the host side recovers: elsewhere a notice marks, alarms and relays.
TEST(BsRecovery, NodeWithoutHostRoleOnlyMarks) {
  BsRig rig;
  rig.AddMirror("r0", 0, 1, 200);
  ASSERT_TRUE(rig.Connect());
  rig.node->config.GetHeartBeatGlobalConfig()->SetHostRole(0);

  rig.watcher->SyncBSStatus("r0");
  EXPECT_FALSE(rig.watcher->IsResuming(0));
  EXPECT_EQ((Alarms{{14, kMarked}}), rig.AlarmsSince(0));
  EXPECT_EQ(Lines{Request(PeerProtocol::BS_NOTIFY, "r0")}, rig.PeerRequests());
}

}  // namespace
}  // namespace core_test
