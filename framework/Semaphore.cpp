#include "framework/Semaphore.h"

#include <cerrno>

#include "framework/Env.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

Semaphore::Semaphore(unsigned int initial) { sem_init(&sem_, 0, initial); }

Semaphore::~Semaphore() { sem_destroy(&sem_); }

void Semaphore::Post() { sem_post(&sem_); }

void Semaphore::Wait() {
  while (sem_wait(&sem_) != 0 && errno == EINTR) {
  }
}

bool Semaphore::TimedWait(long long ms) {
  Env* env = Env::Get();
  const clockid_t clock = env->WaitClock();
  const struct timespec deadline = env->DeadlineAfter(ms);
  for (;;) {
    if (sem_clockwait(&sem_, clock, &deadline) == 0) return true;
    if (errno != EINTR) return false;
  }
}

bool Semaphore::TryWait() {
  for (;;) {
    if (sem_trywait(&sem_) == 0) return true;
    if (errno != EINTR) return false;
  }
}

void Semaphore::Drain() {
  while (TryWait()) {
  }
}

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
