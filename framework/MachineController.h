#ifndef TARROW_FRAMEWORK_MACHINECONTROLLER_H
#define TARROW_FRAMEWORK_MACHINECONTROLLER_H

#include <signal.h>

#include <string>
#include <vector>

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

class StartReport;

// Operations on the machine and its processes as a whole. No state; static
// operations only; none throws. Outside commands (shutdown, lsof, kill) run
// through Env::Get()->Runner(), system files through Env::Get()->SystemPath.
class MachineController {
 public:
  MachineController() = delete;

  // Process set-up of both programs, called first thing in main: ignores
  // SIGPIPE, so that a peer or console that goes away while we write to it
  // gives EPIPE instead of killing the daemon. 0, or -1 when it failed.
  static int SetupProcess();

  // "shutdown -r 0" / "shutdown -h 0" through the shell; the raw status.
  static int RestartComputer();
  static int ShutdownComputer();

  // Closes every open descriptor of the process except the count descriptors
  // of keep (none when keep is null or count < 1), as listed in /dev/fd,
  // until a pass closes nothing. 0, or -1 when /dev/fd cannot be read or a
  // close fails. Not for a child forked from a threaded program (it reads a
  // directory): ProcessSpawner closes descriptors there.
  static int CloseAllFD(const int* keep, int count);

  // A daemon's fork: flushes standard output and error and forks; the
  // parent leaves with exit(0), the child gets true. When the fork fails:
  // perror failText, the signal mask set back to previous, and false.
  static bool ForkIntoBackground(const char* failText, const sigset_t& previous);
  // The same for a daemon that reports its start (report opened before):
  // the parent does not leave at once but waits for the daemon's word; it
  // leaves with exit(0) when the daemon is up, and otherwise writes the
  // reason and a line end to standard error and leaves with
  // exit(failStatus). The child gets true with the report's reading end
  // closed.
  static bool ForkIntoBackground(const char* failText, const sigset_t& previous, StartReport& report,
                                 int failStatus);

  // The first steps of a daemon right after its fork, before any thread
  // starts: closes every descriptor but keepFd (-1: none), leaves the
  // terminal's session (setsid; perror "setsid fail" and false when that
  // fails), puts /dev/null on 0 to 2 and clears the umask.
  static bool DetachAfterFork(int keepFd);
  // The same, keeping every descriptor of keep (-1 entries ignored).
  static bool DetachAfterFork(const std::vector<int>& keep);

  // The host name; "NONAME" when it cannot be read or is empty.
  static std::string GetHostName();
  static bool IsFileExist(std::string path);

  // Ids of the processes other than this one that "lsof <path>" lists as
  // using path, each once, in order of first appearance; empty when lsof
  // fails, finds nothing, prints nothing or runs past its 15 s (then killed).
  static std::vector<int> GetUsingPid(std::string path);
  // Runs "kill <pid>" for each process of GetUsingPid(path), one after the
  // other, waiting for each kill program (at most 5 s). Never signals pid 0,
  // 1, a negative pid or this process.
  static void KillUsingProcess(std::string path);

  // ru_ixrss of this process; 0 when getrusage fails.
  static int GetMyMemoryUseage();
  // Does nothing.
  static void KillOtherTarrowProcess();

  // The pids of an lsof listing: from each line, the field after the first
  // run of blanks read as a decimal number; lines where that is not a
  // number, repeats, and pids below 1 or equal to self are left out.
  static std::vector<int> _ParseLsofPids(std::string output, int self);
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
