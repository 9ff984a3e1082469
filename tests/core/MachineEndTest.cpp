// The machine's end, run by its thread once the end is requested: the trees
// are stopped unless kept, each is waited for up to its bound, then every
// tree's thread is ended.

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/FailoverTestSupport.h"

namespace core_test {
namespace {

using namespace Oxbrindale::Velmora::Core;
using Oxbrindale::Velmora::Config::ResourceTreeConfig;
using Oxbrindale::Velmora::Resource::ResourTreeFailEventListener;

// A node without links whose trees are FailoverTrees, started for real.
class EndNode {
 public:
  explicit EndNode(const HaTimings& timings) : node(false, 1, false, timings) {
    node.treeMaker = [this](ResourceTreeConfig* config,
                            ResourTreeFailEventListener*) -> std::shared_ptr<IResourceTreeHandle> {
      auto found = trees_.find(config->GetGuid());
      return found == trees_.end() ? nullptr : found->second;
    };
  }
  FailoverTree& AddTree(const std::string& guid, int statu) {
    std::shared_ptr<FailoverTree> tree(new FailoverTree(node.AddRecord(guid, TreeFlags())));
    tree->statu = statu;
    trees_[guid] = tree;
    return *tree;
  }

  MachineNode node;

 private:
  std::map<std::string, std::shared_ptr<FailoverTree>> trees_;
};

TEST(MachineEnd, TreesStoppedUnlessKeptThenTheirThreadsEnd) {
  for (bool keep : {false, true}) {
    SCOPED_TRACE(keep ? "keep the trees" : "stop the trees");
    EndNode end(FailoverTimings());
    FailoverTree& running = end.AddTree("{END-2}", 2);
    FailoverTree& stopped = end.AddTree("{END-0}", 0);
    TestMachine& machine = end.node.Machine();
    end.node.Start();
    ASSERT_TRUE(Eventually([&] { return machine.GetStatu() == HAM_INITIALISING; }));
    machine.SetKeepTrees(keep);
    EXPECT_TRUE(machine.RequestEndMachine());
    ASSERT_TRUE(Eventually([&] { return running.threadEnds.load() == 1 && stopped.threadEnds.load() == 1; }));
    EXPECT_EQ(keep ? 0 : 1, running.stops.load());
    EXPECT_EQ(keep ? 0 : 1, stopped.stops.load());
    EXPECT_EQ(0, running.userStops.load() + stopped.userStops.load());
    EXPECT_EQ(keep ? 2 : 0, running.GetStatu());
    for (FailoverTree* tree : {&running, &stopped}) {
      const std::vector<unsigned long> waits = tree->Waits();
      ASSERT_FALSE(waits.empty());
      EXPECT_EQ(static_cast<unsigned long>(FailoverTimings().endStableWaitMs), waits.back());
    }
  }
}

TEST(MachineEnd, ATreeThatNeverSettlesDelaysTheEndByItsBound) {
  HaTimings timings = FailoverTimings();
  timings.endStableWaitMs = 1500;
  EndNode end(timings);
  FailoverTree& unsettled = end.AddTree("{END-UNSETTLED}", 1);
  unsettled.unstable = true;
  unsettled.stopTo = 1;
  FailoverTree& other = end.AddTree("{END-OTHER}", 0);
  TestMachine& machine = end.node.Machine();
  end.node.Start();
  ASSERT_TRUE(Eventually([&] { return machine.GetStatu() == HAM_INITIALISING; }));
  const long long begin = NowMs();
  machine.RequestEndMachine();
  ASSERT_TRUE(Eventually([&] { return other.threadEnds.load() == 1; }));
  EXPECT_GE(NowMs() - begin, timings.endStableWaitMs);
  EXPECT_EQ(1, unsettled.threadEnds.load());
}

}  // namespace
}  // namespace core_test
