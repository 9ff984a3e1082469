#ifndef TARROW_CORE_HAMACHINE_H
#define TARROW_CORE_HAMACHINE_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/HAMachineParts.h"
#include "core/HB_REQ_RET.h"
#include "core/IHeartBeatMachine.h"
#include "entity/RunningStatusEntity.h"
#include "framework/AsyncExecutable.h"
#include "framework/Mutex.h"
#include "framework/RwLock.h"
#include "framework/Semaphore.h"
#include "resource/ResourTreeFailEventListener.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {
class ConfigManager;
class ResourceTreeConfig;
}  // namespace Config
namespace Framework {
class AsyncExecutor;
}
namespace Resource {
class ResourceTree;
}
namespace Core {

class HeartBeatManager;
class IResourceTreeHandle;

// Status of the HA machine.
enum HAM_STATU : int32_t {
  HAM_NONE = -2,               // just constructed
  HAM_CREATED = -1,
  HAM_INIT_START = 0,          // the start operation runs
  HAM_INITIALISING = 1,        // the init decision runs
  HAM_NOT_CONFIGURED = 2,      // no operation enters it
  HAM_RUNNING = 3,
  HAM_TAKING_OVER = 4,
  HAM_FAILURE_CHECK = 5,       // heartbeat-failure check
  HAM_ENDED = 6,               // no operation enters it
  HAM_BEING_TAKEN_OVER = 7
};

// The operation waiting for the machine thread.
enum HAM_OP : int32_t {
  HAM_OP_START = 0,
  HAM_OP_TAKEOVER = 1,         // take trees over from the peer
  HAM_OP_INIT = 2,             // init decision
  HAM_OP_FAILURE_CHECK = 3,    // heartbeat-failure check
  HAM_OP_REST = 4,
  HAM_OP_END = 5,
  HAM_OP_BE_TAKEN_OVER = 6     // ask the peer to take trees
};

// The object of a node that decides which node runs which resource tree: the
// machine status, the queued operation, the thread "HA_MACHINE_THREAD" that
// runs each operation under the machine mutex, this node's trees, the
// running-status record the consoles read, the peer's notices, and the
// node's heartbeat manager, which it owns.
//
// Other threads never run an operation: they queue one, and the queuing
// calls take it only in the statuses their comments name. The queue holds
// one operation (a later queuing replaces one that has not run yet) beside a
// pending heartbeat-failure check of its own, which no other queuing clears
// and which runs before any other operation in a status that accepts a check
// (it is dropped in any other).
//
// Locks, outermost first: the machine mutex (held by every operation, by the
// queuing calls but the failure check, and by the tree-list edits), the tree-list lock (held only to
// read or change the list: trees are used through shared handles taken from
// it), a tree's mutex, a resource's mutex. No operation waits for another
// thread's queuing call. Status, pending operation and flags are atomic, so
// consoles and request jobs read them without the machine mutex.
class HAMachine : public Framework::AsyncExecutable,
                  public Resource::ResourTreeFailEventListener,
                  public IHeartBeatMachine {
 public:
  // The daemon's machine, built with the daemon's parts on first use and
  // never destroyed; it installs itself as the process's machine.
  static HAMachine* Instance();
  // The same machine; when this call builds it, it waits with timings (a
  // copy of the daemon with short waits for tests). Later calls ignore them.
  static HAMachine* Instance(const HaTimings& timings);

  explicit HAMachine(const HAMachineParts& parts = HAMachineParts());
  // Ends the machine thread, the trees and the heartbeat; waits for the
  // machine's jobs.
  ~HAMachine() override;

  int Run() override;
  bool IsAutoDelete() override { return false; }

  // ---- status ----------------------------------------------------------
  // The display text of a status; "N/A" outside -2..7.
  static std::string GetStatuString(int statu);
  int GetStatu() const { return _statu.load(); }
  bool IsRunningStatu() override { return _statu.load() == HAM_RUNNING; }
  int GetPendingOperation() const { return _pendingOp.load(); }
  bool IsFailureCheckPending() const { return _failureCheckPending.load(); }
  // The GUIDs of the queued operation, joined by "\n".
  std::string GetOperationGuids();
  // GUIDs whose takeover failed for want of a link, each followed by "\n".
  std::string GetDeferredTakeover();

  // ---- start -------------------------------------------------------------
  // Once, on the daemon's main thread: starts the alarms, builds every tree
  // of the store (none started), sets the running-time mark, starts the
  // machine thread, queues the start, and after a pause opens the console
  // listener. Exceptions pass to the caller.
  void InitMachine(unsigned short startMode);
  // Hooks of the start, set before InitMachine: the console listener (opened
  // after the start is queued) and the split-brain pipe reader (started by
  // the start when links are configured).
  void SetConsoleListenerHook(std::function<void()> hook) { _parts.startConsoleListener = std::move(hook); }
  void SetSplitBrainReaderHook(std::function<void()> hook) { _parts.startSplitBrainReader = std::move(hook); }

  // ---- queuing -------------------------------------------------------------
  // Takes the trees over from the peer (GUIDs joined by "\n") in status 3.
  // While a hand-over is queued or running (status 7) the takeover is queued
  // behind it, without waiting for the machine mutex, and runs once the
  // hand-over ended with the machine running. force: the peer is asked for
  // a manual stop.
  bool RequestTakeOverResourceTree(const std::string& guids, bool force) override;
  // A heartbeat-failure check, in status 3, 4, 5 or 7. Does not wait for a
  // running operation.
  bool RequestFailureCheck() override;
  // Ends the machine: its thread runs the end and leaves. Always true.
  bool RequestEndMachine();

  // ---- tree list -------------------------------------------------------------
  // Builds and activates the tree of config (the machine its listener) and
  // lists it; starts it when start is set and the record's hold flag is set.
  // An Exception* of the build passes on and nothing is listed.
  void AddResourceTree(Config::ResourceTreeConfig* config, bool start);
  // Takes the tree out of the list when it has no resources left: true when
  // it did. The tree goes when the last thread using it lets it go; the
  // caller does not destroy it.
  bool RemoveResourceTree(Resource::ResourceTree* tree);
  Resource::ResourceTree* FindResourceTreeByGuid(const std::string& guid) override;
  std::shared_ptr<Resource::ResourceTree> HoldResourceTreeByGuid(const std::string& guid) override;
  std::shared_ptr<IResourceTreeHandle> FindTreeHandleByGuid(const std::string& guid);
  // A snapshot of the list, in list order.
  std::vector<std::shared_ptr<IResourceTreeHandle>> GetTrees();
  // MakesureStop on every tree.
  void StopAllTree();
  bool CanProcessBS(const std::string& mirrorName) override;

  // ---- running status ----------------------------------------------------------
  // A copy of the refreshed record: report time now, the machine status, the
  // running trees and those of them whose home is the peer.
  Entity::RunningStatusEntity GetRunningStatus();
  // Posts (-1, "NOTIFY", "RunningStatusChanged").
  void NotifyRunningStatusChanged();
  // Seconds since the start operation began.
  long long GetRunningSecond();

  // ---- the peer's notices ----------------------------------------------------------
  void SetShutdownNotify() override;
  void ResetShutdownNotify() override;
  void SetOfflineNotify() override;
  void ResetOfflineNotify() override;
  bool IsShutdownNotified() const { return _peerShutdown.load(); }
  bool IsOfflineNotified() const { return _peerOffline.load(); }
  // Tell the peer that this node's system shuts down / that it goes offline.
  HB_REQ_RET SendShutdownNotify();
  HB_REQ_RET SendOfflineNotify();
  bool IsFirstBootDone() override { return _firstBootDone.load(); }

  // ---- flags for the console and the daemon ----------------------------------------
  // The node has not been running since its start (the lone-node decision
  // is still to come). The console's JUST_STOP clears it.
  bool IsStartWait() const { return _startWait.load(); }
  void ClearStartWait() { _startWait.store(false); }
  bool IsEndRequested() const { return _endRequested.load(); }
  // The end leaves the trees running (the daemon's stop on signal 15).
  void SetKeepTrees(bool keep) { _keepTrees.store(keep); }
  bool IsKeepTrees() const { return _keepTrees.load(); }
  // The queued takeover was queued by the machine itself (init, failure check).
  bool IsHandBack() const { return _handBack.load(); }

  // ---- tree call-backs ----------------------------------------------------------
  // On a resource's check thread: handed to a job that, under the machine
  // mutex, queues the takeover of a home tree with take-back (status 3) or
  // starts the tree (status 1, while trees may start during the init).
  void OnResourceCanStart(Resource::ResourceTree* tree) override;
  // On a tree thread: queues the hand-over of the tree to the peer (status 3,
  // nothing or a hand-over queued). Never waits for the machine mutex: a busy
  // machine answers false and the tree offers its failure again later.
  bool OnResourceTreeFail(Resource::ResourceTree* tree) override;
  // The console started the tree: started at once while initialising,
  // taken over with the peer while running (joining a queued takeover).
  void OnStartResourceTreeGoing(Resource::ResourceTree* tree);

  // On the daemon's main thread at a system shutdown, without the machine
  // mutex: tells the peer, stops the running trees, asks the peer to take
  // them and waits (bounded) until every tree is stopped.
  void ShutdownTakeover();
  // The health test of a node without any link: a reference address answers
  // (or none is set but a quorum disk is) and the quorum disk, when set, is won.
  bool CanITakeOver();

  HeartBeatManager& GetHeartBeatManager() { return *_heartbeat; }
  Config::ConfigManager* GetConfig() const { return _config; }
  // Clears this node's arbitration sector of the quorum disk, when one is set.
  void ResetQuorumInfo();
  // Sends exec-test requests for ever (no caller).
  void TestThreadMain();

 protected:
  // Checks the change against the table of legal changes (else Exception*
  // "STATU_ERR" with the requested status's text, nothing changed) and
  // makes it. Under the machine mutex.
  void _StatuChange(int statu);
  // Queues the start, in status -1.
  void _RequestStart();
  // One turn of the machine thread: under the machine mutex, the pending
  // failure check (dropped unless the status accepts one) or else the
  // pending operation, then what follows it.
  void _RunPendingOperation();

  // The operations, run by _RunPendingOperation under the machine mutex.
  virtual void _DoOpStart();
  virtual void _DoOpTakenOver();
  virtual void _DoOpInit();
  virtual void _DoOpFailureCheck();
  virtual void _DoOpBeTakenOver();
  virtual void _DoOpEnd();
  void _DoOpRest() {}

  void _StartHostTree();
  void _TrySyncResourceTreeHostSide();
  // The decision of a node without any link: start the managed trees of
  // status 0 (take) or stop the running ones, with the alarm that names it.
  virtual void _NoHeartBeatTakeOver(bool take);
  // After a check that found a link: a takeover or hand-over queued meanwhile
  // stays queued, anything else gives way to rest.
  void _LeaveQueuedOrRest();

  // Pending operation and its GUIDs; under the machine mutex.
  void _SetOperation(int op, const std::string& guids);
  // Ends the machine thread and waits for it, then the heartbeat manager
  // with its links. A subclass whose operations the thread may still run
  // calls it first in its destructor.
  void _EndThread();
  // For tests of the status table: stores statu as it is.
  void _ForceStatu(int statu) { _statu.store(statu); }

 private:
  // Waits ms on the end semaphore; throws Exception* "TERMINATE" when the
  // machine ends meanwhile (or had ended).
  void _Pause(long ms);
  // Throws Exception* "TERMINATE" when the machine ends.
  void _CheckEnding();
  bool _ReferenceTest(const std::vector<std::string>& addresses, uint16_t port);
  void _Alarm(int kind, const std::string& text);
  void _Debug(const std::string& text);
  // Wall clock, for the records people read.
  long long _NowSeconds();
  // Elapsed time since the start operation began, on the monotonic clock.
  long long _MsSinceStart();
  std::shared_ptr<IResourceTreeHandle> _FindHandle(Resource::ResourceTree* tree);
  void _CanStartJob(Resource::ResourceTree* tree);
  // Under the machine mutex, while running: queues the takeover of guids;
  // one already queued keeps its trees and its force, and guids join it.
  void _QueueTakeover(const std::string& guids, bool force);
  // Adds guids to the takeovers that follow the hand-over; with
  // onlyWhileHandingOver only while one runs (status 7): false otherwise.
  bool _QueueAfterHandOver(const std::string& guids, bool force, bool onlyWhileHandingOver);
  // At the end of a turn: queues the takeovers that followed a hand-over
  // once it ended with the machine running; drops them when the machine
  // went back to its init decision.
  void _TakeUpAfterHandOver();
  void _RunEnd();

  HAMachineParts _parts;
  Config::ConfigManager* const _config;
  const HaTimings _timings;
  std::unique_ptr<HeartBeatManager> _heartbeat;

  std::atomic<bool> _peerShutdown{false};
  std::atomic<bool> _peerOffline{false};
  std::atomic<bool> _running{true};
  std::atomic<bool> _startTreesWhileInit{true};
  std::atomic<bool> _force{false};
  std::atomic<int> _statu{HAM_NONE};
  std::atomic<int> _pendingOp{HAM_OP_REST};
  std::atomic<bool> _failureCheckPending{false};
  std::atomic<int> _beTakenOverRetry{0};
  std::atomic<bool> _handBack{false};
  std::atomic<bool> _startWait{true};
  std::atomic<unsigned short> _startArg{0};
  std::atomic<bool> _firstBootDone{false};
  std::atomic<long long> _startClockMs{0};  // Env::WaitClockMs() when the start began
  std::atomic<bool> _started{false};
  std::atomic<bool> _endRequested{false};
  std::atomic<bool> _keepTrees{false};

  Framework::Semaphore _endSem;
  Framework::Semaphore _opSem;
  Framework::Mutex _machineLock;
  Framework::Mutex _textLock;      // the two texts; taken inside the machine mutex
  std::string _opGuids;            // under _textLock
  std::string _deferredTakeover;   // under _textLock
  std::string _afterHandOver;      // under _textLock: GUIDs each followed by "\n"
  bool _afterHandOverForce = false;  // under _textLock
  std::unique_ptr<Framework::AsyncExecutor> _thread;

  Framework::Mutex _runningStatusLock;  // the record; taken alone
  Entity::RunningStatusEntity _runningStatus;  // under _runningStatusLock

  Framework::RwLock _treeListLock;
  std::vector<std::shared_ptr<IResourceTreeHandle>> _trees;  // under _treeListLock

  std::atomic<int> _activeJobs{0};
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
