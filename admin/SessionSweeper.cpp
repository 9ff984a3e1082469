#include "admin/SessionSweeper.h"

#include "admin/AdminSettings.h"
#include "admin/ClientManager.h"

namespace Oxbrindale {
namespace Velmora {
namespace Core {

int SessionSweeper::Run() {
  while (!IsStopping()) {
    // A quarter of the login time-out, at most 5 s: an idle daemon wakes
    // for this rarely.
    long long interval = _settings->loginTimeoutMs.load() / 4;
    if (interval > 5000) interval = 5000;
    if (interval < 10) interval = 10;
    _wake.TimedWait(interval);
    if (IsStopping()) break;
    _manager->SweepSessions();
  }
  return 0;
}

void SessionSweeper::CallStop() {
  AsyncExecutable::CallStop();
  _wake.Post();
}

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale
