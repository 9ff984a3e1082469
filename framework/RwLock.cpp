#include "framework/RwLock.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

RwLock::RwLock() { pthread_rwlock_init(&lock_, nullptr); }

RwLock::~RwLock() { pthread_rwlock_destroy(&lock_); }

RwLock::Read::Read(RwLock& lock) : lock_(lock) { pthread_rwlock_rdlock(&lock_.lock_); }

RwLock::Read::~Read() { pthread_rwlock_unlock(&lock_.lock_); }

RwLock::Write::Write(RwLock& lock) : lock_(lock) { pthread_rwlock_wrlock(&lock_.lock_); }

RwLock::Write::~Write() { pthread_rwlock_unlock(&lock_.lock_); }

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
