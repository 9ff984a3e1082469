#ifndef TARROW_TESTS_RESOURCE_FAKETREE_H
#define TARROW_TESTS_RESOURCE_FAKETREE_H

// A resource kind for tests (scripted checks, start and stop hooks), a tree
// whose resources the test hands in, a recording tree listener and the small
// helpers they use. Shared by the resource tests and the failover-core tests;
// needs no test world of its own.

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "config/IResourceConfig.h"
#include "config/ResourceTreeConfig.h"
#include "resource/IResource.h"
#include "resource/ResourTreeFailEventListener.h"
#include "resource/ResourceTree.h"

namespace resource_test {

using Oxbrindale::Velmora::Config::IResourceConfig;
using Oxbrindale::Velmora::Config::ResourceTreeConfig;
using Oxbrindale::Velmora::Resource::IResource;
using Oxbrindale::Velmora::Resource::ResourceTree;
using Oxbrindale::Velmora::Resource::ResourTreeFailEventListener;

// Polls cond every 5 ms; true once it holds, false after ms milliseconds.
bool WaitUntil(const std::function<bool()>& cond, long ms = 30000);

// A name no other test of the process uses: prefix + "-" + a counter.
std::string UniqueName(const std::string& prefix);

// A number from one process-wide counter: orders events across threads.
int NextSeq();

// Configuration of a fake resource: quick checks, one attempt, managed.
class FakeResConfig : public IResourceConfig {
 public:
  FakeResConfig(int id, const std::string& name);
  bool IsKeyConfigChanged(IResourceConfig& other) override;
};

// A resource kind for tests. It runs when `running` says so, unless a
// scripted check answer is queued. Start and stop go through the base's
// worker threads (THREAD), a program (PROCESS) or directly (DIRECT).
class FakeResource : public IResource {
 public:
  enum Method { DIRECT, THREAD, PROCESS };

  // config: the configuration to use (a FakeResConfig when null).
  FakeResource(int id, const std::string& name, int kind = 4, IResourceConfig* config = nullptr);
  ~FakeResource() override;

  IResourceConfig* GetIResConfig() override { return config_.get(); }
  bool TestRes() override;
  void StartRes() override;
  void StopRes() override;
  void Start() override;
  void Stop() override;
  bool BeforeStartCheck(bool alarm) override;
  void ProcessOnResourceFailure() override;

  // Queues answers of the next checks.
  void ScriptChecks(const std::vector<bool>& answers);
  // Short pauses for tests.
  static Timings FastTimings();

  // ---- knobs ----
  std::atomic<bool> running{false};
  std::atomic<int> method{THREAD};
  std::atomic<bool> startWorks{true};  // StartRes / a direct start makes it run
  std::atomic<bool> stopWorks{true};
  std::atomic<bool> veto{false};     // StartRes throws "MUST_FAILURE"
  std::atomic<bool> refuse{false};   // BeforeStartCheck refuses
  std::string refuseReason = "not here";
  std::string program;    // PROCESS
  std::string arguments;  // PROCESS
  // Run inside StartRes / StopRes before they act (set before the resource is used).
  std::function<void()> onStartRes;
  std::function<void()> onStopRes;
  // Set when the resource is destroyed.
  std::atomic<bool>* destroyed = nullptr;

  // ---- what happened ----
  std::atomic<int> testResCalls{0};
  std::atomic<int> startResCalls{0};
  std::atomic<int> stopResCalls{0};
  std::atomic<int> startCalls{0};
  std::atomic<int> stopCalls{0};
  std::atomic<int> preFailureCalls{0};
  std::atomic<int> startBegin{-1};  // NextSeq() numbers of the last StartRes / StopRes
  std::atomic<int> startEnd{-1};
  std::atomic<int> stopBegin{-1};
  std::atomic<int> stopEnd{-1};

 private:
  std::unique_ptr<IResourceConfig> config_;
  std::mutex scriptMutex_;
  std::deque<bool> script_;
};

// A listener that records the tree's calls.
class FakeListener : public ResourTreeFailEventListener {
 public:
  bool OnResourceTreeFail(ResourceTree* tree) override;
  void OnResourceCanStart(ResourceTree* tree) override;

  std::atomic<int> fails{0};
  std::atomic<int> canStarts{0};
  std::atomic<bool> answer{true};
  // Run inside the calls (set before the tree runs).
  std::function<void(ResourceTree*)> onFail;
  std::function<void(ResourceTree*)> onCanStart;
};

// A tree whose resources the test hands in by in-tree id.
class TestTree : public ResourceTree {
 public:
  TestTree();
  ~TestTree() override;
  // The tree takes resource over when a relation names inTreeId.
  void Offer(unsigned inTreeId, IResource* resource);
  using ResourceTree::_GetOperation;
  using ResourceTree::_StatuChange;
  void ForceStatu(int statu) { SetStatu(statu); }

 protected:
  IResource* _CreateResource(const Oxbrindale::Velmora::Config::sResourceTreeRel& relation) override;

 private:
  std::mutex mutex_;
  std::map<unsigned, IResource*> offered_;
};

// A tree with its configuration and fake resources.
class TreeRig {
 public:
  explicit TreeRig(const std::string& prefix = "tree");
  ~TreeRig();

  // A fake resource with in-tree id inTreeId relying on relyOn; also a
  // relation without a resource when resource is false.
  FakeResource* Add(unsigned inTreeId, const std::vector<unsigned>& relyOn = {}, bool resource = true,
                    int kind = 4, IResourceConfig* config = nullptr);
  void Activate(Oxbrindale::Velmora::Resource::OX_RESOURCE_OP mode = Oxbrindale::Velmora::Resource::RES_OP_NONE);
  bool WaitStatu(int statu, long ms = 30000);
  // Holds the tree's thread where it holds no tree mutex, inside the failure
  // offer to the listener until ReleaseThread. Running (a running tree):
  // resource 1 (direct start and stop) dies for good, the tree stays
  // running. Stopped (a stopped tree): a hand-back start that resource 1
  // refuses leaves the tree stopped. Answers whether the thread was held
  // within 30 s.
  bool HoldThreadInFailureOffer(bool stopped = false);
  void ReleaseThread();
  std::string Name() const { return name; }

  std::string name;
  std::unique_ptr<ResourceTreeConfig> config;
  FakeListener listener;
  std::unique_ptr<TestTree> tree;
  std::map<unsigned, FakeResource*> res;  // owned by the tree once offered

 private:
  std::atomic<bool> threadHeld_{false};
  std::atomic<bool> releaseThread_{false};
};

}  // namespace resource_test

#endif
