// tarrowguard with short intervals, for the watcher's tests: the same
// program, built from the same classes, with every wait of seconds made one
// of a fraction of a second. Tests copy it as <dir>/tarrowguard.
#include "watcher/TarrowGuard.h"

using Oxbrindale::Velmora::Watcher::TarrowGuard;

int main(int argc, char** argv) {
  TarrowGuard::Timing timing;
  timing.guard.cycleMs = 100;
  timing.guard.firstDelayMs = 50;
  timing.guard.retryDelayMs = 100;
  timing.stopWaitMs = 3000;
  timing.stopPollMs = 100;
  timing.pipe.retryMs = 100;
  timing.pipe.limitMs = 2000;
  TarrowGuard guard(timing);
  return guard.Main(argc, argv);
}
