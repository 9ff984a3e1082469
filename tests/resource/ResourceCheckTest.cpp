// The check thread of a resource: daily checks, failure counting, recovery,
// giving up, the custom test program, mode End.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

#include "resource/ResourceTestSupport.h"

namespace resource_test {
namespace {

using Oxbrindale::Velmora::Resource::RES_OP_DETEST;
using Oxbrindale::Velmora::Resource::RES_OP_END;
using Oxbrindale::Velmora::Resource::RES_OP_NONE;
using Oxbrindale::Velmora::Resource::RES_OP_START;
using Oxbrindale::Velmora::Resource::RES_OP_TEST;

struct CountingRow {
  const char* what;
  int maxFailRestart;
  uint32_t resetMs;
  bool managed;
  int crashes;
  long advanceSeconds;  // moved forward on the wait clock after each recovery (0: not)
  int recoveries;
  int giveUps;
  long wallStepSeconds = 0;  // the wall clock steps by this after each recovery
};

void PrintTo(const CountingRow& row, std::ostream* os) { *os << row.what; }

class ResourceCheckConcurrency : public ::testing::TestWithParam<CountingRow> {
 protected:
  void TearDown() override { World::Get().ResetClock(); }
};

TEST_P(ResourceCheckConcurrency, FailureCounting) {
  const CountingRow row = GetParam();
  World& world = World::Get();
  long long wall = static_cast<long long>(time(nullptr));
  world.Env().FixWallClock(wall);  // a fixed wall clock the test steps
  const std::string name = UniqueName("counted");
  FakeResource resource(1, name);
  resource.method = FakeResource::DIRECT;
  resource.GetIResConfig()->SetMaxFailRestart(row.maxFailRestart);
  resource.GetIResConfig()->SetFailureResetTime(row.resetMs);
  resource.GetIResConfig()->SetManaged(row.managed ? 1 : 0);
  resource.running = true;
  resource.InitTestThread(RES_OP_TEST);

  for (int crash = 0; crash < row.crashes; ++crash) {
    const int gaveUpBefore = resource.preFailureCalls.load();
    const int checksBefore = resource.testResCalls.load();
    resource.running = false;  // the resource dies
    if (!row.managed) {
      ASSERT_TRUE(WaitUntil([&] { return resource.testResCalls.load() >= checksBefore + 5; }));
      continue;
    }
    ASSERT_TRUE(WaitUntil([&] { return resource.running.load() || resource.preFailureCalls.load() > gaveUpBefore; }))
        << "crash " << crash;
    if (row.advanceSeconds > 0 && resource.running.load()) {
      world.Env().AdvanceWaitClock(row.advanceSeconds * 1000LL);
      ASSERT_TRUE(WaitUntil([&] { return resource.GetFailureCount() == 0; })) << "the failure was not forgotten";
    }
    if (row.wallStepSeconds != 0 && resource.running.load()) {
      wall += row.wallStepSeconds;
      world.Env().FixWallClock(wall);
      const int checked = resource.testResCalls.load();
      ASSERT_TRUE(WaitUntil([&] { return resource.testResCalls.load() >= checked + 3; }));
      EXPECT_NE(0, resource.GetFailureCount()) << "a wall clock step made the failure forgotten";
    }
  }
  // Let a few more checks pass: nothing else may happen.
  const int checks = resource.testResCalls.load();
  ASSERT_TRUE(WaitUntil([&] { return resource.testResCalls.load() >= checks + 3 || resource.GetMode() == RES_OP_NONE; }));

  EXPECT_EQ(resource.startCalls.load(), row.recoveries) << row.what;
  EXPECT_EQ(resource.preFailureCalls.load(), row.giveUps) << row.what;
  world.Alarms().Flush();
  EXPECT_EQ(world.Alarms().Count(7, "资源\"" + name + "\"在日常运行检测中发生了失败，正在尝试恢复.."),
            row.managed ? row.recoveries + row.giveUps : 0)
      << row.what;
  EXPECT_EQ(world.Alarms().Count(7, "资源\"" + name + "\"在日常运行检测中发生了失败，但已经成功从失败中恢复！"),
            row.recoveries)
      << row.what;
  const std::string giveUp = "中的资源\"" + name + "\"发生频繁失败，虽然尝试恢复，但是其失败次数超过了设定的最大恢复次数 " +
                             std::to_string(row.maxFailRestart) + " 次，达到切换条件，执行转移该资源树到对机操作！";
  EXPECT_EQ(world.Alarms().Count(2, giveUp), row.giveUps) << row.what;
  if (row.giveUps > 0) {
    EXPECT_EQ(resource.GetMode(), RES_OP_NONE) << row.what;
    EXPECT_EQ(resource.GetFailureCount(), 0) << row.what;
    EXPECT_FALSE(resource.running.load()) << "no recovery after giving up: " << row.what;
  } else {
    EXPECT_EQ(resource.GetMode(), RES_OP_TEST) << row.what;
  }
  if (!row.managed) {
    EXPECT_EQ(resource.GetFailureCount(), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ResourceCheckConcurrency,
    ::testing::Values(
        CountingRow{"four failures within the reset time, limit 3", 3, 3600000, true, 4, 0, 3, 1},
        CountingRow{"each failure forgotten before the next", 3, 10000, true, 5, 11, 5, 0},
        CountingRow{"limit 0 gives up at the first failure", 0, 3600000, true, 1, 0, 0, 1},
        CountingRow{"an unmanaged resource is not counted", 3, 3600000, false, 2, 0, 0, 0},
        CountingRow{"the wall clock an hour ahead after each recovery", 3, 3600000, true, 4, 0, 3, 1, 3600},
        CountingRow{"the wall clock an hour back after each recovery", 3, 3600000, true, 4, 0, 3, 1, -3600}),
    [](const ::testing::TestParamInfo<CountingRow>& info) { return RowName(info.param.what); });

// The custom test program decides after a passing check: exit 0 passes, any
// other exit fails, and one that outlives its time-out is killed and fails.
TEST(ResourceCheckProgram, CustomTestProgramDecides) {
  struct Row {
    const char* args;
    int timeoutMs;
    bool passes;
  };
  const Row rows[] = {
      {"-c \"exit 0\"", 10000, true},
      {"-c \"exit 3\"", 10000, false},
      {"-c \"sleep 60\"", 200, false},
  };
  for (const Row& row : rows) {
    FakeResource resource(1, UniqueName("custom-test"));
    resource.running = true;
    resource.GetIResConfig()->SetCustomTestSwitch(1);
    resource.GetIResConfig()->SetCustomTestProgram("/bin/sh");
    resource.GetIResConfig()->SetCustomTestArgs(row.args);
    resource.GetIResConfig()->SetCustomTestTimeout(row.timeoutMs);
    const auto begun = std::chrono::steady_clock::now();
    EXPECT_EQ(resource.Test(), row.passes) << row.args;
    EXPECT_EQ(resource.GetCurrentStatu(), row.passes ? 1 : 0) << row.args;
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(50)) << "not killed: " << row.args;
  }
  // A failing TestRes does not run the program.
  FakeResource stopped(2, UniqueName("custom-test"));
  stopped.GetIResConfig()->SetCustomTestSwitch(1);
  stopped.GetIResConfig()->SetCustomTestProgram("/nonexistent/program");
  EXPECT_FALSE(stopped.Test());
}

TEST(ResourceCheckModes, SettersDoNothingInModeEnd) {
  FakeResource resource(1, UniqueName("ended"));
  ASSERT_EQ(resource.GetMode(), RES_OP_END);
  resource.TrunTestMode();
  resource.TurnDeTestMode();
  resource.TrunNoneMode();
  resource.TurnStartMode();
  resource.TurnStopMode();
  EXPECT_EQ(resource.GetMode(), RES_OP_END);
  EXPECT_FALSE(resource.IsOperating());
}

// A resource refused at its pre-start check that passes it again tells the
// tree's owner; the owner may then set resource modes (as the HA machine does
// through its tree) without waiting for the check thread.
TEST(ResourceCheckModesConcurrency, CanStartIsToldWithoutTheResourceMutex) {
  TreeRig rig;
  FakeResource* resource = rig.Add(1);
  resource->running = false;
  std::atomic<int> setWithin{0};
  std::atomic<int> hookRuns{0};
  std::vector<std::thread> setters;  // joined at the end: one blocked by a held mutex must not hang the listener
  std::mutex settersMutex;
  rig.listener.onCanStart = [&](ResourceTree*) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> doneFuture = done->get_future();
    {
      std::lock_guard<std::mutex> lock(settersMutex);
      setters.emplace_back([resource, done] {
        resource->TrunNoneMode();
        done->set_value();
      });
    }
    if (doneFuture.wait_for(std::chrono::seconds(10)) == std::future_status::ready) ++setWithin;
    ++hookRuns;
  };
  rig.Activate(RES_OP_DETEST);
  resource->refuse = true;
  std::string reason;
  ASSERT_FALSE(rig.tree->CanStart(&reason, true));
  EXPECT_EQ(reason, "not here");
  EXPECT_TRUE(resource->IsCannotStart());
  resource->refuse = false;  // may start again: the DeTest step sees it
  ASSERT_TRUE(WaitUntil([&] { return hookRuns.load() == 1; }));
  EXPECT_EQ(rig.listener.canStarts.load(), 1);
  EXPECT_EQ(setWithin.load(), 1) << "the listener ran while the resource mutex was held";
  EXPECT_FALSE(resource->IsCannotStart());
  EXPECT_EQ(resource->GetMode(), RES_OP_NONE);
  std::lock_guard<std::mutex> lock(settersMutex);
  for (std::thread& setter : setters) setter.join();
}

// A failure whose recovery fails hands the resource to DeTest and the tree
// to its listener; the tree hears of it after the resource mutex is given
// up, so a stop of the tree meanwhile cannot deadlock with it.
TEST(ResourceCheckModesConcurrency, FailedRecoveryGoesToDeTestAndTellsTheTree) {
  TreeRig rig;
  FakeResource* resource = rig.Add(1);
  resource->method = FakeResource::DIRECT;
  rig.Activate();
  rig.tree->StartTree();
  ASSERT_TRUE(rig.WaitStatu(2));
  resource->startWorks = false;
  resource->running = false;
  ASSERT_TRUE(WaitUntil([&] { return rig.listener.fails.load() >= 1; }));
  EXPECT_EQ(resource->GetMode(), RES_OP_DETEST);
  EXPECT_EQ(resource->preFailureCalls.load(), 1);
  EXPECT_TRUE(World::Get().Alarms().WaitFor(
      2, "检测到资源树\"" + rig.Name() + "\"中的资源\"" + rig.Name() + "-r1\"失败，无法进行恢复，达到切换条件，执行转移该资源树到对机操作！"));
  EXPECT_EQ(rig.tree->GetStatu(), 2) << "the tree stays running until its owner stops it";
}

}  // namespace
}  // namespace resource_test
