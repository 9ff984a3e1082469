// tarrowd with short waits, for the daemon's tests: the same program, built
// from the same classes, with the waits of seconds (the HA machine's, the
// guard's, the stop's, the backup words') made ones of a fraction of a
// second, and a guard retry of 2 s in place of 300 s. The timings the nodes
// agree on (heartbeat settings, the start delay) stay in the configuration.
// Tests copy it as <dir>/tarrowd.
#include "core/HAMachine.h"
#include "core/TarrowDemo.h"
#include "core/daemon/DaemonConsoleBinding.h"

using Oxbrindale::Velmora::Core::DaemonConsoleBinding;
using Oxbrindale::Velmora::Core::HAMachine;
using Oxbrindale::Velmora::Core::TarrowDemo;

int main(int argc, char** argv) {
  TarrowDemo::Timing timing;
  timing.guard.cycleMs = 100;
  timing.guard.firstDelayMs = 50;
  timing.guard.retryDelayMs = 100;
  timing.guardRetryMs = 2000;
  timing.guardCheckMs = 100;
  // Looks 10 times as often, for as long as the program's 60 s: under load a
  // daemon that is SIGKILLed before it stopped its watcher has the watcher
  // start it again beside the command that waits for it to go.
  timing.stopLookMs = 100;
  timing.stopLooks = 600;
  timing.killWaitMs = 3000;
  timing.backupPauseMs = 300;
  timing.rebootPauseMs = 100;
  timing.shutdownPauseMs = 50;

  Oxbrindale::Velmora::Core::HaTimings& machine = timing.machine;
  machine.validationWaitMs = 2000;
  machine.retryWaitMs = 200;
  machine.modifiedPauseMs = 300;
  machine.afterLossMs = 50;
  machine.tokenErrorMs = 200;
  machine.refusedMs = 200;
  machine.graceCloseMs = 1000;
  machine.pauseOpMs = 300;
  machine.execTestDelayMs = 100;
  machine.consoleListenerDelayMs = 100;
  machine.firstLinkWaitMs = 5000;
  machine.syncPauseMs = 100;
  machine.initLinkWaitMs = 500;
  machine.afterStartDelayMs = 100;
  machine.takeoverStableWaitMs = 1000;
  machine.takeoverNotifyMs = 1000;
  machine.afterTakeoverStartMs = 10;
  machine.afterTakeoverStartWaitMs = 10;
  machine.beforeStopRequestMs = 10;
  machine.afterStopRequestMs = 10;
  machine.handOverRetryPauseMs = 10;
  machine.shutdownTakeoverRequestMs = 3000;
  machine.shutdownPollMs = 50;
  machine.shutdownPollBoundMs = 10000;
  machine.shutdownFinalPauseMs = 50;
  machine.failureRecheckMs = 500;
  machine.offlineWaitMs = 300;
  machine.endPauseMs = 10;

  TarrowDemo demo(timing);
  demo.SetConsoleListener([timing] {
    static DaemonConsoleBinding* const console = new DaemonConsoleBinding(HAMachine::Instance(timing.machine));
    console->StartListen();
  });
  return demo.Main(argc, argv);
}
