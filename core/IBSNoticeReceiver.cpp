#include "core/IBSNoticeReceiver.h"

#include <atomic>

namespace Oxbrindale {
namespace Velmora {
namespace Core {

namespace {
std::atomic<IBSNoticeReceiver*> g_installed{nullptr};
}

IBSNoticeReceiver* IBSNoticeReceiver::Installed() { return g_installed.load(); }

void IBSNoticeReceiver::Install(IBSNoticeReceiver* receiver) { g_installed.store(receiver); }

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale
