// What the answering node does for each request: real trees and records
// behind a scripted requester.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config/ConfigManager.h"
#include "config/ResourceTreeConfig.h"
#include "core/PeerNode.h"
#include "core/PeerProtocol.h"
#include "core/ScriptedHost.h"
#include "framework/Convert.h"
#include "framework/FileManager.h"
#include "support/TempDir.h"
#include "support/TestEnv.h"

namespace core_test {
namespace {

using Oxbrindale::Velmora::Config::ConfigManager;
using Oxbrindale::Velmora::Config::ResourceTreeConfig;
using Oxbrindale::Velmora::Core::HaTimings;
using Oxbrindale::Velmora::Core::PeerProtocol;
using Oxbrindale::Velmora::Framework::Convert;
using Oxbrindale::Velmora::Config::FileManager;
using resource_test::TreeRig;
using resource_test::WaitUntil;

std::string Ask(ScriptedPair& pair, const std::string& command, const std::string& body, int ms = 10000) {
  std::string answer;
  if (!pair.host.Ask(command, body, ms, &answer)) return "<no answer>";
  return answer;
}

TEST(PeerRequestHandler, StopModeMIsManualAnythingElseAutomatic) {
  ScriptedPair pair(PeerTimings());
  struct Row {
    std::string mode;
    bool manual;
  };
  const Row rows[] = {{"M", true}, {"A", false}, {"x", false}};
  std::vector<TreeRig*> trees;
  for (const Row& row : rows) trees.push_back(&pair.node.AddTree("{stop-" + row.mode + "}", true));
  ASSERT_TRUE(pair.Connect());
  for (size_t i = 0; i < trees.size(); ++i) {
    SCOPED_TRACE(rows[i].mode);
    TreeRig& rig = *trees[i];
    // The stop stays under way until the test lets it end.
    std::shared_ptr<std::atomic<bool>> letGo(new std::atomic<bool>(false));
    rig.res[1]->onStopRes = [letGo] {
      while (!letGo->load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    };
    EXPECT_EQ(Ask(pair, PeerProtocol::RES_StopTree, rig.config->GetGuid() + "\n" + rows[i].mode), PeerProtocol::OK);
    EXPECT_TRUE(WaitUntil([&] { return rig.tree->GetStatu() == 3; })) << "the stop was not asked";
    EXPECT_EQ(rig.tree->IsUserStop(), rows[i].manual);
    letGo->store(true);
    EXPECT_TRUE(rig.WaitStatu(0));
  }
}

TEST(PeerRequestHandler, TakeoverNoticeClearsTheHoldFlagInTheTreeFile) {
  ScriptedPair pair(PeerTimings());
  TreeRig& rig = pair.node.AddTree("{held}", true);
  ASSERT_TRUE(rig.config->GetRunning()) << "a running tree is held";
  ASSERT_TRUE(pair.Connect());

  EXPECT_EQ(Ask(pair, PeerProtocol::RES_RequestTakeoverNotify, "{held}\nignored"), PeerProtocol::OK);

  tarrow_test::TestEnv there(pair.node.Dir());
  ConfigManager reread;
  bool found = false;
  for (ResourceTreeConfig* record : *reread.GetResourceTreeConfig()) {
    if (record->GetGuid() != "{held}") continue;
    found = true;
    EXPECT_FALSE(record->GetRunning());
  }
  EXPECT_TRUE(found) << "resource_tree_config.cfg lacks the tree";
}

TEST(PeerRequestHandler, TakeoverIsAnsweredByTheMachinesDecisionAndTraced) {
  ScriptedPair pair(PeerTimings());
  pair.node.AddTree("{mine}", true);
  ASSERT_TRUE(pair.Connect());
  const std::string trace = Convert::GetAppPath() + "log/trace.log";
  const std::string line = "*****----->>>> Recevied RequestTakeOver Command:{mine}\n{elsewhere}";
  const struct {
    bool takes;
    const char* answer;
  } rows[] = {{true, PeerProtocol::OK}, {false, PeerProtocol::ERROR}};
  const auto traced = [&] {
    const std::string log = FileManager::SimpleLoadFile(trace);
    int count = 0;
    for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++count;
    return count;
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.answer);
    pair.node.machine.takeoverVerdict.store(row.takes);
    const int before = traced();
    EXPECT_EQ(Ask(pair, PeerProtocol::RES_RequestTakeover, "{mine}\r\n{elsewhere}"), row.answer);
    EXPECT_EQ(traced(), before + 1) << "trace line missing";
  }
  EXPECT_EQ(pair.node.machine.Takeovers(), std::vector<std::string>(2, "{mine}\n{elsewhere}"));
}

TEST(PeerRequestHandler, RecoveryStepRetainsOrDiscardsAndAnswersItsOutcome) {
  ScriptedPair pair(PeerTimings());
  pair.node.AddMirror("r0", 3, 1);
  ASSERT_TRUE(pair.Connect());
  const struct {
    const char* what;
    std::string body;
    RecordingDrbd::StepOutcome outcome;
    std::string answer;
    std::vector<std::string> steps;
  } rows[] = {
      {"keep", "r0\n1", RecordingDrbd::WORKS, PeerProtocol::OK, {"save r0"}},
      {"discard", "r0\n0", RecordingDrbd::WORKS, PeerProtocol::OK, {"drop r0"}},
      {"anything but 1 discards", "r0\nx", RecordingDrbd::WORKS, PeerProtocol::OK, {"drop r0"}},
      {"one line", "r0", RecordingDrbd::WORKS, PeerProtocol::ERROR, {}},
      {"a step that throws", "r0\n1", RecordingDrbd::THROWS, PeerProtocol::ERROR, {"save r0"}},
      {"a step that reports a failure", "r0\n0", RecordingDrbd::REPORTS_FAILURE, PeerProtocol::OK, {"drop r0"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    pair.node.drbd.Clear();
    pair.node.drbd.SetStepOutcome(row.outcome);
    EXPECT_EQ(Ask(pair, PeerProtocol::BS_SET_OPERATION, row.body, PeerProtocol::BS_SET_OPERATION_TIMEOUT_MS),
              row.answer);
    EXPECT_EQ(pair.node.drbd.Steps(), row.steps);
  }
}

TEST(PeerRequestHandler, SplitBrainNoticeWithoutAWatcherIsRefused) {
  ScriptedPair pair(PeerTimings());
  pair.node.Manager().SetBSNoticeReceiver(nullptr);  // and none installed
  ASSERT_TRUE(pair.Connect());
  EXPECT_EQ(Ask(pair, PeerProtocol::BS_NOTIFY, "r0", PeerProtocol::BS_NOTIFY_TIMEOUT_MS), PeerProtocol::ERROR);
}

TEST(PeerRequestHandler, WaitsForAStartingTreeEndAtTheCap) {
  HaTimings timings = PeerTimings();
  timings.peerWaitCapMs = 300;
  ScriptedPair pair(timings);
  pair.node.AddTree("{slow}", false, true);
  ASSERT_TRUE(pair.Connect());
  // The requester gives up after 10 s; the tree stays starting far longer.
  const struct {
    const char* command;
    std::string body;
    std::string answer;
  } rows[] = {
      {PeerProtocol::RES_GetTryWaitResourceTreeStableStatu, "{slow}\n4294967295", "OK\n1"},
      {PeerProtocol::RES_GetTryWaitResourceTreeStableStatu, "{slow}\n99999999999999999999", "OK\n1"},
      {PeerProtocol::RES_GetTryWaitResourceTreeStableStatu, "{slow}\nlater", "OK\n1"},
      {PeerProtocol::MAC_GetResourceTreeIsHold, "{slow}", "OK\nfalse"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.body);
    EXPECT_EQ(Ask(pair, row.command, row.body, 10000), row.answer);
  }
}

// A start the tree's thread has not taken up yet is answered as "starting":
// the asking node waits instead of starting the tree beside it.
TEST(PeerRequestHandler, AStartNotYetTakenUpIsAnsweredAsStarting) {
  HaTimings timings = PeerTimings();
  timings.peerWaitCapMs = 300;
  ScriptedPair pair(timings);
  TreeRig& rig = pair.node.AddTree("{held}", false);
  ASSERT_TRUE(pair.Connect());
  ASSERT_TRUE(rig.HoldThreadInFailureOffer(true));
  ASSERT_EQ(rig.tree->GetStatu(), 0);
  rig.tree->StartTree();
  EXPECT_EQ(Ask(pair, PeerProtocol::RES_GetTryWaitResourceTreeStableStatu, "{held}\n100"), "OK\n1");
  rig.ReleaseThread();
}

}  // namespace
}  // namespace core_test
