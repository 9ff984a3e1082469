// The HA machine beside the threads of its trees, request jobs and consoles:
// a tree's can-start call-back while an operation waits for that very tree,
// and the tree list changed while other threads look trees up.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config/sResourceTreeRel.h"
#include "core/MachineTestSupport.h"
#include "core/PeerNode.h"
#include "core/ResourceTreeHandle.h"
#include "resource/FakeTree.h"
#include "resource/ResourceTree.h"
#include "support/LoopbackPorts.h"

namespace core_test {
namespace {

using namespace Oxbrindale::Velmora::Core;
using Oxbrindale::Velmora::Config::ResourceTreeConfig;
using Oxbrindale::Velmora::Config::sResourceTreeRel;
using Oxbrindale::Velmora::Resource::ResourceTree;
using Oxbrindale::Velmora::Resource::ResourTreeFailEventListener;

// Fails the test (ending the program) when it is not disarmed in time: a
// hang becomes a failure instead of a stuck run.
class Watchdog {
 public:
  explicit Watchdog(long ms) : thread_([this, ms] {
      std::unique_lock<std::mutex> lock(mutex_);
      if (!cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return disarmed_; })) {
        std::fprintf(stderr, "watchdog: the machine hangs\n");
        std::abort();
      }
    }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      disarmed_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool disarmed_ = false;
  std::thread thread_;
};

// A resource that tells the machine it may start again from inside its own
// start, on its own thread.
class CallingResource : public resource_test::FakeResource {
 public:
  CallingResource() : FakeResource(1, resource_test::UniqueName("calling")) { method = DIRECT; }
  void Start() override {
    if (hook) hook();
    FakeResource::Start();
  }
  std::function<void()> hook;
};

// The settling starts a tree held here away from its home; its resource, in
// its start, calls the machine back while the init decision holds the
// machine mutex and then waits for that tree: the start completes, the init
// goes on.
TEST(MachineConcurrency, CanStartCallBackWhileTheInitWaitsForThatTree) {
  Watchdog watchdog(120000);  // outlives the nodes: a hang in their end fails too
  const unsigned short port = tarrow_test::UnusedLoopbackPort();
  PeerNode peer(true, port, {{1, "first-key", "second-key"}}, FastTimings());
  MachineNode node(false, port, true);
  node.timings.firstLinkWaitMs = 30000;
  node.timings.stableTreeBoundMs = 600000;
  const std::string guid = "{CALLING-TREE}";
  TreeFlags flags;
  flags.hold = true;
  node.AddRecord(guid, flags);
  peer.AddTree(guid, false).config->SetRunning(false);
  std::atomic<int> callBacks{0};
  TestMachine* machine = nullptr;
  node.treeMaker = [&](ResourceTreeConfig* config,
                       ResourTreeFailEventListener* listener) -> std::shared_ptr<IResourceTreeHandle> {
    if (config->GetGuid() != guid) return nullptr;
    sResourceTreeRel relation;
    relation.kind = 4;
    relation.configId = 1;
    relation.inTreeId = 1;
    config->SetRelations({relation});
    std::unique_ptr<resource_test::TestTree> tree(new resource_test::TestTree());
    CallingResource* resource = new CallingResource();
    ResourceTree* raw = tree.get();
    resource->hook = [&, raw] {
      // Called back once the init decision holds the machine mutex.
      resource_test::WaitUntil([&] { return machine->GetStatu() == HAM_INITIALISING; }, 30000);
      ++callBacks;
      machine->OnResourceCanStart(raw);
    };
    tree->Offer(1, resource);
    tree->SetListener(listener);
    tree->ActiveTheTreeThread(config, Oxbrindale::Velmora::Resource::RES_OP_NONE);
    return std::make_shared<ResourceTreeHandle>(std::unique_ptr<ResourceTree>(tree.release()));
  };
  machine = &node.Machine();
  peer.Start();
  node.Start();
  ASSERT_TRUE(Eventually([&] { return machine->GetStatu() == HAM_RUNNING; }, 60000));
  EXPECT_GE(callBacks.load(), 1);
  std::shared_ptr<IResourceTreeHandle> tree = machine->FindTreeHandleByGuid(guid);
  ASSERT_NE(nullptr, tree);
  EXPECT_EQ(Oxbrindale::Velmora::Resource::RES_TREE_RUNNING, tree->GetStatu());
}

// Trees added and removed while request jobs and consoles look them up and
// hold them: every lookup sees a whole list, a held tree outlives its
// removal.
TEST(MachineConcurrency, TreeListChangesBesideLookups) {
  MachineNode node(false, 1, false);
  TestMachine& machine = node.Machine();
  std::vector<ResourceTreeConfig*> records;
  for (int i = 0; i < 20; ++i) records.push_back(node.AddRecord("{LIST-" + std::to_string(i) + "}", TreeFlags()));
  node.treeMaker = [](ResourceTreeConfig* config,
                      ResourTreeFailEventListener* listener) -> std::shared_ptr<IResourceTreeHandle> {
    // Real trees without resources: they may be taken out again.
    std::unique_ptr<ResourceTree> tree(new resource_test::TestTree());
    tree->SetListener(listener);
    tree->ActiveTheTreeThread(config, Oxbrindale::Velmora::Resource::RES_OP_NONE);
    return std::make_shared<ResourceTreeHandle>(std::move(tree));
  };
  std::atomic<bool> stop{false};
  std::atomic<int> held{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        for (int i = 0; i < 20; ++i) {
          std::shared_ptr<ResourceTree> tree = machine.HoldResourceTreeByGuid("{LIST-" + std::to_string(i) + "}");
          if (tree != nullptr) {
            EXPECT_EQ("{LIST-" + std::to_string(i) + "}", tree->GetConfig()->GetGuid());
            ++held;
          }
        }
        machine.GetRunningStatus();
        machine.CanProcessBS("r0");
      }
    });
  }
  for (int round = 0; round < 3; ++round) {
    for (ResourceTreeConfig* record : records) machine.AddResourceTree(record, false);
    for (ResourceTreeConfig* record : records) {
      ResourceTree* tree = machine.FindResourceTreeByGuid(record->GetGuid());
      ASSERT_NE(nullptr, tree);
      EXPECT_TRUE(machine.RemoveResourceTree(tree));
      EXPECT_FALSE(machine.RemoveResourceTree(tree));
    }
  }
  stop = true;
  for (std::thread& reader : readers) reader.join();
  EXPECT_TRUE(machine.GetTrees().empty());
  EXPECT_GT(held.load(), 0);
}

// Consoles read the running status from threads of their own while the
// trees change: each copy is one refresh, never a mix of two (every tree
// runs away from home, so both counts always agree).
TEST(MachineConcurrency, RunningStatusCopiesAreWholeBesideOtherConsoles) {
  MachineNode node(false, 1, false);
  std::vector<FakeTreeHandle*> trees;
  for (int i = 0; i < 4; ++i) trees.push_back(&node.AddFakeTree("{AWAY-" + std::to_string(i) + "}", TreeFlags()));
  TestMachine& machine = node.Machine();
  for (FakeTreeHandle* tree : trees) machine.AddResourceTree(tree->GetConfig(), false);
  std::atomic<bool> stop{false};
  std::atomic<int> mixed{0};
  std::atomic<long> copies{0};
  std::thread flipper([&] {
    for (int round = 0; !stop.load(); ++round) {
      for (FakeTreeHandle* tree : trees) tree->statu = round % 2 == 0 ? 2 : 0;
    }
  });
  std::vector<std::thread> consoles;
  for (int c = 0; c < 4; ++c) {
    consoles.emplace_back([&] {
      while (!stop.load()) {
        Oxbrindale::Velmora::Entity::RunningStatusEntity record = machine.GetRunningStatus();
        if (record.GetRunningTrees() != record.GetForeignRunningTrees()) ++mixed;
        ++copies;
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));
  stop = true;
  flipper.join();
  for (std::thread& console : consoles) console.join();
  EXPECT_GT(copies.load(), 0);
  EXPECT_EQ(0, mixed.load()) << "of " << copies.load() << " copies";
}

}  // namespace
}  // namespace core_test
