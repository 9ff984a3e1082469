#ifndef TARROW_FRAMEWORK_MUTEXGUARD_H
#define TARROW_FRAMEWORK_MUTEXGUARD_H

#include "framework/Mutex.h"
#include "framework/NonCopyable.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

// Holds a Mutex for the guard's scope.
class MutexGuard : NonCopyable {
 public:
  explicit MutexGuard(Mutex& mutex) : mutex_(mutex) { mutex_.Lock(); }
  ~MutexGuard() { mutex_.Unlock(); }

 private:
  Mutex& mutex_;
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
