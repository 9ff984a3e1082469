#ifndef TARROW_FRAMEWORK_PROCESSMANAGER_H
#define TARROW_FRAMEWORK_PROCESSMANAGER_H

#include <string>
#include <vector>

#include "framework/NonCopyable.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

// Handle of one child process: started from a program and one argument text,
// waited for with a time-out, killed, and, when started with pipes, fed on
// its standard input and read on its standard output. A handle belongs to
// the thread that created it; starts may run on any threads at once.
//
// Children inherit no descriptor above 2 (pipes are close-on-exec and the
// child closes the rest), start with default signal handling and an empty
// signal mask, and run no code of ours between fork and exec beyond
// async-signal-safe calls.
class ProcessManager : NonCopyable {
 public:
  ProcessManager();
  // Adopts a process by pid (no pipes); a later start replaces it.
  explicit ProcessManager(int pid);
  // Closes the pipes; the child is neither killed nor reaped.
  virtual ~ProcessManager();

  // Closes every pipe end still held.
  void Close();

  int GetPid() const { return _pid; }
  // Raw wait status (exit code x 256 for a normal exit); -1 until reaped.
  int GetExitCode() const { return _status; }

  // The argument vector: program, then the pieces of args. A blank outside
  // double quotes ends a piece (so two blanks give an empty argument); a
  // double-quoted stretch is one piece (quotes not copied; a closing quote
  // ends the piece even when empty); a trailing piece is kept only when not
  // empty. Tabs are ordinary characters; there is no escape character.
  static std::vector<std::string> _MakeArgs(const std::string& program, const std::string& args);

  // A child with /dev/null on descriptors 0 to 2; its pid, -1 on failure.
  int SimpleStartProcess(const std::string& program, const std::string& args);
  // A child whose standard input and output are pipes held by this handle
  // (standard error inherited); its pid, -1 on failure. The child exits with
  // 253 (input) or 254 (output) when it cannot take its pipes, and with 255
  // when the program cannot be executed.
  int StartProcess(const std::string& program, const std::string& args);

  // true while the child runs. Once it has ended it is reaped and its status
  // kept; later calls answer false without waiting again. false also without
  // a pid and for a process that is not our child (status -1).
  bool IsAlive();
  // Polls every 50 ms: true once the child has ended (reaped), false when it
  // still runs after ms milliseconds or there is no pid.
  bool WaitTerminated(long ms);
  // Blocks until the child has ended and keeps its status.
  void WaitTerminated();
  // Kills a running child with SIGKILL and reaps it (waiting at most a few
  // seconds). true when it had already ended or the kill succeeded; false
  // without a pid or when kill fails. A reaped pid is never signalled.
  bool Terminate();

  // Writes the whole text to the child's standard input.
  void InputString(const std::string& text);
  // Closes the child's standard input (so it sees end of file), then reads
  // its standard output to end of file, line by line, each line cut at its
  // first NUL byte, and closes the read end. Blocks until the
  // child (and whatever inherited its output) closes it. "" without a pid.
  std::string GetOutputString();

  // pid of a running process whose executable is path ("<path> (deleted)"
  // too: a program whose file was replaced), skipping this process when
  // skipSelf; 0 when there is none.
  static int GetPidByPath(const std::string& path, bool skipSelf);
  // Whether process pid runs and its executable is path (or "<path>
  // (deleted)"), read from its /proc entry alone.
  static bool RunsPath(int pid, const std::string& path);

 private:
  int _Start(const std::string& program, const std::string& args, bool withPipes);
  void _CloseFd(int& fd);

  int _pid;
  int _stdinRead = 0;
  int _stdinWrite = 0;
  int _stdoutRead = 0;
  int _stdoutWrite = 0;
  int _status = -1;
  bool _reaped = false;  // waited for (or not our child): never waited for or signalled again
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
