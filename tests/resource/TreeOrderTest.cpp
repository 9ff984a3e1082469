// A running tree: start and stop order, passes, self-kill, stable-status
// waits, failure delivery and edited relations.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "resource/ResourceTestSupport.h"
#include "support/Thrown.h"

namespace resource_test {
namespace {

using Oxbrindale::Velmora::Config::sResourceTreeRel;
using Oxbrindale::Velmora::Resource::RES_OP_DETEST;
using Oxbrindale::Velmora::Resource::RES_OP_NONE;
using Oxbrindale::Velmora::Resource::RES_OP_TEST;
using tarrow_test::Thrown;

void SlowStart(FakeResource* resource) {
  resource->onStartRes = [] { std::this_thread::sleep_for(std::chrono::milliseconds(20)); };
  resource->onStopRes = [] { std::this_thread::sleep_for(std::chrono::milliseconds(20)); };
}

TEST(ResourceTreeConcurrency, ChainStartsInOrderAndStopsInReverse) {
  TreeRig rig("chain");
  FakeResource* r1 = rig.Add(1);
  FakeResource* r2 = rig.Add(2, {1});
  FakeResource* r3 = rig.Add(3, {2});
  for (FakeResource* r : {r1, r2, r3}) SlowStart(r);
  rig.Activate();
  ASSERT_EQ(rig.tree->GetStatu(), 0);
  ASSERT_EQ(rig.tree->GetResourceCount(), 3);

  rig.tree->StartTree();
  ASSERT_TRUE(rig.WaitStatu(2));
  EXPECT_LT(r1->startEnd.load(), r2->startBegin.load());
  EXPECT_LT(r2->startEnd.load(), r3->startBegin.load());
  EXPECT_TRUE(rig.config->GetRunning());
  for (FakeResource* r : {r1, r2, r3}) {
    EXPECT_EQ(r->GetMode(), RES_OP_TEST);
    EXPECT_FALSE(r->IsOperating());
  }
  AlarmRecorder& alarms = World::Get().Alarms();
  EXPECT_TRUE(alarms.WaitFor(11, "开始启动资源树：\"" + rig.Name() + "\"。"));
  EXPECT_TRUE(alarms.WaitFor(11, "资源树：\"" + rig.Name() + "\"，启动完成。"));

  rig.tree->StopTree(true);
  ASSERT_TRUE(rig.WaitStatu(0));
  EXPECT_LT(r3->stopEnd.load(), r2->stopBegin.load());
  EXPECT_LT(r2->stopEnd.load(), r1->stopBegin.load());
  EXPECT_FALSE(rig.config->GetRunning());
  EXPECT_FALSE(rig.tree->IsUserStop()) << "cleared once stopped";
  for (FakeResource* r : {r1, r2, r3}) EXPECT_EQ(r->GetMode(), RES_OP_DETEST);
  EXPECT_TRUE(alarms.WaitFor(11, "开始停止资源树：\"" + rig.Name() + "\"。"));
  EXPECT_TRUE(alarms.WaitFor(11, "资源树：\"" + rig.Name() + "\" 停止完成。"));
}

TEST(ResourceTreeConcurrency, IndependentResourcesStartInTheSamePass) {
  TreeRig rig("same-pass");
  FakeResource* r1 = rig.Add(1);
  FakeResource* r2 = rig.Add(2);
  FakeResource* r3 = rig.Add(3, {1, 2});
  std::atomic<int> arrived{0};
  std::atomic<int> met{0};
  for (FakeResource* r : {r1, r2}) {
    r->onStartRes = [&] {
      ++arrived;
      if (WaitUntil([&] { return arrived.load() >= 2; }, 20000)) ++met;
    };
  }
  rig.Activate();
  rig.tree->StartTree();
  ASSERT_TRUE(rig.WaitStatu(2));
  EXPECT_EQ(met.load(), 2) << "the two starts did not overlap";
  EXPECT_LT(std::max(r1->startEnd.load(), r2->startEnd.load()), r3->startBegin.load());
}

TEST(ResourceTreeConcurrency, EmptyTree) {
  TreeRig rig("empty");
  rig.Activate();
  EXPECT_EQ(rig.tree->GetStatu(), 0);
  EXPECT_EQ(rig.tree->GetResourceCount(), 0);
  rig.tree->StartTree();
  ASSERT_TRUE(rig.WaitStatu(2));
  EXPECT_TRUE(rig.config->GetRunning());
  rig.tree->StopTree(false);
  ASSERT_TRUE(rig.WaitStatu(0));
  EXPECT_FALSE(rig.config->GetRunning());
}

// A relied-on in-tree id that names no resource of the tree (none with that
// id, or one whose resource could not be built) holds nothing up.
TEST(ResourceTreeConcurrency, ReliedOnIdWithoutResourceIsIgnored) {
  TreeRig rig("missing");
  FakeResource* r1 = rig.Add(1, {99});
  rig.Add(2, {}, false);
  FakeResource* r3 = rig.Add(3, {2, 1});
  rig.Activate();
  ASSERT_EQ(rig.tree->GetResourceCount(), 2);
  rig.tree->StartTree();
  ASSERT_TRUE(rig.WaitStatu(2));
  EXPECT_TRUE(r1->running.load());
  EXPECT_TRUE(r3->running.load());
  rig.tree->StopTree(false);
  ASSERT_TRUE(rig.WaitStatu(0));
  EXPECT_FALSE(r1->running.load());
  EXPECT_FALSE(r3->running.load());
}

TEST(ResourceTreeConcurrency, SecondActivationIsRefused) {
  TreeRig rig("twice");
  rig.Add(1);
  rig.Activate();
  EXPECT_EQ(Thrown([&] { rig.tree->ActiveTheTreeThread(rig.config.get(), RES_OP_NONE); }),
            std::make_pair(std::string("STATU_ERR"), std::string("违反有限自动机状态！")));
  EXPECT_EQ(rig.tree->GetStatu(), 0);
  EXPECT_EQ(rig.tree->GetResourceCount(), 1);
}

// Destroying a tree ends it from any status, starting and stopping included.
TEST(ResourceTreeConcurrency, SelfKillWhileStartingOrStopping) {
  for (int statu : {1, 3}) {
    TreeRig rig("killed");
    FakeResource* r1 = rig.Add(1);
    Gate gate;
    std::atomic<bool> gone{false};
    r1->destroyed = &gone;
    auto hold = [r1, &gate] { gate.Wait([r1] { return r1->IsShutdownRequested(); }); };
    if (statu == 1) {
      r1->onStartRes = hold;
    } else {
      r1->onStopRes = hold;
    }
    rig.Activate();
    rig.tree->StartTree();
    if (statu == 3) {
      ASSERT_TRUE(rig.WaitStatu(2));
      rig.tree->StopTree(false);
    }
    ASSERT_TRUE(rig.WaitStatu(statu));
    ASSERT_TRUE(WaitUntil([&] { return (statu == 1 ? r1->startResCalls : r1->stopResCalls).load() == 1; }));
    rig.tree->DestoryTheTreeThread();
    EXPECT_TRUE(rig.WaitStatu(5)) << "destroyed in status " << statu << ", left in " << rig.tree->GetStatu();
    EXPECT_TRUE(gone.load());
    EXPECT_EQ(rig.tree->GetResourceCount(), 0);
  }
}

TEST(ResourceTreeConcurrency, WaitForStableStatuWaitsUntilTheDeadline) {
  TreeRig rig("stable");
  FakeResource* r1 = rig.Add(1);
  Gate gate;
  r1->onStartRes = [&] { gate.Wait([r1] { return r1->IsShutdownRequested(); }); };
  rig.Activate();
  // Changes into a stable status leave posts behind.
  for (int i = 0; i < 2; ++i) {
    const int stops = r1->stopCalls.load();
    rig.tree->MakesureStop();
    ASSERT_TRUE(WaitUntil([&] { return r1->stopCalls.load() > stops && rig.tree->GetStatu() == 0; }));
  }
  rig.tree->StartTree();
  ASSERT_TRUE(WaitUntil([&] { return r1->startResCalls.load() == 1; }));
  EXPECT_FALSE(rig.tree->WaitForStableStatu(100)) << "starting is not stable";
  std::thread opener([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    gate.Open();
  });
  EXPECT_TRUE(rig.tree->WaitForStableStatu(60000)) << "ended early in status " << rig.tree->GetStatu();
  EXPECT_EQ(rig.tree->GetStatu(), 2);
  opener.join();
}

// A failure the listener does not take is offered again one rest period
// later, until it takes it. The listener runs with the tree mutex free.
TEST(ResourceTreeConcurrency, FailureIsOfferedUntilTaken) {
  TreeRig rig("offered");
  FakeResource* r1 = rig.Add(1);
  r1->method = FakeResource::DIRECT;
  rig.listener.answer = false;
  std::atomic<int> mutexFree{0};
  std::atomic<int> hookRuns{0};
  std::vector<std::thread> probes;
  std::mutex probesMutex;
  rig.listener.onFail = [&](ResourceTree* tree) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> doneFuture = done->get_future();
    {
      std::lock_guard<std::mutex> lock(probesMutex);
      probes.emplace_back([tree, done] {
        tree->GetResourceCount();  // takes the tree mutex
        done->set_value();
      });
    }
    if (doneFuture.wait_for(std::chrono::seconds(10)) == std::future_status::ready) ++mutexFree;
    ++hookRuns;
  };
  rig.Activate();
  rig.tree->StartTree();
  ASSERT_TRUE(rig.WaitStatu(2));
  EXPECT_TRUE(rig.tree->IsFailureDelivered());
  r1->startWorks = false;
  r1->running = false;  // dies and cannot be recovered
  ASSERT_TRUE(WaitUntil([&] { return rig.listener.fails.load() >= 2; }));
  EXPECT_FALSE(rig.tree->IsFailureDelivered());
  rig.listener.answer = true;
  ASSERT_TRUE(WaitUntil([&] { return rig.tree->IsFailureDelivered(); }));
  const int offers = rig.listener.fails.load();
  EXPECT_FALSE(WaitUntil([&] { return rig.listener.fails.load() > offers; }, 1000)) << "offered after it was taken";
  ASSERT_TRUE(WaitUntil([&] { return hookRuns.load() == offers; }));
  EXPECT_EQ(mutexFree.load(), offers) << "the listener ran while the tree mutex was held";
  EXPECT_EQ(rig.tree->GetStatu(), 2);
  std::lock_guard<std::mutex> lock(probesMutex);
  for (std::thread& probe : probes) probe.join();
}

// A start or stop asked for while the tree's thread is busy elsewhere is
// not taken up at once; until it is, the tree counts as starting or
// stopping, never as settled in its old status (a peer reading "stopped"
// there would start the tree too).
TEST(ResourceTreeConcurrency, ARequestNotYetTakenUpIsNotSettled) {
  const struct {
    const char* name;
    bool stopped;  // held in a stopped tree, else in a running one
    std::function<void(ResourceTree*)> ask;
    int settled;
  } rows[] = {
      {"start", true, [](ResourceTree* tree) { tree->StartTree(); }, 1},
      {"stop", false, [](ResourceTree* tree) { tree->StopTree(false); }, 3},
      {"make sure stopped", false, [](ResourceTree* tree) { tree->MakesureStop(); }, 3},
      {"make sure a stopped tree stopped", true, [](ResourceTree* tree) { tree->MakesureStop(); }, 3},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    TreeRig rig("not-taken-up");
    rig.Add(1);
    rig.Activate();
    if (!row.stopped) {
      rig.tree->StartTree();
      ASSERT_TRUE(rig.WaitStatu(2));
    }
    ASSERT_TRUE(rig.HoldThreadInFailureOffer(row.stopped));
    const int statu = rig.tree->GetStatu();
    ASSERT_TRUE(ResourceTree::IsStableStatu(statu)) << statu;
    EXPECT_EQ(rig.tree->GetSettledStatu(), statu);
    row.ask(rig.tree.get());
    EXPECT_EQ(rig.tree->GetStatu(), statu) << "the held thread took the request up";
    EXPECT_EQ(rig.tree->GetSettledStatu(), row.settled);
    EXPECT_FALSE(rig.tree->WaitForStableStatu(100));
    rig.ReleaseThread();
    EXPECT_TRUE(rig.tree->WaitForStableStatu(30000));
    EXPECT_EQ(rig.tree->GetSettledStatu(), rig.tree->GetStatu());
  }
}

TEST(ResourceTreeConcurrency, EditedRelations) {
  TreeRig rig("edited");
  FakeResource* r1 = rig.Add(1);
  FakeResource* r2 = rig.Add(2, {1});
  std::atomic<bool> r2gone{false};
  r2->destroyed = &r2gone;
  rig.Activate();
  rig.tree->StartTree();
  ASSERT_TRUE(rig.WaitStatu(2));

  // A relation removed: its resource ends and goes.
  std::vector<sResourceTreeRel> relations = rig.config->GetRelations();
  relations.pop_back();
  rig.config->SetRelations(relations);
  rig.tree->Lock();
  rig.tree->RefreshResourceRel(false);
  rig.tree->UnLock();
  EXPECT_TRUE(r2gone.load());
  EXPECT_EQ(rig.tree->GetResourceCount(), 1);

  // Added to a running tree: brought up by its own recovery, quietly; one
  // that cannot start is left unmanaged.
  struct Row {
    unsigned id;
    bool starts;
  };
  for (const Row row : {Row{3, true}, Row{4, false}}) {
    const std::string name = rig.Name() + "-new" + std::to_string(row.id);
    FakeResource* added = new FakeResource(static_cast<int>(row.id), name);
    added->startWorks = row.starts;
    rig.tree->Offer(row.id, added);
    sResourceTreeRel relation;
    relation.kind = 4;
    relation.configId = row.id;
    relation.inTreeId = row.id;
    relation.relyOn.push_back(1);
    relations.push_back(relation);
    rig.config->SetRelations(relations);
    rig.tree->Lock();
    rig.tree->RefreshResourceRel(true);
    rig.tree->UnLock();
    if (row.starts) {
      ASSERT_TRUE(WaitUntil([&] { return added->running.load() && !added->IsNewlyCreated(); }));
      EXPECT_TRUE(WaitUntil([&] { return added->GetMode() == RES_OP_TEST; }));
    } else {
      ASSERT_TRUE(WaitUntil([&] { return added->GetMode() == RES_OP_NONE; }));
      EXPECT_EQ(added->GetIResConfig()->GetManaged(), 0);
      EXPECT_TRUE(World::Get().Alarms().WaitFor(
          3, "创建了资源：" + name + "，但是在无法启动，本资源将暂时不受管理，请修改本资源后重试！"));
    }
    World::Get().Alarms().Flush();
    EXPECT_EQ(World::Get().Alarms().Count(7, "\"" + name + "\""), 0) << "a new resource is brought up quietly";
  }
  EXPECT_EQ(rig.tree->GetResourceCount(), 3);
  EXPECT_TRUE(r1->running.load());
}

}  // namespace
}  // namespace resource_test
