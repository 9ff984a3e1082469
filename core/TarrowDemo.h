#ifndef TARROW_CORE_TARROWDEMO_H
#define TARROW_CORE_TARROWDEMO_H

#include <signal.h>

#include <atomic>
#include <functional>
#include <string>

#include "core/HaTimings.h"
#include "framework/NonCopyable.h"
#include "framework/ServiceProtector.h"

class ConsolePrinter;

namespace Oxbrindale {
namespace Velmora {
namespace Framework {
class InstanceLock;
}
namespace Core {

class DrbdBSWatcher;
class HAMachine;

// The program tarrowd. The first word of the command line chooses, compared
// exactly:
//
//   (none)                           run in the foreground until signal 15 or 56
//   start                            become the daemon; -2 when one runs already
//   stop [nostoptree]                stop the running daemon with signal 56, or
//                                    15 with exactly "stop nostoptree"; -3 when
//                                    none runs
//   gentle_stop                      nothing
//   -clear_backup <mode>             restart around a change of configs/ (the
//   -resume_backup <mode> <name>     console's backup commands run these):
//   -just_reboot <mode>              stop ("-stop": signal 56, else 15), clear
//                                    or restore configs/, start again
//   test                             the split-brain pipe reader alone
//   anything else                    nothing, 0
//
// A running daemon keeps signals 15 and 56 blocked in every thread and takes
// them on its main thread with sigwaitinfo. Signal 56 hands the trees to the
// peer, 15 leaves them running; either way the process then ends with 0.
// While it runs, the daemon guards tarrowguard (and tarrowguard guards it).
class TarrowDemo : Framework::NonCopyable {
 public:
  // Every wait of the program, in milliseconds; the defaults are the
  // program's own.
  struct Timing {
    HaTimings machine;                          // the HA machine and its links
    Framework::ServiceProtector::Timing guard;  // the guard of tarrowguard
    long guardStartWaitMs = 10000;              // "tarrowguard start" gets this long
    long guardStopWaitMs = 25000;               // "tarrowguard stop" gets this long
    long guardExitWaitMs = 2000;                // the guard thread, at the shutdown
    long guardRetryMs = 300000;                 // after the guard gave up, a new one then
    long guardCheckMs = 5000;                   // the main thread looks at the guard this often (as
                                                // often as the guard looks at tarrowguard)
    int stopLooks = 60;                         // "stop": looks for the stopped daemon,
    long stopLookMs = 1000;                     // this far apart, then SIGKILL
    long killWaitMs = 5000;                     // "stop": how long to see the killed ones go
    long backupPauseMs = 3000;                  // -clear_backup, -resume_backup: before the stop
    long rebootPauseMs = 1000;                  // -just_reboot: before and after the stop
    long shutdownPauseMs = 500;                 // the last pause before the process ends
    long testSleepMs = 50000000;                // "test"
  };

  static const char kGuardFile[];  // "tarrowguard", in the program directory
  static const char kLockFile[];   // "tarrowd.lock", in the program directory
  static const char kBuild[];      // "223"
  static constexpr int kStopTreeSignal = 56;       // stop, the trees go to the peer
  static constexpr int kKeepTreeSignal = SIGTERM;  // stop, the trees keep running
  // The exit status of a start that failed: "start" when the daemon ended
  // during its start (or could not take its lock), a foreground run whose
  // start failed. The reason goes to standard error.
  static constexpr int kStartFailedStatus = 1;

  TarrowDemo();
  explicit TarrowDemo(const Timing& timing);

  // What opens the console listener once the machine's start is queued (the
  // console service lives beside this library; the program binds it).
  void SetConsoleListener(std::function<void()> open) { _openConsole = std::move(open); }

  // The whole program; the result is the exit status. Ignores SIGPIPE first.
  int Main(int argc, char** argv);

  // No word: prints the install hint, starts the machine here (no fork, no
  // guard) with every event printed, and shuts down at signal 15 or 56.
  // A start that fails ends the run with kStartFailedStatus.
  int ForegroundRun();
  // "start": -2 when another process of this executable runs (or holds the
  // lock), -1 when fork fails, kStartFailedStatus when the lock cannot be
  // taken. The launching process waits until the daemon has loaded its
  // configuration and started its machine and watcher: it exits with 0 when
  // the daemon is up, or writes the reason to standard error and exits with
  // kStartFailedStatus when the daemon's start failed (the daemon records
  // the reason in the trace log and as an alarm, and ends). The daemon ends
  // with 0 after its signal.
  int StartTarrowDeamon(int argc, char** argv);
  // The foreground start: every configuration file, the started flag, the
  // machine, the started alarm. An Exception* on the way is recorded (trace
  // log, alarm), written to standard error and dropped; false then.
  bool StartTarrowTest();
  // "stop": signal 15 for exactly "stop nostoptree", else 56; with no
  // daemon running, -3 and a line to standard error.
  int StopTarrowDeamon(int argc, char** argv);
  // Sends signal to every other process of this executable and waits for
  // them to go; those still there after the looks get SIGKILL. 0, or -3
  // when none ran.
  int DoStopTarrowDeamon(int signal);
  // The shutdown of a running daemon; ends the process with status 0.
  [[noreturn]] void StopTarrowService(bool stopTree);
  // The backup words. A missing word or a backup name that the store
  // refuses gives -1 before anything is stopped.
  int ClearBackup(int argc, char** argv);
  int ResumeBack(int argc, char** argv);
  int JustReboot(int argc, char** argv);
  // "test": the split-brain pipe reader, then a long sleep.
  int Test(int argc, char** argv);
  // Does nothing.
  void GentleStopTarrowService() {}

 private:
  // After the wait: notes which shutdown the signal asks for and says so.
  void term_handler(int signal);
  // The started flag, every configuration file and the machine's start,
  // with their trace-log lines; then the alarms of files replaced by
  // defaults.
  void _StartSteps();
  // A failed start in the trace log and as an alarm.
  void _RecordStartFailure(const std::string& reason);
  // The daemon's machine, built with this program's waits and hooks.
  HAMachine* _Machine();
  // Starts tarrowguard and the guard thread that keeps it running.
  void _GuardWatcher();
  // On the guard thread when it gave up: alarm, trace log, a new guard later.
  void _OnGuardGaveUp();
  // On the main thread: a new guard once the retry time has passed.
  void _RetryGuardWhenDue();
  // Waits on the main thread for signal 15 or 56: its number, -1 when the
  // wait failed.
  int _WaitTermSignal();
  int _RefuseBackupWord(const std::string& usage, const std::string& reason);
  static int _ModeSignal(const std::string& mode);
  static void _BlockTermSignals(sigset_t* previous);
  static void _Print(const std::string& line);
  // line and a line end on standard error.
  static void _PrintError(const std::string& line);
  // Disposes of the alarm manager (its log gets what is queued), flushes and
  // leaves the process without running static destructors under the threads.
  [[noreturn]] static void _End(int status);

  Timing _timing;
  std::function<void()> _openConsole;
  HAMachine* _machine = nullptr;
  bool IsStopTree = false;
  bool _machineBegun = false;  // InitMachine was called (the alarms run)
  // The guard of tarrowguard, created by "start"; replaced by a retry, never
  // deleted while it may be in use.
  Framework::ServiceProtector* pProtectorOfWatcherService = nullptr;
  // The split-brain watcher of the "test" word.
  DrbdBSWatcher* pWatcher = nullptr;
  ConsolePrinter* _printer = nullptr;
  Framework::InstanceLock* _lock = nullptr;
  // Wait-clock time (ms) at which the guard gave up; 0 while it guards.
  std::atomic<long long> _guardGaveUpAt{0};
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
