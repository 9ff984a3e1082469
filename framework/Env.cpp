#include "framework/Env.h"

#include <unistd.h>

#include <atomic>

#include "framework/ProcessCommandRunner.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

namespace {
std::atomic<Env*> g_current{nullptr};
}

Env* Env::Default() {
  static Env* env = new Env();  // lives until the process ends
  return env;
}

Env* Env::Get() {
  Env* env = g_current.load(std::memory_order_acquire);
  return env != nullptr ? env : Default();
}

void Env::Set(Env* env) { g_current.store(env, std::memory_order_release); }

std::string Env::AppPath() {
  char buf[1024];
  ssize_t n = readlink("/proc/self/exe", buf, 1023);
  if (n < 0 || n >= 1023) return "";
  std::string path(buf, static_cast<size_t>(n));
  std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos) return path;
  return path.substr(0, slash + 1);
}

std::string Env::SystemPath(const std::string& path) { return path; }

struct timespec Env::WallClock() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return ts;
}

clockid_t Env::WaitClock() { return CLOCK_MONOTONIC; }

long long Env::WaitClockMs() {
  struct timespec now;
  clock_gettime(WaitClock(), &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

struct timespec Env::DeadlineAfter(long long ms) {
  if (ms < 0) ms = 0;
  struct timespec ts;
  clock_gettime(WaitClock(), &ts);
  ts.tv_sec += static_cast<time_t>(ms / 1000);
  ts.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (ts.tv_nsec >= 1000000000L) {
    ts.tv_sec += 1;
    ts.tv_nsec -= 1000000000L;
  }
  return ts;
}

CommandRunner* Env::Runner() {
  static ProcessCommandRunner* runner = new ProcessCommandRunner();  // lives until the process ends
  return runner;
}

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
