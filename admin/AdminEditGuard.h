#ifndef TARROW_ADMIN_ADMINEDITGUARD_H
#define TARROW_ADMIN_ADMINEDITGUARD_H

#include "admin/AdminEditLock.h"
#include "framework/NonCopyable.h"

namespace Oxbrindale {
namespace Velmora {
namespace Core {

// Holds the admin edit lock for its scope: NONE takes nothing.
class AdminEditGuard : Framework::NonCopyable {
 public:
  enum Mode { NONE, SHARED, EXCLUSIVE };

  AdminEditGuard(AdminEditLock* lock, Mode mode) : _lock(mode == NONE ? nullptr : lock) {
    if (_lock == nullptr) return;
    if (mode == EXCLUSIVE) {
      _lock->LockExclusive();
    } else {
      _lock->LockShared();
    }
  }
  ~AdminEditGuard() {
    if (_lock != nullptr) _lock->Unlock();
  }

 private:
  AdminEditLock* _lock;
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
