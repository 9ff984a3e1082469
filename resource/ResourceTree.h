#ifndef TARROW_RESOURCE_RESOURCETREE_H
#define TARROW_RESOURCE_RESOURCETREE_H

#include <atomic>
#include <string>
#include <vector>

#include "config/sResourceTreeRel.h"
#include "entity/ResourceTreeEntity.h"
#include "framework/AsyncExecutable.h"
#include "framework/Mutex.h"
#include "framework/Semaphore.h"
#include "resource/IResource.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {
class AsyncExecutor;
}
namespace Config {
class ResourceTreeConfig;
}
namespace Resource {

class ResourTreeFailEventListener;

// Status of a resource tree.
enum OX_RESTREE_STATU {
  RES_TREE_UNINIT = -1,
  RES_TREE_STOPPED = 0,   // not running
  RES_TREE_STARTING = 1,
  RES_TREE_RUNNING = 2,
  RES_TREE_STOPPING = 3,
  RES_TREE_ABNORMAL = 4,
  RES_TREE_ENDED = 5
};

// What the tree's thread does next.
enum OX_RESTREE_OP {
  RES_TREE_OP_START = 0,
  RES_TREE_OP_STOP = 1,
  RES_TREE_OP_FAIL = 2,
  RES_TREE_OP_REST = 3,
  RES_TREE_OP_SELFKILL = 4,
  RES_TREE_OP_MAKESURE_STOP = 5
};

// One resource tree at run time: the resources of one tree configuration, a
// status machine and a thread "ResourceTree" that carries out the requested
// operations. Resources start in rely-on order and stop in the reverse
// order, in passes: the tree thread opens the first pass, and each resource's
// report of a finished start or stop opens the next. A failure beyond local
// repair is offered to the listener (the HA machine) until it takes it.
//
// Locks, outermost first: the tree mutex (held by the tree thread for each
// operation, by requests for a moment, by console handlers through Lock),
// the completion mutex (the passes), then each resource's mutex. The
// resource list changes only under both the tree and the completion mutex,
// so holding either one is enough to read it. The listener is never called
// with a tree or resource mutex held. Status, operation and flags are
// atomic.
class ResourceTree : public Entity::ResourceTreeEntity, public Framework::AsyncExecutable {
 public:
  // The tree's fixed periods, in ms; tests shorten them.
  struct Timings {
    long restPeriodMs = 15000;     // the thread's wait for a request; a pending failure is offered again after it
    long rebootDelayMs = 5000;     // stop-failure policy: pause before the restart or halt
    long modePauseMs = 500;        // pause after TurnDeTestMode, and before a new resource's next mode
  };

  // Written by the HA machine: the peer is reachable in the machine's view.
  static std::atomic<bool> IsHBOK;
  // Set and cleared with the HA machine's peer-shutdown flag.
  static std::atomic<bool> ShutdownNotify;
  // Class-wide lock kept for tree edits; nothing takes it.
  static Framework::Mutex CSTreeModifyLock;

  // Status -1, no listener, no thread.
  ResourceTree();
  // Ends the thread (self-kill) when it still runs and deletes the resources
  // still held. The configuration belongs to the store.
  ~ResourceTree() override;

  int Run() override;
  bool IsAutoDelete() override { return false; }

  // Builds the resources of config, starts their threads in mode and the
  // tree's thread; status 0. Throws Exception* "STATU_ERR" unless the status
  // is -1.
  void ActiveTheTreeThread(Config::ResourceTreeConfig* config, OX_RESOURCE_OP mode);
  // Asks the thread to end: every resource thread ends, the resources are
  // deleted, status 5. Does not wait.
  void DestoryTheTreeThread();

  // Requests; each returns at once and is ignored in other statuses.
  void StartTree();                     // 0, 4
  void StopTree(bool userControl);      // 2, 4
  void MakesureStop();                  // 0, 2, 4
  void NotifyResourceFailure();         // 2

  // true at once when the settled status is stable (0, 2, 4); otherwise
  // waits until it is, at most ms, and answers whether it is.
  bool WaitForStableStatu(unsigned long ms);
  // The status, with a start or stop that is queued but not yet taken up by
  // the tree's thread counted as begun (1, 3): what the peer is told, so it
  // never reads a tree about to start as stopped and starts it too.
  int GetSettledStatu();
  static bool IsStableStatu(int statu);
  static std::string GetStatuString(int statu);
  // The console's words for a status, given the tree's configuration.
  static std::string GetStatuString(int statu, Config::ResourceTreeConfig* config);

  // The tree mutex, for console handlers.
  void Lock();
  void UnLock();
  // Number of resources, under the tree mutex.
  int GetResourceCount();
  // First resource of the tree (caller holds the tree mutex) or of list with
  // that kind and configuration id; null when none.
  IResource* FindResourceById(int kind, int configId);
  static IResource* FindResourceById(std::vector<Entity::ResourceEntity*>* list, int kind, int configId);
  // Sets the managed switch of that resource's configuration and saves the
  // configurations of its kind.
  void SetResourceCheck(bool managed, int kind, int configId);
  // Every resource, last to first, into mode DeTest (Test, None), under the
  // tree mutex; then a pause.
  void TurnDeTestMode();
  void TurnTestMode();
  void TurnNoneMode();
  // Applies an edited configuration; the caller holds the tree mutex.
  void RefreshResourceRel(bool live);
  // The pre-start check of every resource; at the first refusal the reason,
  // the resource's cannot-start flag, false. full false: light check of
  // address resources.
  bool CanStart(std::string* reason, bool full);
  // Answer to a split-brain notice for mirror: -1 no resource of the tree
  // uses it, 1 the tree is not running, 0 otherwise.
  int CanProcessBS(std::string mirrorName);
  // A resource's report of its finished start (1) or stop (0).
  void OnOneResOpComplete(bool good, int operation);
  // Resource operations for a running tree; an Exception* of the resource is
  // passed on.
  void StartResource(int kind, int configId);
  void RestartResource(int kind, int configId);
  void StopResource(int kind, int configId);

  ResourTreeFailEventListener* GetListener() const { return _listener.load(); }
  void SetListener(ResourTreeFailEventListener* listener) { _listener.store(listener); }
  // Hand-back-on-failure is the status record's host-start flag
  // (SetHostStart): a start begun with it set that fails leaves a failure
  // for the listener; the tree clears it when that start ends.
  // Skip-start: a start operation does nothing while set.
  bool IsSkipStart() const { return _skipStart.load(); }
  void SetSkipStart(bool skip) { _skipStart.store(skip); }
  // Stop-after-start: at the end of the running start step the tree stops
  // instead of going on; cleared then.
  bool IsStopAfterStart() const { return _stopAfterStart.load(); }
  void SetStopAfterStart(bool stop) { _stopAfterStart.store(stop); }
  bool IsUserStop() const { return _userStop.load(); }
  bool IsFailureDelivered();

  Timings GetTimings();
  void SetTimings(const Timings& timings);

 protected:
  // The resource of a relation, of the kind it names; null when its
  // configuration is missing or the kind has no resource class.
  virtual IResource* _CreateResource(const Config::sResourceTreeRel& relation);

  // Checks the change against the table of legal changes (else
  // Exception* "STATU_ERR", status unchanged) and makes it.
  void _StatuChange(int statu);
  int _GetOperation() const { return _operation.load(); }

 private:
  // _CreateResource, then SetTree with this tree and the in-tree id, tree id
  // and GUID.
  IResource* _MakeResource(const Config::sResourceTreeRel& relation);
  void _DoOpStartTree();
  void _DoOpStopTree();
  void _DoOpFail();
  // true when a failure waits to be offered; *serial names it.
  bool _DoOpRest(unsigned* serial);
  void _DoOpSelfKill();
  void _OfferFailure(unsigned serial);
  void _StartPass(bool good);
  void _StopPass(bool good);
  void _StopFailurePolicy();
  bool _CanStart(std::string* reason, bool full);
  // Status 5 from any status.
  void _EnterEnded();

  // The operation, never replacing a pending self-kill; false then.
  bool _SetOperationUnlessKill(int operation);
  void _MarkFailurePending();
  void _MarkFailureDelivered();
  std::string _Name();
  std::vector<IResource*> _Resources();
  void _SaveRunningFlag(bool running);
  static bool _IsLegalChange(int from, int to);

  std::atomic<int> _operation{RES_TREE_OP_REST};
  Framework::Semaphore _opSem;
  Framework::Mutex _treeLock;
  Framework::Mutex _completionLock;
  Framework::AsyncExecutor* _executor = nullptr;  // "ResourceTree"
  Framework::Semaphore _stableSem;
  std::atomic<bool> _userStop{false};
  std::atomic<ResourTreeFailEventListener*> _listener{nullptr};

  Framework::Mutex _statuLock;  // makes each status change one step
  Framework::Mutex _failLock;   // guards the two failure fields
  bool _failureDelivered = true;
  unsigned _failureSerial = 0;  // grows with each change of _failureDelivered
  std::atomic<bool> _skipStart{false};
  std::atomic<bool> _stopAfterStart{false};
  std::atomic<bool> _startHandBack{false};    // the running start began with hand-back set
  std::atomic<bool> _handBackPending{false};  // that start failed: tell the listener once the tree stopped
  Framework::Mutex _timingsLock;
  Timings _timings;
};

}  // namespace Resource
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
