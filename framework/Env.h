#ifndef TARROW_FRAMEWORK_ENV_H
#define TARROW_FRAMEWORK_ENV_H

#include <time.h>

#include <string>

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

class CommandRunner;

// The one interface between the programs and the machine they run on: the
// program directory, system file paths, the clocks. The default talks to the
// real machine; tests install their own with Env::Set and remove it with
// Env::Set(nullptr) before it is destroyed.
class Env {
 public:
  virtual ~Env() = default;

  // The real machine.
  static Env* Default();
  // The environment in force.
  static Env* Get();
  // Installs env; nullptr restores the default.
  static void Set(Env* env);

  // Directory of the running executable with its trailing '/', "" when unknown.
  // Base of configs/, log/ and backup_configs/.
  virtual std::string AppPath();

  // Where a system file lives ("/etc/hosts", "/proc/drbd", ...). The default
  // answers the path itself; tests map it under a temporary root.
  virtual std::string SystemPath(const std::string& path);

  // Calendar time (time stamps, local dates, the millisecond tick).
  virtual struct timespec WallClock();

  // Clock of every timed wait and sleep: monotonic, so stepping the wall
  // clock neither lengthens nor shortens a wait.
  virtual clockid_t WaitClock();

  // Absolute deadline ms milliseconds from now on WaitClock().
  struct timespec DeadlineAfter(long long ms);

  // Now on WaitClock(), in milliseconds: the time base of intervals and
  // time-outs measured in code, and of every elapsed time a decision reads.
  // Tests may move it forward.
  virtual long long WaitClockMs();

  // Runner of outside commands (shutdown, lsof, kill, hostname, zip, ...).
  // The default is one process-wide ProcessCommandRunner running real
  // programs; tests answer a fake.
  virtual CommandRunner* Runner();
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
