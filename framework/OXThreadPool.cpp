#include "framework/OXThreadPool.h"

#include "framework/Exception.h"
#include "framework/MutexGuard.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

std::atomic<OXThreadPool*> OXThreadPool::_Instance{nullptr};
std::once_flag OXThreadPool::_InstanceOnce;

OXThreadPool* OXThreadPool::Instance() {
  OXThreadPool* pool = _Instance.load(std::memory_order_acquire);
  if (pool != nullptr) return pool;
  // Never deleted: the workers wait on its queue until the process ends.
  std::call_once(_InstanceOnce, [] { _Instance.store(new OXThreadPool(), std::memory_order_release); });
  return _Instance.load(std::memory_order_acquire);
}

OXThreadPool::OXThreadPool() = default;

OXThreadPool::~OXThreadPool() {
  // Nobody invokes any more: this is the only producer left.
  for (auto& worker : _workers) {
    if (worker != nullptr) worker->CallStop();
  }
  for (auto& worker : _workers) {
    if (worker == nullptr) continue;
    // A worker waits for a job only while the queue is empty: an empty job
    // wakes it to see its stop flag. A busy one ends after its job.
    while (!worker->GetExecutor()->WaitExited(50)) {
      if (!_jobs.IsEmpty()) continue;
      std::unique_ptr<IOXThreadPoolExec> wake(new IOXThreadPoolExec());
      try {
        _jobs.Put(wake.get());
        wake.release();
      } catch (Exception* e) {
        delete e;
      }
    }
    worker.reset();
  }
  while (!_jobs.IsEmpty()) delete _jobs.TakeUntil(0);
}

void OXThreadPool::Invoke(IOXThreadPoolExec* job) {
  MutexGuard guard(_lock);
  if (!_started) _InitLocked();
  _jobs.Put(job);
}

void OXThreadPool::Init() {
  MutexGuard guard(_lock);
  _InitLocked();
}

void OXThreadPool::_InitLocked() {
  // A worker that could not be started is started by the next call; none is
  // ever created twice.
  for (auto& worker : _workers) {
    if (worker == nullptr) worker.reset(new OXPoolThread(this));
    if (worker->GetExecutor()->GetState() == AsyncExecutor::STATE_IDLE) worker->Start();
  }
  _started = true;
}

void OXThreadPool::Destruct() {
  MutexGuard guard(_lock);
  for (auto& worker : _workers) {
    if (worker != nullptr) worker->CallStop();
  }
  for (int i = 0; i < WORKER_COUNT; ++i) {
    std::unique_ptr<IOXThreadPoolExec> wake(new IOXThreadPoolExec());
    _jobs.Put(wake.get());  // throws Exception* "BLOCK_QUEUE": freed here
    wake.release();
  }
}

bool OXThreadPool::IsStarted() {
  MutexGuard guard(_lock);
  return _started;
}

OXPoolThread* OXThreadPool::GetWorker(int index) {
  if (index < 0 || index >= WORKER_COUNT) return nullptr;
  MutexGuard guard(_lock);
  return _workers[index].get();
}

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
