#ifndef TARROW_CORE_HAMACHINEPARTS_H
#define TARROW_CORE_HAMACHINEPARTS_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/HaTimings.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {
class ConfigManager;
class ResourceTreeConfig;
}  // namespace Config
namespace Framework {
class IOXThreadPoolExec;
}
namespace Resource {
class ResourTreeFailEventListener;
}
namespace Core {

class IResourceTreeHandle;

// What an HA machine is built from: its node's store, waits and the
// services it reaches outside itself. An empty member stands for the
// daemon's own service (named beside it); HAMachine::Instance() leaves them
// all empty but the console listener, which the console service fills.
struct HAMachineParts {
  // The node's store (null: ConfigManager::Instance()).
  Config::ConfigManager* config = nullptr;
  HaTimings timings;
  // Alarm kind and text (empty: Alarm::OXAlarm).
  std::function<void(int, const std::string&)> alarms;
  // Starts the alarm executors at the machine's start (empty:
  // AlarmManager::Instance()->Init()).
  std::function<void()> initAlarms;
  // Builds and activates the tree of a record with the machine as its
  // listener; throws Exception* when it cannot (empty: ResourceTreeHandle).
  std::function<std::shared_ptr<IResourceTreeHandle>(Config::ResourceTreeConfig*,
                                                     Resource::ResourTreeFailEventListener*)>
      makeTree;
  // Whether one of the addresses answers on the port (empty: NetTest).
  std::function<bool(const std::vector<std::string>&, uint16_t)> referenceTest;
  // Quorum-disk arbitration: win (true) or lose, and the release of this
  // node's sector (empty: LinuxDisk::TryGetQuorumPrim, LinuxDisk::ResetQuorumInfo).
  std::function<bool(const std::string&, bool)> quorumArbitrate;
  std::function<void(const std::string&, bool)> quorumReset;
  // Removes the virtual addresses of this node's IP resources (empty:
  // NetAdaptorFactory::Instance()->ClearBadMountedIP with their addresses).
  std::function<void()> clearAliases;
  // Opens the console listener (empty: nothing; the console service sets it).
  std::function<void()> startConsoleListener;
  // Starts the split-brain pipe reader (empty: nothing; the daemon sets it).
  std::function<void()> startSplitBrainReader;
  // Queues a job of the machine on a thread pool; throws Exception* when the
  // job is refused, which the caller then keeps (empty: OXThreadPool).
  std::function<void(Framework::IOXThreadPoolExec*)> invokeJob;
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
