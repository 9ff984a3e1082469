#ifndef TARROW_ADMIN_SESSIONSWEEPER_H
#define TARROW_ADMIN_SESSIONSWEEPER_H

#include "framework/AsyncExecutable.h"
#include "framework/Semaphore.h"

namespace Oxbrindale {
namespace Velmora {
namespace Core {

class AdminSettings;
class ClientManager;

// Thread body that asks the console server, a few times per login time-out,
// to close the sessions that did not log in in time.
class SessionSweeper : public Framework::AsyncExecutable {
 public:
  SessionSweeper(ClientManager* manager, AdminSettings* settings) : _manager(manager), _settings(settings) {}

  int Run() override;
  void CallStop() override;

 private:
  ClientManager* _manager;
  AdminSettings* _settings;
  Framework::Semaphore _wake;
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
