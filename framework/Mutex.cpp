#include "framework/Mutex.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

Mutex::Mutex() { pthread_mutex_init(&mutex_, nullptr); }

Mutex::~Mutex() { pthread_mutex_destroy(&mutex_); }

void Mutex::Lock() { pthread_mutex_lock(&mutex_); }

void Mutex::Unlock() { pthread_mutex_unlock(&mutex_); }

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
