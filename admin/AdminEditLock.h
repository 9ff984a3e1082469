#ifndef TARROW_ADMIN_ADMINEDITLOCK_H
#define TARROW_ADMIN_ADMINEDITLOCK_H

#include <pthread.h>

#include "framework/NonCopyable.h"

namespace Oxbrindale {
namespace Velmora {
namespace Core {

// The one shared/exclusive lock of console edits, process-wide. Commands
// that change configuration hold it exclusively; readers of the trees and
// link lists share it. Commands that wait for something outside the console
// (a busy machine, a tree's lock, a mail server) do not take it, so one
// queued edit never stalls the other consoles behind them. Lock order: this
// lock, a session's mutex, a tree's mutex. Take it only through
// AdminEditGuard.
class AdminEditLock : Framework::NonCopyable {
 public:
  static AdminEditLock* Instance();

  AdminEditLock();
  ~AdminEditLock();

  void LockShared();
  void LockExclusive();
  void Unlock();

 private:
  pthread_rwlock_t _lock;
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
