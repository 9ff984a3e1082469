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

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale
