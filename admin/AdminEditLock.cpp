#include "admin/AdminEditLock.h"

namespace Oxbrindale {
namespace Velmora {
namespace Core {

AdminEditLock* AdminEditLock::Instance() {
  static AdminEditLock* instance = new AdminEditLock();  // lives until the process ends
  return instance;
}

AdminEditLock::AdminEditLock() {
  pthread_rwlockattr_t attributes;
  pthread_rwlockattr_init(&attributes);
  // Writers are not starved by a stream of readers.
  pthread_rwlockattr_setkind_np(&attributes, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
  pthread_rwlock_init(&_lock, &attributes);
  pthread_rwlockattr_destroy(&attributes);
}

AdminEditLock::~AdminEditLock() { pthread_rwlock_destroy(&_lock); }

void AdminEditLock::LockShared() { pthread_rwlock_rdlock(&_lock); }

void AdminEditLock::LockExclusive() { pthread_rwlock_wrlock(&_lock); }

void AdminEditLock::Unlock() { pthread_rwlock_unlock(&_lock); }

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale
