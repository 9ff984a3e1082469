#ifndef TARROW_ADMIN_ADMINCONTEXT_H
#define TARROW_ADMIN_ADMINCONTEXT_H

#include <functional>

#include "admin/AdminSettings.h"

namespace Oxbrindale {
namespace Velmora {
namespace Alarm {
class AlarmManager;
}
namespace Config {
class ConfigManager;
}
namespace Framework {
class IOXThreadPoolExec;
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
class IAdminNetwork;
class IAdminSplitBrain;
class IAdminStorage;

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
  // resource, dependency and manual takeover commands. Resource trees read their records
  // from ConfigManager::Instance(), so these commands need it as store.
  IAdminTreeMachine* trees = nullptr;
  IAdminPeer* peer = nullptr;
  IAdminDiskLocks* diskLocks = nullptr;

  // ---- heartbeat, global, alarm, host, DRBD and takeover commands --------
  // Disks and DRBD mirrors (AdminStorage in the daemon).
  IAdminStorage* storage = nullptr;
  // The split-brain watcher.
  IAdminSplitBrain* splitBrain = nullptr;
  // Network interfaces (AdminNetwork in the daemon).
  IAdminNetwork* network = nullptr;
  // The alarm executors (mail, console speaker, recent list); alarms are
  // raised through `alarms`.
  Alarm::AlarmManager* alarmManager = nullptr;
  // Queues a thread-pool job, which it then owns; throws Exception* (the
  // caller keeps the job) when refused. Empty: the process's pool.
  std::function<void(Framework::IOXThreadPoolExec*)> invokeJob;
  AdminSettings settings;
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
