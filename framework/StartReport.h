#ifndef TARROW_FRAMEWORK_STARTREPORT_H
#define TARROW_FRAMEWORK_STARTREPORT_H

#include <sys/types.h>

#include <string>

#include "framework/NonCopyable.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

// How a daemon tells the command that forked it how its start went, so that
// a start that fails at once is reported as a failure and not as success.
// A pipe made before the fork: the command keeps the reading end and waits
// until the daemon says it is up, says why its start failed, or ends; the
// daemon keeps the writing end (close-on-exec: the programs it starts never
// hold it) until it has said one or the other.
class StartReport : NonCopyable {
 public:
  StartReport() = default;
  // Closes whatever end is still open.
  ~StartReport();

  // Makes the pipe before the fork; false (errno set) when that fails.
  bool Open();

  // In the command after the fork (daemon: the forked child's pid): closes
  // the writing end and waits for the daemon's word. true when it is up;
  // false when it failed, with its reason in *reason, or when it ended
  // without a word, with how it ended.
  bool WaitForDaemon(pid_t daemon, std::string* reason);

  // In the daemon after the fork: closes the reading end.
  void BecomeDaemon();
  // The daemon's writing end (to keep open while it detaches), -1 once it
  // has spoken.
  int DaemonFd() const { return _write; }
  // The daemon's word, once: up, or failed with its reason. Closes the end.
  void Up();
  void Failed(const std::string& reason);

 private:
  void _Say(const std::string& word);

  int _read = -1;
  int _write = -1;
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
