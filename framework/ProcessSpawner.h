#ifndef TARROW_FRAMEWORK_PROCESSSPAWNER_H
#define TARROW_FRAMEWORK_PROCESSSPAWNER_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

// Starts one child process from a multi-threaded program. Everything the child
// needs (program path found on PATH, argument and environment vectors, signal
// sets) is prepared before the vfork; between vfork and exec the child, which
// shares the parent's memory, makes async-signal-safe calls only and writes
// nothing of the parent's: it resets every signal disposition and the
// signal mask, puts the requested descriptors on 0, 1 and 2, closes every
// descriptor above 2 and executes the program, leaving with _exit when
// anything fails. Shared by ProcessManager and ProcessCommandRunner.
class ProcessSpawner {
 public:
  ProcessSpawner() = delete;

  // What a child's descriptor 0, 1 or 2 becomes: a descriptor of the parent
  // (0 or more), /dev/null, or what the parent has there.
  enum { FD_DEVNULL = -1, FD_INHERIT = -2 };

  // Child exit codes when the set-up fails.
  enum { EXIT_STDIN_FAILED = 253, EXIT_STDOUT_FAILED = 254, EXIT_EXEC_FAILED = 255 };

  // Forks and executes argv[0] with argv (a program without '/' is searched
  // on PATH, like execvp, and a file without an interpreter line runs under
  // /bin/sh). stdinFd, stdoutFd, stderrFd: a parent descriptor (dup'ed onto
  // 0, 1 or 2), FD_DEVNULL or FD_INHERIT. A /dev/null that cannot be opened
  // leaves the descriptor closed. The child exits with EXIT_STDIN_FAILED
  // when descriptor 0 cannot be set, EXIT_STDOUT_FAILED for 1 or 2, and
  // EXIT_EXEC_FAILED when the program cannot be executed.
  // Returns the child's pid, or -1 when argv is empty or vfork failed (errno
  // tells).
  static pid_t Spawn(const std::vector<std::string>& argv, int stdinFd, int stdoutFd, int stderrFd);

  // The file execvp would execute for program: program itself when it holds
  // a '/', else the first regular executable file of that name on PATH
  // (/bin:/usr/bin without PATH); "" when there is none.
  static std::string FindProgram(const std::string& program);
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
