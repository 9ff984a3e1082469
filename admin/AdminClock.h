#ifndef TARROW_ADMIN_ADMINCLOCK_H
#define TARROW_ADMIN_ADMINCLOCK_H

#include <time.h>

#include "framework/Env.h"

namespace Oxbrindale {
namespace Velmora {
namespace Core {

// Milliseconds on the wait clock (monotonic): the time base of the console
// server's windows and time-outs.
class AdminClock {
 public:
  static long long NowMs() {
    struct timespec now;
    clock_gettime(Framework::Env::Get()->WaitClock(), &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
  }
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
