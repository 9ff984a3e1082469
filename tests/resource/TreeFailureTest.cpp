// Failures of a tree's start and stop: the pre-start refusal, a resource
// that fails to start, the stop-failure policy with its restart and halt
// through the command runner, and the split-brain answer.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "config/ConfigManager.h"
#include "config/DrbdMirrorConfig.h"
#include "config/DrbdResConfig.h"
#include "framework/Convert.h"
#include "resource/ResourceTestSupport.h"

namespace resource_test {
namespace {

using Oxbrindale::Velmora::Config::ConfigManager;
using Oxbrindale::Velmora::Config::DrbdMirrorConfig;
using Oxbrindale::Velmora::Config::DrbdResConfig;
using Oxbrindale::Velmora::Framework::Convert;
using Oxbrindale::Velmora::Resource::RES_OP_DETEST;

class TreeFailureConcurrency : public ::testing::Test {
 protected:
  void TearDown() override {
    World::Get().SetStopFailAction(0);
    World::Get().ResetClock();
  }
};

TEST_F(TreeFailureConcurrency, PreStartRefusal) {
  TreeRig rig("refused");
  FakeResource* r1 = rig.Add(1);
  FakeResource* r2 = rig.Add(2);
  r2->refuse = true;
  r2->refuseReason = "the disk is missing";
  rig.Activate();
  rig.tree->StartTree();
  ASSERT_TRUE(World::Get().Alarms().WaitFor(
      3, "启动资源树\"" + rig.Name() + "\"失败，因为检测到资源树中的资源不具备启动条件！"));
  ASSERT_TRUE(rig.WaitStatu(0));
  EXPECT_TRUE(r2->IsCannotStart());
  EXPECT_FALSE(r1->IsCannotStart());
  EXPECT_EQ(r1->startResCalls.load() + r2->startResCalls.load(), 0);
  EXPECT_TRUE(WaitUntil([&] { return r1->GetMode() == RES_OP_DETEST && r2->GetMode() == RES_OP_DETEST; }));
  std::string reason;
  EXPECT_FALSE(rig.tree->CanStart(&reason, true));
  EXPECT_EQ(reason, "the disk is missing");
  EXPECT_EQ(rig.listener.fails.load(), 0) << "a refused start is no failure to hand over";
}

// A resource that fails to start stops the tree again; a resource still
// starting beside it at that moment is stopped as well.
TEST_F(TreeFailureConcurrency, StartFailureStopsTheTree) {
  TreeRig rig("start-fails");
  FakeResource* r1 = rig.Add(1);
  FakeResource* r2 = rig.Add(2, {1});
  FakeResource* r3 = rig.Add(3);
  r2->startWorks = false;
  r3->onStartRes = [r2] {
    WaitUntil([r2] { return r2->startResCalls.load() >= 1; }, 10000);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  };
  rig.Activate();
  rig.tree->StartTree();
  ASSERT_TRUE(World::Get().Alarms().WaitFor(3, "启动资源树\"" + rig.Name() + "\"失败！"));
  ASSERT_TRUE(rig.WaitStatu(0));
  EXPECT_FALSE(r1->running.load());
  EXPECT_FALSE(r3->running.load());
  EXPECT_FALSE(rig.config->GetRunning());
  for (FakeResource* r : {r1, r2, r3}) EXPECT_EQ(r->GetMode(), RES_OP_DETEST);
  EXPECT_FALSE(WaitUntil([&] { return rig.listener.fails.load() > 0; }, 600)) << "a failed start asks for no failover";
}

// The owner starts the tree from its can-start call, on the resource's own
// check thread; the resource is turned to Start but its thread is still in
// that call when another resource fails and the tree stops. The stop must
// not wait for a start that never runs.
TEST_F(TreeFailureConcurrency, StopDoesNotWaitForAStartThatNeverRan) {
  TreeRig rig("never-ran");
  FakeResource* r1 = rig.Add(1);
  FakeResource* r2 = rig.Add(2);
  r2->startWorks = false;
  rig.listener.onCanStart = [&](ResourceTree* tree) {
    tree->StartTree();
    WaitUntil([&] { return tree->GetStatu() == 3; }, 10000);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  };
  rig.Activate(Oxbrindale::Velmora::Resource::RES_OP_DETEST);
  r1->refuse = true;
  ASSERT_FALSE(rig.tree->CanStart(nullptr, true));
  r1->refuse = false;  // r1's check thread finds it may start and tells the owner
  ASSERT_TRUE(World::Get().Alarms().WaitFor(3, "启动资源树\"" + rig.Name() + "\"失败！"));
  EXPECT_TRUE(rig.WaitStatu(0)) << "left in status " << rig.tree->GetStatu();
  EXPECT_EQ(rig.listener.canStarts.load(), 1);
}

struct StopFailureRow {
  const char* what;
  int action;
  bool userStop;
  long runningSeconds;
  const char* alarm;    // after "在停止资源树" + quoted name; "" for none
  const char* command;  // "" for none
};

void PrintTo(const StopFailureRow& row, std::ostream* os) { *os << row.what; }

class TreeStopFailureConcurrency : public ::testing::TestWithParam<StopFailureRow> {
 protected:
  void TearDown() override {
    World::Get().SetStopFailAction(0);
    World::Get().ResetClock();
  }
};

TEST_P(TreeStopFailureConcurrency, Policy) {
  const StopFailureRow row = GetParam();
  World& world = World::Get();
  TreeRig rig("stop-fails");
  FakeResource* r1 = rig.Add(1);
  rig.Activate();
  rig.tree->StartTree();
  ASSERT_TRUE(rig.WaitStatu(2));
  r1->stopWorks = false;
  world.SetStopFailAction(row.action);
  world.SetRunningSeconds(row.runningSeconds);
  world.Runner().Clear();
  rig.tree->StopTree(row.userStop);
  ASSERT_TRUE(rig.WaitStatu(4)) << row.what;
  const std::string prefix = "在停止资源树\"" + rig.Name() + "\"";
  if (row.command[0] != '\0') {
    EXPECT_TRUE(WaitUntil([&] { return !world.Runner().Commands().empty(); })) << row.what;
  }
  if (row.alarm[0] != '\0') {
    EXPECT_TRUE(world.Alarms().WaitFor(4, prefix + row.alarm)) << row.what;
  }
  world.Alarms().Flush();
  EXPECT_EQ(world.Alarms().Count(4, prefix), row.alarm[0] != '\0' ? 1 : 0) << row.what;
  const std::vector<std::string> expected =
      row.command[0] != '\0' ? std::vector<std::string>{row.command} : std::vector<std::string>{};
  EXPECT_EQ(world.Runner().Commands(), expected) << row.what;
  EXPECT_TRUE(rig.config->GetRunning()) << "the running flag is left as it was";
  EXPECT_FALSE(rig.tree->IsUserStop());

  // An abnormal tree can be stopped again.
  r1->stopWorks = true;
  rig.tree->StopTree(true);
  EXPECT_TRUE(rig.WaitStatu(0)) << row.what;
}

INSTANTIATE_TEST_SUITE_P(
    Table, TreeStopFailureConcurrency,
    ::testing::Values(
        StopFailureRow{"action 0", 0, false, 1000,
                       "的过程中，某些停止资源失败。配置为不做任何处理。故对机可能无法接管资源或造成问题，请立刻手动处理。", ""},
        StopFailureRow{"user stop", 1, true, 1000,
                       "的过程中，某些停止资源失败。因为是用户控制操作，所以不应用重启计算机或关机策略，请手动处理问题。", ""},
        StopFailureRow{"running 180 s", 1, false, 180,
                       "的过程中，某些停止资源失败。虽然配置了重启或关机策略，但是距离服务启动不到3分钟，可能造成循环重启，故不做任何处理，请立刻手动解决本问题。",
                       ""},
        StopFailureRow{"action 1 after 180 s", 1, false, 181,
                       "的过程中，某些停止资源失败。5秒后重启本服务器，对机将在机器重启后接管本机资源！", "shutdown -r 0"},
        StopFailureRow{"action 2 after 180 s", 2, false, 181,
                       "的过程中，某些停止资源失败。5秒后关闭本服务器，对机将在机器关闭后接管本机资源！", "shutdown -h 0"},
        StopFailureRow{"unknown action", 3, false, 181, "", ""}),
    [](const ::testing::TestParamInfo<StopFailureRow>& info) { return RowName(info.param.what); });

// In a process of its own: a daemon that never saw its peer (no heartbeat
// link ever set the running-time mark) has run for only moments, so a
// failed stop does not restart the machine.
void StopFailureInFreshDaemon() {
  World& world = World::Get();
  world.SetStopFailAction(1);
  int code = 1;
  {
    TreeRig rig("fresh");
    FakeResource* r1 = rig.Add(1);
    rig.Activate();
    rig.tree->StartTree();
    if (rig.WaitStatu(2)) {
      r1->stopWorks = false;
      rig.tree->StopTree(false);
      const bool abnormal = rig.WaitStatu(4);
      const bool warned = world.Alarms().WaitFor(4, "距离服务启动不到3分钟");
      if (abnormal && warned && world.Runner().Commands().empty()) code = 0;
    }
  }
  world.TearDown();
  std::_Exit(code);
}

TEST(ResourceTreeRunningMark, FreshDaemonDoesNotRestartTheMachine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(StopFailureInFreshDaemon(), ::testing::ExitedWithCode(0), "");
}

// The answer to a split-brain notice of a mirror.
TEST_F(TreeFailureConcurrency, SplitBrainAnswer) {
  const std::string mirrorName = UniqueName("mirror");
  DrbdMirrorConfig* mirror = new DrbdMirrorConfig();
  mirror->SetName(mirrorName);
  ConfigManager::Instance()->CreateDrbdMirrorConfig(mirror);  // the store owns it

  TreeRig rig("split");
  std::string text = "1\n" + rig.Name() + "-drbd\n20\n3\n0\n0\n10000\n10000\n0\n\n\n5000\n3600000\n1\n" + mirrorName +
                     "\n/mnt/data";
  std::vector<std::string> lines = Convert::tokenize(text, "\n", false, "");
  unsigned index = 0;
  FakeResource* drbd = rig.Add(1, {}, true, 8, new DrbdResConfig(&lines, &index));
  FakeResource* other = rig.Add(2);
  rig.Activate();

  EXPECT_EQ(rig.tree->CanProcessBS(UniqueName("unused-mirror")), -1);
  EXPECT_EQ(rig.tree->CanProcessBS(mirrorName), 1) << "a tree that is not running";
  rig.tree->StartTree();
  ASSERT_TRUE(rig.WaitStatu(2));
  EXPECT_EQ(rig.tree->CanProcessBS(mirrorName), 0);
  EXPECT_EQ(rig.tree->GetStatu(), 2) << "no split brain marked: the tree runs on";
  // A DRBD resource refuses its pre-start check while its mirror is marked,
  // so its check thread does not lift the block again.
  drbd->refuse = true;
  mirror->SetSplitBrainFlag(1);
  EXPECT_EQ(rig.tree->CanProcessBS(mirrorName), 0);
  EXPECT_TRUE(drbd->IsCannotStart());
  EXPECT_FALSE(other->IsCannotStart());
  ASSERT_TRUE(rig.WaitStatu(0)) << "stopped";
  EXPECT_FALSE(drbd->running.load());
  EXPECT_FALSE(other->running.load());
}

}  // namespace
}  // namespace resource_test
