#ifndef TARROW_FRAMEWORK_MUTEX_H
#define TARROW_FRAMEWORK_MUTEX_H

#include <pthread.h>

#include "framework/NonCopyable.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

// A POSIX mutex. Lock it only through MutexGuard, so that an exception or the
// unwinding of a cancelled thread always releases it.
class Mutex : NonCopyable {
 public:
  Mutex();
  ~Mutex();

  void Lock();
  void Unlock();
  pthread_mutex_t* Native() { return &mutex_; }

 private:
  pthread_mutex_t mutex_;
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
