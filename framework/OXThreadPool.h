#ifndef TARROW_FRAMEWORK_OXTHREADPOOL_H
#define TARROW_FRAMEWORK_OXTHREADPOOL_H

#include <atomic>
#include <memory>
#include <mutex>

#include "framework/ArrayBlockQueue.h"
#include "framework/IOXThreadPoolExec.h"
#include "framework/Mutex.h"
#include "framework/NonCopyable.h"
#include "framework/OXPoolThread.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

// Runs short jobs on 15 worker threads fed by a job queue that holds 19.
// The workers start at the first Invoke.
class OXThreadPool : NonCopyable {
 public:
  enum { WORKER_COUNT = 15, JOB_QUEUE_CAPACITY = 20 };

  // The process-wide pool, created on first use (thread-safe); it lives until
  // the process ends.
  static OXThreadPool* Instance();

  // A pool of its own (the process uses Instance()).
  OXThreadPool();
  // Stops the workers (each after at most one more job), waits for them and
  // deletes the jobs left in the queue.
  ~OXThreadPool();

  // Starts the workers on first use, then queues job; the pool owns it from
  // then on. Throws Exception* "BLOCK_QUEUE" when the queue stays full for
  // 20000 ms, or "ASYNC_MANAGE" when a worker cannot be started; the caller
  // then still owns job.
  void Invoke(IOXThreadPoolExec* job);
  // Creates the missing workers and starts those not started yet.
  void Init();
  // Asks every worker to stop and queues one empty job per worker to wake it.
  void Destruct();

  bool IsStarted();
  // Worker in slot index (0..14), null before the start.
  OXPoolThread* GetWorker(int index);

  // The next job, waiting without limit (for the workers).
  IOXThreadPoolExec* TakeJob() { return _jobs.TakeUntilGot(); }

 private:
  void _InitLocked();  // Init under _lock

  static std::atomic<OXThreadPool*> _Instance;
  static std::once_flag _InstanceOnce;

  bool _started = false;  // guarded by _lock
  ArrayBlockQueue<IOXThreadPoolExec*> _jobs{JOB_QUEUE_CAPACITY};
  std::unique_ptr<OXPoolThread> _workers[WORKER_COUNT];
  Mutex _lock;  // serialises Invoke (start-up and queueing)
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
