#ifndef TARROW_WATCHER_TARROWGUARD_H
#define TARROW_WATCHER_TARROWGUARD_H

#include <string>

#include "framework/BsPipe.h"
#include "framework/NonCopyable.h"
#include "framework/ServiceProtector.h"

namespace Oxbrindale {
namespace Velmora {
namespace Watcher {

// The program tarrowguard: starts tarrowd and restarts it when it
// disappears, stops a running watcher, and relays DRBD split-brain notices
// into tarrowd's pipe. The first word of the command line chooses:
//
//   (none)            guard tarrowd in the foreground
//   start             become the guarding daemon; -2 when one runs already
//   stop              stop every running watcher; -3 when none runs
//   BS_NOTIFY <name>  write one split-brain notice; -2 no pipe or no reader,
//                     -3 write failed
//   anything else     nothing, 0
//
// The daemon takes signal 15 on its main thread with sigwaitinfo (it is
// blocked in every thread), so nothing but that thread acts on it.
class TarrowGuard : Framework::NonCopyable {
 public:
  // Every interval of the program, in milliseconds; the defaults are the
  // program's own.
  struct Timing {
    Framework::ServiceProtector::Timing guard;  // the guard of tarrowd
    long stopWaitMs = 60000;                    // "stop": the stopped watchers get this long, then SIGKILL
    long stopPollMs = 1000;                     // "stop": between two looks
    long killWaitMs = 5000;                     // "stop": how long to see the killed ones go
    long guardExitWaitMs = 2000;                // the daemon's guard thread gets this long to end
    Framework::BsPipe::Timing pipe;             // "BS_NOTIFY": waiting for a reader
  };

  static const char kGuardedFile[];  // "tarrowd", in the program directory
  static const char kLockFile[];     // "tarrowguard.lock", in the program directory

  TarrowGuard();
  explicit TarrowGuard(const Timing& timing);

  // The whole program; the result is the exit status. Ignores SIGPIPE first.
  int Main(int argc, char** argv);

  // No word: guards tarrowd until a signal ends the process (its default
  // action: no handler in this mode). Returns only on a failure, with -1.
  int ForegroundGuard();
  // "start": the launching process returns -2 when a watcher of this
  // executable runs already (or holds the lock), -1 when fork fails, and
  // exits with 0 otherwise. The daemon ends with status 0 after signal 15,
  // leaving tarrowd running.
  int StartTarrowWatcherDaemon();
  // "stop": signal 15 to every other process of this executable; after
  // stopWaitMs those still there get SIGKILL. 0, or -3 when none ran.
  int StopTarrowWatcherDaemon();
  // "BS_NOTIFY": one notice for the DRBD resource name (Framework::BsPipe).
  int BrainSplitNotify(const std::string& name);

 private:
  // Starts tarrowd now and the guard thread.
  void _Guard();
  // Waits on the calling thread for SIGTERM (blocked); the signal number,
  // or -1 when the wait failed.
  static int _WaitTermSignal();
  static void _Print(const std::string& line);

  Timing _timing;
  // The guard of tarrowd, created by the guarding modes and never deleted:
  // the process ends while it may still be referenced.
  Framework::ServiceProtector* pProtectorOfMainService = nullptr;
};

}  // namespace Watcher
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
