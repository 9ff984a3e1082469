#include "framework/Sleep.h"

#include <cerrno>
#include <ctime>

#include "framework/Env.h"

void Sleep(unsigned int ms) {
  using Oxbrindale::Velmora::Framework::Env;
  clockid_t clock = Env::Get()->WaitClock();
  struct timespec deadline = Env::Get()->DeadlineAfter(static_cast<long long>(ms));
  // clock_nanosleep is a cancellation point, so a cancelled thread leaves here.
  while (clock_nanosleep(clock, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}
