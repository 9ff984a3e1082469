#ifndef TARROW_FRAMEWORK_PROCESSCOMMANDRUNNER_H
#define TARROW_FRAMEWORK_PROCESSCOMMANDRUNNER_H

#include <string>
#include <vector>

#include "framework/CommandRunner.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

// The runner of real outside commands (Env's default). Children are started
// by ProcessSpawner: they inherit no descriptor above 2 and start with
// default signal handling. Safe to use from several threads at once.
class ProcessCommandRunner : public CommandRunner {
 public:
  // "/bin/sh -c command" with the caller's descriptors 0 to 2, waited for
  // without limit; the raw wait status, -1 when it could not be started.
  int System(const std::string& command) override;

  // Standard error stays the caller's. When the command outlives timeoutMs
  // it is killed with SIGKILL and reaped; output read so far is kept. Output
  // is read until the command has ended and its pipe holds nothing more (a
  // background grandchild that keeps the pipe open does not hold us up).
  CommandResult Run(const std::vector<std::string>& argv, long timeoutMs, bool captureOutput) override;
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
