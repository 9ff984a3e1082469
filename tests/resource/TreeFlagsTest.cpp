// The flags the HA machine sets on a tree: hand-back-on-failure (the
// status record's host-start flag), skip-start and stop-after-start.

#include <gtest/gtest.h>

#include <string>

#include "resource/ResourceTestSupport.h"

namespace resource_test {
namespace {

using Oxbrindale::Velmora::Resource::RES_TREE_OP_REST;

struct HandBackRow {
  const char* what;
  bool handBack;
  bool refuse;      // the pre-start check refuses
  bool startFails;  // the resource does not start
  int endStatu;
  int offers;
};

void PrintTo(const HandBackRow& row, std::ostream* os) { *os << row.what; }

class TreeFlagsConcurrency : public ::testing::TestWithParam<HandBackRow> {};

TEST_P(TreeFlagsConcurrency, HandBackOnFailure) {
  const HandBackRow row = GetParam();
  TreeRig rig("hand-back");
  FakeResource* r1 = rig.Add(1);
  r1->refuse = row.refuse;
  r1->startWorks = !row.startFails;
  rig.Activate();
  rig.tree->SetHostStart(row.handBack);
  rig.tree->StartTree();
  if (row.endStatu == 0) {
    // Through starting (and stopping) back to not running.
    ASSERT_TRUE(World::Get().Alarms().WaitFor(3, "启动资源树\"" + rig.Name() + "\"失败")) << row.what;
  }
  ASSERT_TRUE(rig.WaitStatu(row.endStatu)) << row.what;
  if (row.offers > 0) {
    EXPECT_TRUE(WaitUntil([&] { return rig.listener.fails.load() == row.offers; })) << row.what;
    EXPECT_TRUE(WaitUntil([&] { return rig.tree->IsFailureDelivered(); })) << row.what;
  } else {
    EXPECT_FALSE(WaitUntil([&] { return rig.listener.fails.load() > 0; }, 600)) << row.what;
  }
  EXPECT_FALSE(rig.tree->IsHostStart()) << "cleared when the start ended: " << row.what;
}

INSTANTIATE_TEST_SUITE_P(
    Table, TreeFlagsConcurrency,
    ::testing::Values(HandBackRow{"failed start, hand-back", true, false, true, 0, 1},
                      HandBackRow{"refused start, hand-back", true, true, false, 0, 1},
                      HandBackRow{"failed start", false, false, true, 0, 0},
                      HandBackRow{"refused start", false, true, false, 0, 0},
                      HandBackRow{"start that works, hand-back", true, false, false, 2, 0}),
    [](const ::testing::TestParamInfo<HandBackRow>& info) { return RowName(info.param.what); });

// A failure nobody took is cleared by the next start.
TEST(TreeFlagsOfferConcurrency, StartTreeClearsThePendingFailure) {
  TreeRig rig("cleared");
  FakeResource* r1 = rig.Add(1);
  r1->refuse = true;
  rig.listener.answer = false;
  rig.Activate();
  rig.tree->SetHostStart(true);
  rig.tree->StartTree();
  ASSERT_TRUE(WaitUntil([&] { return rig.listener.fails.load() >= 2; })) << "offered again";
  rig.tree->StartTree();  // without hand-back this time
  EXPECT_TRUE(rig.tree->IsFailureDelivered());
  ASSERT_TRUE(WaitUntil([&] { return rig.tree->_GetOperation() == RES_TREE_OP_REST && rig.tree->GetStatu() == 0; }));
  World::Get().Alarms().Flush();
  const int offers = rig.listener.fails.load();
  EXPECT_FALSE(WaitUntil([&] { return rig.listener.fails.load() > offers; }, 1000));
}

TEST(TreeFlagsOfferConcurrency, SkipStartIgnoresTheStart) {
  TreeRig rig("skipped");
  FakeResource* r1 = rig.Add(1);
  rig.Activate();
  rig.tree->SetSkipStart(true);
  rig.tree->StartTree();
  ASSERT_TRUE(WaitUntil([&] { return rig.tree->_GetOperation() == RES_TREE_OP_REST; }));
  World::Get().Alarms().Flush();
  EXPECT_EQ(World::Get().Alarms().Count(11, "开始启动资源树：\"" + rig.Name() + "\""), 0);
  EXPECT_EQ(rig.tree->GetStatu(), 0);
  EXPECT_EQ(r1->startResCalls.load(), 0);

  rig.tree->SetSkipStart(false);
  rig.tree->StartTree();
  EXPECT_TRUE(rig.WaitStatu(2));
}

TEST(TreeFlagsOfferConcurrency, StopAfterStartStopsAtTheEndOfTheRunningStep) {
  TreeRig rig("stop-after");
  FakeResource* r1 = rig.Add(1);
  FakeResource* r2 = rig.Add(2, {1});
  Gate gate;
  r1->onStartRes = [&] { gate.Wait([r1] { return r1->IsShutdownRequested(); }); };
  rig.Activate();
  rig.tree->StartTree();
  ASSERT_TRUE(WaitUntil([&] { return r1->startResCalls.load() == 1; }));
  rig.tree->SetStopAfterStart(true);
  gate.Open();
  ASSERT_TRUE(World::Get().Alarms().WaitFor(11, "资源树：\"" + rig.Name() + "\" 停止完成。"));
  EXPECT_EQ(rig.tree->GetStatu(), 0);
  EXPECT_EQ(r2->startResCalls.load(), 0) << "the start did not go on";
  EXPECT_FALSE(r1->running.load());
  EXPECT_FALSE(rig.tree->IsStopAfterStart());
  EXPECT_FALSE(rig.config->GetRunning());
  World::Get().Alarms().Flush();
  EXPECT_EQ(World::Get().Alarms().Count(3, "\"" + rig.Name() + "\""), 0) << "no failure";
}

}  // namespace
}  // namespace resource_test
