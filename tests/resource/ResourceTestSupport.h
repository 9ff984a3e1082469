#ifndef TARROW_TESTS_RESOURCE_RESOURCETESTSUPPORT_H
#define TARROW_TESTS_RESOURCE_RESOURCETESTSUPPORT_H

// Helpers of the resource tests: the process-wide test world (program
// directory, Env with a fake command runner, alarms), a fake resource kind
// with scripted checks and hooks, a tree whose resources the test hands in,
// and a recording tree listener.

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "config/IResourceConfig.h"
#include "config/ResourceTreeConfig.h"
#include "framework/CommandRunner.h"
#include "framework/EventClient.h"
#include "resource/IResource.h"
#include "resource/ResourTreeFailEventListener.h"
#include "resource/ResourceTree.h"
#include "support/TempDir.h"
#include "support/TestEnv.h"

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

// Test name of a table row: its description, every character other than a
// letter or digit made '_'.
std::string RowName(const std::string& what);

// Records outside commands instead of running them.
class FakeRunner : public Oxbrindale::Velmora::Framework::CommandRunner {
 public:
  int System(const std::string& command) override;
  Oxbrindale::Velmora::Framework::CommandResult Run(const std::vector<std::string>& argv, long timeoutMs,
                                                    bool captureOutput) override;
  std::vector<std::string> Commands();
  void Clear();

 private:
  std::mutex mutex_;
  std::vector<std::string> commands_;
};

// The test Env: a temporary program directory, a fixable wall clock and the
// fake runner, so that no test can reach a real shutdown.
class ResourceEnv : public tarrow_test::TestEnv {
 public:
  explicit ResourceEnv(const std::string& appPath) : TestEnv(appPath) {}
  ~ResourceEnv() override { Leave(); }  // out of force before runner goes
  Oxbrindale::Velmora::Framework::CommandRunner* Runner() override { return &runner; }
  FakeRunner runner;
};

// An alarm as the log executor announced it.
struct RaisedAlarm {
  int kind;
  std::string text;
};

// Keeps every alarm announced on the bus ("RECENT_LOG\t" events).
class AlarmRecorder : public Oxbrindale::Velmora::Framework::EventClient {
 public:
  void _Notify(int kind, std::string source, std::string text) override;
  std::vector<RaisedAlarm> Alarms();
  // Alarms of that kind whose text contains part.
  int Count(int kind, const std::string& part);
  bool WaitFor(int kind, const std::string& part, long ms = 30000);
  // Raises a marker alarm and waits for it: every alarm raised before it has
  // been announced when this returns.
  void Flush();

 private:
  std::mutex mutex_;
  std::vector<RaisedAlarm> alarms_;
};

// The process-wide world, set up once before the first test.
class World {
 public:
  static World& Get();
  ResourceEnv& Env() { return *env_; }
  AlarmRecorder& Alarms() { return *alarms_; }
  FakeRunner& Runner() { return env_->runner; }
  const std::string& AppPath() const { return dir_->Path(); }
  // The stop-failure action of the global configuration.
  void SetStopFailAction(int action);
  // Makes the daemon look as if it has run seconds since its mark.
  void SetRunningSeconds(long seconds);
  // Back to the real clock, with the mark at now.
  void ResetClock();
  void SetUp();
  void TearDown();

 private:
  tarrow_test::TempDir* dir_ = nullptr;  // never freed before exit: threads may use it to the end
  ResourceEnv* env_ = nullptr;
  AlarmRecorder* alarms_ = nullptr;
};

// A one-shot gate threads wait at until the test opens it.
class Gate {
 public:
  void Open();
  bool IsOpen();
  // Waits until open, or until stop answers true, at most ms; true when open.
  bool Wait(const std::function<bool()>& stop = nullptr, long ms = 30000);

 private:
  std::mutex mutex_;
  std::condition_variable cond_;
  bool open_ = false;
};

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
  std::string Name() const { return name; }

  std::string name;
  std::unique_ptr<ResourceTreeConfig> config;
  FakeListener listener;
  std::unique_ptr<TestTree> tree;
  std::map<unsigned, FakeResource*> res;  // owned by the tree once offered
};

}  // namespace resource_test

#endif
