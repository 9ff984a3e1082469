#include "alarm/SmtpWatchdog.h"

#include "framework/Env.h"
#include "framework/MutexGuard.h"

namespace Oxbrindale {
namespace Velmora {
namespace Alarm {

using Framework::Env;
using Framework::MutexGuard;

namespace {

// Milliseconds from now until deadline on the wait clock; 0 when it passed.
long long MsUntil(const struct timespec& deadline) {
  struct timespec now;
  clock_gettime(Env::Get()->WaitClock(), &now);
  const long long ms =
      static_cast<long long>(deadline.tv_sec - now.tv_sec) * 1000 + (deadline.tv_nsec - now.tv_nsec + 999999) / 1000000;
  return ms < 0 ? 0 : ms;
}

}  // namespace

SmtpWatchdog::SmtpWatchdog(Framework::OXSocket* socket) : _socket(socket) {}

void SmtpWatchdog::Arm(long ms) {
  {
    MutexGuard guard(_lock);
    _deadline = Env::Get()->DeadlineAfter(ms);
    _armed = true;
    _fired = false;
  }
  _wake.Post();
}

void SmtpWatchdog::Disarm() {
  {
    MutexGuard guard(_lock);
    _armed = false;
  }
  _wake.Post();
}

bool SmtpWatchdog::Fired() {
  MutexGuard guard(_lock);
  return _fired;
}

void SmtpWatchdog::CallStop() {
  AsyncExecutable::CallStop();
  _wake.Post();
}

int SmtpWatchdog::Run() {
  while (!IsStopping()) {
    long long waitMs = -1;  // not armed: until woken
    bool fire = false;
    {
      MutexGuard guard(_lock);
      if (_armed) {
        waitMs = MsUntil(_deadline);
        if (waitMs == 0) {
          _armed = false;
          _fired = true;
          fire = true;
        }
      }
    }
    if (fire) {
      _socket->Disconnect();
    } else if (waitMs < 0) {
      _wake.Wait();
    } else {
      _wake.TimedWait(waitMs);
    }
  }
  return 0;
}

}  // namespace Alarm
}  // namespace Velmora
}  // namespace Oxbrindale
