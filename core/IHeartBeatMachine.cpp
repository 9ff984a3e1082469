#include "core/IHeartBeatMachine.h"

#include <atomic>

namespace Oxbrindale {
namespace Velmora {
namespace Core {

namespace {
std::atomic<IHeartBeatMachine*> g_installed{nullptr};
}

IHeartBeatMachine* IHeartBeatMachine::Installed() { return g_installed.load(); }

void IHeartBeatMachine::Install(IHeartBeatMachine* machine) { g_installed.store(machine); }

// ---- what the peer's requests ask of the machine ------------------------------

Resource::ResourceTree* IHeartBeatMachine::FindResourceTreeByGuid(const std::string&) { return nullptr; }

std::shared_ptr<Resource::ResourceTree> IHeartBeatMachine::HoldResourceTreeByGuid(const std::string& guid) {
  return std::shared_ptr<Resource::ResourceTree>(FindResourceTreeByGuid(guid), [](Resource::ResourceTree*) {});
}

bool IHeartBeatMachine::RequestTakeOverResourceTree(const std::string&, bool) { return false; }

bool IHeartBeatMachine::IsRunningStatu() { return false; }

bool IHeartBeatMachine::IsFirstBootDone() { return false; }

void IHeartBeatMachine::SetShutdownNotify() {}

void IHeartBeatMachine::SetOfflineNotify() {}

bool IHeartBeatMachine::CanProcessBS(const std::string&) { return true; }

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale
