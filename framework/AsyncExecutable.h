#ifndef TARROW_FRAMEWORK_ASYNCEXECUTABLE_H
#define TARROW_FRAMEWORK_ASYNCEXECUTABLE_H

#include <atomic>

#include "framework/NonCopyable.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

class AsyncExecutor;

// Base of every thread body. An AsyncExecutor runs Run() on its own thread.
class AsyncExecutable : NonCopyable {
 public:
  AsyncExecutable() = default;

  // Called by AsyncExecutor::ForceExit after the thread was cancelled, so the
  // body can release what the cancelled Run held.
  virtual void _ForceExitCallback() {}
  virtual ~AsyncExecutable() = default;
  // The thread's work; the result becomes the executor's exit code.
  virtual int Run() = 0;
  // Asks Run to end; Run sees it at its next test of IsStopping().
  virtual void CallStop() { _stop.store(true); }
  // true: the executor owns this body and deletes it in its destructor.
  virtual bool IsAutoDelete() { return true; }

  bool IsStopping() const { return _stop.load(); }
  AsyncExecutor* GetExecutor() const { return _executor; }

 protected:
  std::atomic<bool> _stop{false};

 private:
  friend class AsyncExecutor;
  AsyncExecutor* _executor = nullptr;
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
