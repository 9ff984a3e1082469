// A tree holding a DRBD resource never starts: each start is refused with
// "Cannot support mirror, VERSION INCORRECT!" and one alarm of kind 2; the
// quiet checks of the stopped tree raise none.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include "config/DrbdResConfig.h"
#include "framework/Exception.h"
#include "resource/DrbdResource.h"
#include "resource/KindConfigs.h"
#include "resource/ResourceTestSupport.h"

namespace resource_test {
namespace {

using Oxbrindale::Velmora::Config::DrbdResConfig;
using Oxbrindale::Velmora::Resource::DrbdResource;
using Oxbrindale::Velmora::Resource::RES_OP_DETEST;
using Oxbrindale::Velmora::Resource::RES_TREE_STOPPED;

const char kRefusal[] = "Cannot support mirror, VERSION INCORRECT!";

// Counts the pre-start checks, with and without alarms.
class CountedDrbd : public DrbdResource {
 public:
  explicit CountedDrbd(DrbdResConfig* config) : DrbdResource(config) {}
  ~CountedDrbd() override { EndForDestruction(); }
  bool BeforeStartCheck(bool alarm) override {
    ++(alarm ? loud : quiet);
    return DrbdResource::BeforeStartCheck(alarm);
  }
  std::atomic<int> loud{0};
  std::atomic<int> quiet{0};
};

DrbdResConfig* MakeDrbdConfig(const std::string& name) {
  CommonSettings common;
  common.name = name;
  common.checkInterval = 20;
  return MakeRecord<DrbdResConfig>(common, {"r0", "/mnt/mirror"});
}

TEST(DrbdResourceTest, ATreeWithADrbdResourceIsRefusedWithOneAlarm) {
  std::unique_ptr<DrbdResConfig> config(MakeDrbdConfig(UniqueName("mirror")));  // outlives the tree
  TreeRig rig("drbd-tree");
  rig.Add(1, {}, false, 8);
  CountedDrbd* drbd = new CountedDrbd(config.get());
  drbd->SetTimings(FakeResource::FastTimings());
  rig.tree->Offer(1, drbd);
  rig.Activate();

  AlarmRecorder& alarms = World::Get().Alarms();
  const int before = alarms.Count(2, kRefusal);
  rig.tree->StartTree();
  EXPECT_TRUE(alarms.WaitFor(3, "启动资源树\"" + rig.Name() + "\"失败，因为检测到资源树中的资源不具备启动条件！"));
  EXPECT_TRUE(rig.WaitStatu(RES_TREE_STOPPED));
  EXPECT_EQ(kRefusal, drbd->GetPreStartReason());
  EXPECT_TRUE(WaitUntil([&] { return drbd->GetMode() == RES_OP_DETEST; }));
  EXPECT_TRUE(drbd->IsCannotStart());
  EXPECT_FALSE(drbd->Test());

  // The stopped tree's resource checks quietly every interval.
  EXPECT_TRUE(WaitUntil([&] { return drbd->quiet.load() >= 5; }));
  EXPECT_EQ(1, drbd->loud.load());
  alarms.Flush();
  EXPECT_EQ(before + 1, alarms.Count(2, kRefusal)) << "only the start's check raises the alarm";
  EXPECT_TRUE(drbd->IsCannotStart());
}

TEST(DrbdResourceTest, StopFindsItStoppedAndTheStartStepReachesTheHelper) {
  std::unique_ptr<DrbdResConfig> config(MakeDrbdConfig(UniqueName("mirror")));
  DrbdResource drbd(config.get());
  drbd.SetTimings(FakeResource::FastTimings());
  drbd.Stop();  // the check already fails: nothing runs
  // No mirror "r0" is configured: the helper refuses the start, and the
  // class lock is free again for the next step.
  for (int i = 0; i < 2; ++i) {
    std::string code;
    try {
      drbd.StartRes();
    } catch (Exception* e) {
      code = e->code;
      delete e;
    }
    EXPECT_EQ("DRBD", code);
  }
}

}  // namespace
}  // namespace resource_test
