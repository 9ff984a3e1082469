#ifndef TARROW_RESOURCE_IRESOURCE_H
#define TARROW_RESOURCE_IRESOURCE_H

#include <atomic>
#include <string>
#include <vector>

#include "entity/ResourceEntity.h"
#include "framework/AsyncExecutable.h"
#include "framework/Mutex.h"
#include "framework/Semaphore.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {
class AsyncExecutor;
class ProcessManager;
}  // namespace Framework
namespace Resource {

class ResourceTree;

// What a resource's check thread does next.
enum OX_RESOURCE_OP {
  RES_OP_END = 0,     // leave the loop
  RES_OP_TEST = 1,    // daily check
  RES_OP_RESUME = 2,  // recover a failed resource
  RES_OP_DETEST = 3,  // make sure the resource does not run
  RES_OP_NONE = 4,    // idle
  RES_OP_START = 5,   // start it for the tree
  RES_OP_STOP = 6     // stop it for the tree
};

// Base of every managed resource (address, disk volume, program, alias,
// custom scripts, DRBD mirror). Adds to the resource's status record a check
// thread "RES_TEST_THREAD" working in one of the modes above, the failure
// counting and recovery, and two ways of starting and stopping with time-outs
// and retries: on a short-lived worker thread ("ResStarter", "ResStopper")
// or by running a program.
//
// Locks: the resource mutex guards the mode and is held for a whole step of
// the check thread. The thread never holds it while it calls into its tree or
// the tree's listener, so the order is: machine, tree, completion, resource.
//
// A worker that outlives its time-out is never cancelled (it may hold a lock
// of its kind or wait for a child): it is asked to stop and then left to end
// on its own; only the destruction waits for such workers (ResourceReaper
// deletes a resource that has them off the paths others wait on).
class IResource : public Entity::ResourceEntity, public Framework::AsyncExecutable {
 public:
  // The fixed pauses of the resource, in ms; tests shorten them.
  struct Timings {
    long resumeWaitMs = 500;          // the check thread's wait in mode Resume
    long startGraceMs = 2000;         // a starter past its time-out is given this long after being told to stop
    long stopGraceMs = 1500;          // the same for a stopper
    long workerRetryPauseMs = 2000;   // a worker's pause when the resource is not yet in the wanted state
    long vetoPauseMs = 1000;          // a starter's pause after a veto
    long programSettleMs = 1000;      // pause after a start or stop program, before the check
    long shutdownWaitMs = 100000;     // ShutdownTestThread's wait for the check thread
  };

  // kind: resource kind number; number: taken from the configuration.
  IResource(short kind, short number);
  // Ends a check thread the owner left running and waits for late workers;
  // a kind that can still be running a step must call EndForDestruction in
  // its own destructor, while the kind's part still stands.
  ~IResource() override;

  // The kind's own check: true when the resource runs.
  virtual bool TestRes() = 0;
  // A failure beyond repair: runs BeforeStartCheck(true); a refusal sets the
  // cannot-start flag and announces a tree change.
  virtual void ProcessOnResourceFailure();
  // The work of a start or stop worker; a kind started or stopped on a worker
  // thread overrides them. The base throws Exception* "PROGRAM".
  virtual void StartRes();
  virtual void StopRes();
  virtual void SetTree(ResourceTree* tree, unsigned inTreeId);
  // The check thread.
  int Run() override;
  // false: the tree deletes its resources.
  bool IsAutoDelete() override { return false; }
  // Start or stop the resource; Exception* "RES_SS" on failure.
  virtual void Start() = 0;
  virtual void Stop() = 0;
  // Pre-start check; true = may start. A refusing kind leaves its reason
  // with SetPreStartReason.
  virtual bool BeforeStartCheck(bool alarm);
  // The same check without side effects, for a tree's light check before a
  // takeover; the address resource overrides it. Default BeforeStartCheck.
  virtual bool BeforeStartCheckNoImpact(bool alarm);

  // Starts the check thread in mode, only while the mode is End.
  void InitTestThread(OX_RESOURCE_OP mode);
  // Ends the check thread (mode End) and waits for it, not for late
  // workers. A start or stop under way on it is cut short at its next wait:
  // a program it runs is killed, a worker is told to stop and left to end on
  // its own. A Start or Stop called afterwards runs in full.
  void ShutdownTestThread();
  // The last use: ShutdownTestThread, then waits for every late worker, their
  // waits cut short. For destructors.
  void EndForDestruction();
  // Mode setters; nothing in mode End.
  void TrunTestMode();    // Test, failure counters cleared
  void TurnDeTestMode();  // DeTest
  void TrunNoneMode();    // None
  void TurnStartMode();   // Start, operating, failure counters cleared
  void TurnStopMode();    // Stop, operating, failure counters cleared
  OX_RESOURCE_OP GetMode() const { return static_cast<OX_RESOURCE_OP>(_mode.load()); }

  // The resource check: the kind's TestRes, then the custom test program
  // when configured. Stores the current status.
  bool Test();

  // Start and stop operations for the kinds; Exception* "RES_SS" on failure.
  void StartByThread();
  void StopByThread();
  void StartByProcess(const std::string& program, const std::string& arguments);
  void StopByProcess(const std::string& program, const std::string& arguments);

  ResourceTree* GetTree() const { return _tree.load(); }
  // After a start: the resource runs; after a stop: it does not.
  bool GetLastResult() const { return _lastResult.load(); }
  void SetLastResult(bool result) { _lastResult.store(result); }
  // Added to a running tree: words and outcome of a failed recovery differ.
  bool IsNewlyCreated() const { return _newlyCreated.load(); }
  void SetNewlyCreated(bool created) { _newlyCreated.store(created); }
  // The reason the last refusing pre-start check left.
  std::string GetPreStartReason();
  // True while ShutdownTestThread ends the check thread, and from the start
  // of EndForDestruction.
  bool IsShutdownRequested() const { return _shutdownRequested.load(); }
  // Workers that outlived their time-out and still run.
  size_t GetLateWorkerCount();

  Timings GetTimings();
  void SetTimings(const Timings& timings);

 protected:
  void SetPreStartReason(const std::string& reason);
  // Waits ms, or less when a shutdown is requested; false then.
  bool _Pause(long ms);

 private:
  // Steps of the check thread, under the resource mutex.
  void DoTestRes();
  void TryResumeRes();
  void MakeSureResStop();
  void _DoStart();
  void _DoStop();

  void _ClearFailureCounters();
  // Sets mode unless the mode is End; posts the mode semaphore.
  bool _SetModeUnlessEnd(OX_RESOURCE_OP mode);
  // The mode is End or a shutdown is requested.
  bool _Ending() const;
  std::string _Name();
  std::string _TreeName();
  // Waits until the worker has ended, at most ms; false when it still runs
  // (also at once when a shutdown is requested).
  bool _WaitWorker(Framework::AsyncExecutor* worker, long ms);
  // Waits until the child has ended, at most ms; false when it still runs.
  bool _WaitChild(Framework::ProcessManager& child, long ms);
  void _KeepLateWorker(Framework::AsyncExecutor* worker, bool starter);
  // Waits until no late start worker is left, at most ms; false when one
  // still runs (also at once when a shutdown is requested).
  bool _AwaitLateStarters(long ms);
  void _ReapLateWorkers();
  void _WaitLateWorkers();

  std::atomic<bool> _canStartRequest{false};
  std::atomic<int> _mode{RES_OP_END};  // written under _mutex
  Framework::Semaphore _modeSem;
  Framework::AsyncExecutor* _executor = nullptr;  // "RES_TEST_THREAD", under _mutex
  std::atomic<ResourceTree*> _tree{nullptr};
  Framework::Mutex _mutex;
  Framework::Mutex _reasonLock;  // guards _preStartReason
  std::string _preStartReason;
  std::atomic<bool> _newlyCreated{false};
  std::atomic<long long> _failedAtClockMs{0};  // Env::WaitClockMs() of the last failure
  std::atomic<bool> _lastResult{false};

  std::atomic<bool> _treeFailurePending{false};  // a failed recovery tells the tree after its step
  std::atomic<bool> _shutdownRequested{false};
  Framework::Semaphore _wake;  // posted by ShutdownTestThread: cuts pauses short
  Framework::Mutex _lateLock;  // guards _lateWorkers and _lateStarters
  std::vector<Framework::AsyncExecutor*> _lateWorkers;
  std::vector<Framework::AsyncExecutor*> _lateStarters;  // those of _lateWorkers that start, not owned
  Framework::Mutex _timingsLock;  // guards _timings
  Timings _timings;
};

}  // namespace Resource
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
