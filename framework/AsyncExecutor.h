#ifndef TARROW_FRAMEWORK_ASYNCEXECUTOR_H
#define TARROW_FRAMEWORK_ASYNCEXECUTOR_H

#include <pthread.h>

#include <atomic>
#include <string>

#include "framework/AsyncExecutable.h"
#include "framework/Mutex.h"
#include "framework/NonCopyable.h"
#include "framework/Semaphore.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

// Owns one named POSIX thread that runs an AsyncExecutable.
class AsyncExecutor : NonCopyable {
 public:
  enum { STATE_IDLE = 0, STATE_RUNNING = 1, STATE_EXITED = 2 };

  AsyncExecutor(AsyncExecutable* executable, std::string name);
  // Stops a running thread (6000 ms, then cancels it), joins it, and deletes
  // the body when the body says it is auto-deleted.
  ~AsyncExecutor();

  // Starts the thread; 0 on success. Throws Exception* "ASYNC_MANAGE" when a
  // previous thread is still running after 5000 ms or the thread cannot be
  // created (the executor is then left as it was).
  int Start();
  // true once the thread has ended (at once when it is not running); false
  // when it still runs after ms milliseconds.
  bool WaitExited(long ms);
  bool WaitExited();
  // Cancels the thread, lets the body clean up, exit code 5.
  void ForceExit();
  // CallStop, then ForceExit when the thread has not ended within ms.
  void ExitAndMakeSure(long ms);
  void Reset();

  int GetState() const { return _state.load(); }
  int GetExitCode() const { return _exitCode.load(); }
  const std::string& GetName() const { return _name; }
  AsyncExecutable* GetExecutable() const { return _executable; }

 private:
  static void* AsyncProc(void* executor);
  void _MarkExited();

  std::atomic<int> _state{STATE_IDLE};
  pthread_t _thread{};
  bool _joinable = false;  // a thread was created and not yet joined
  AsyncExecutable* _executable;
  std::atomic<int> _exitCode{0};
  std::string _name;
  Semaphore _exited;
  bool _autoDelete = false;
  Mutex _startLock;  // serialises Start, and Start against the destructor's join
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
