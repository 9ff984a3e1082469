#ifndef TARROW_ADMIN_ADMINCONTEXT_H
#define TARROW_ADMIN_ADMINCONTEXT_H

#include "admin/AdminSettings.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {
class ConfigManager;
}
namespace Core {

class IAdminAlarms;
class IAdminConsoleListener;
class IAdminEvents;
class IAdminHAMachine;
class IAdminHeartBeat;
// The tree, resource and dependency commands.
class IAdminDiskLocks;
class IAdminPeer;
class IAdminTreeMachine;

// Everything of the daemon the console service reaches: the handlers use
// nothing else. The daemon binds its singletons; tests bind fakes and a
// ConfigManager of a temporary folder. Nothing here is owned; every pointer
// outlives the ClientManager that uses the context.
struct AdminContext {
  IAdminHAMachine* machine = nullptr;
  IAdminHeartBeat* heartBeat = nullptr;
  Config::ConfigManager* store = nullptr;
  IAdminAlarms* alarms = nullptr;
  IAdminEvents* events = nullptr;
  // Filled by ClientManager when left null.
  IAdminConsoleListener* consoleListener = nullptr;
  // Resource trees, the peer's answers and shared disks, for the tree,
  // resource and dependency commands. Resource trees read their records
  // from ConfigManager::Instance(), so these commands need it as store.
  IAdminTreeMachine* trees = nullptr;
  IAdminPeer* peer = nullptr;
  IAdminDiskLocks* diskLocks = nullptr;
  AdminSettings settings;
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
