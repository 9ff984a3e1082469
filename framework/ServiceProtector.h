#ifndef TARROW_FRAMEWORK_SERVICEPROTECTOR_H
#define TARROW_FRAMEWORK_SERVICEPROTECTOR_H

#include <ctime>
#include <functional>
#include <memory>
#include <string>

#include "framework/AsyncExecutable.h"
#include "framework/AsyncExecutor.h"
#include "framework/Semaphore.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

// Keeps the sibling daemon of this node running. Its thread "服务守护线程"
// looks every 5 s for a process whose executable is <program dir><file name>
// and starts it with the word "start" when there is none; after the fourth
// failed check within the failure window it gives up, which by default ends
// the whole process with status 0.
class ServiceProtector : public AsyncExecutable {
 public:
  // Intervals of the guard, in milliseconds (the window in seconds).
  struct Timing {
    long cycleMs = 5000;             // wait between two checks
    long firstDelayMs = 500;         // before counting a failure on the first check
    long retryDelayMs = 3500;        // before counting a failure on later checks
    long commandWaitMs = 10000;      // a start command still running then is killed
    long failureWindowSec = 1800;    // failures further apart start the count over
    int maxFailures = 3;             // more failures than this: give up
  };

  explicit ServiceProtector(std::string fileName);
  ServiceProtector(std::string fileName, const Timing& timing);
  // Stops the guard thread if it runs and frees the executor.
  ~ServiceProtector() override;

  // Starts the guard thread.
  void StartProtection();
  // Asks the guard to end and wakes it.
  void CallStop() override;
  bool IsAutoDelete() override { return false; }
  // The guard loop; 0 when stopped or after a give-up that returned.
  int Run() override;

  // Runs the sibling with "start" / "stop", waits up to waitMs for that
  // command and kills it when it still runs.
  void StartProtectedService(long waitMs = 10000);
  void StopProtectedService(long waitMs = 10000);

  // What giving up does; the default flushes standard output and leaves the
  // process with _exit(0). An action that returns ends the guard thread
  // without a further start. Set before StartProtection.
  void SetGiveUpAction(std::function<void()> action) { _giveUp = std::move(action); }

  const std::string& GetPath() const { return _path; }

 private:
  void _RunSibling(const char* word, long waitMs);
  // The monotonic wait clock: a step of the wall clock moves no failure
  // in or out of the window.
  long long _NowMs() const;
  // Whether the sibling runs: the process found last time is asked first,
  // and only when it no longer runs the sibling is /proc searched again.
  bool _SiblingRuns();

  Timing _timing;
  Semaphore _wake;
  std::string _fileName;
  bool _firstCycle = true;
  long long _lastFailureMs = 0;
  int _failures = 0;
  int _knownPid = 0;  // the guard thread's own
  std::string _path;
  std::function<void()> _giveUp;
  std::unique_ptr<AsyncExecutor> _guardExecutor;
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
