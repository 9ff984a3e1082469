#ifndef TARROW_FRAMEWORK_COMMANDRUNNER_H
#define TARROW_FRAMEWORK_COMMANDRUNNER_H

#include <string>
#include <vector>

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

// What one outside command did.
struct CommandResult {
  int status = -1;        // raw wait status (exit code x 256); -1 when it never ran or was not reaped
  bool timedOut = false;  // killed because it outlived its time
  std::string output;     // standard output, when it was asked for
};

// The runner of outside commands (shutdown, lsof, kill, hostname, zip, ...).
// The daemon's default runs real programs; tests put a fake in through Env.
class CommandRunner {
 public:
  virtual ~CommandRunner() = default;

  // A shell command line, as system() runs it; the raw wait status, -1 on failure.
  virtual int System(const std::string& command) = 0;

  // argv[0] is the program (searched on PATH when it holds no '/'); no shell.
  // Standard input is /dev/null; standard output is captured when asked for,
  // else /dev/null. timeoutMs < 0 waits without limit; a command that outlives
  // its time is killed and reaped.
  virtual CommandResult Run(const std::vector<std::string>& argv, long timeoutMs, bool captureOutput) = 0;
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
