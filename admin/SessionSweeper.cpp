#include "admin/SessionSweeper.h"

#include "admin/AdminSettings.h"
#include "admin/ClientManager.h"

namespace Oxbrindale {
namespace Velmora {
namespace Core {

int SessionSweeper::Run() {
  while (!IsStopping()) {
    long long interval = _settings->loginTimeoutMs.load() / 4;
    if (interval > 1000) interval = 1000;
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
