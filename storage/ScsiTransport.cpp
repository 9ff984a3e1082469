#include "storage/ScsiTransport.h"

#include <atomic>

#include "storage/SgIoScsiTransport.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

namespace {
std::atomic<ScsiTransport*> g_installed{nullptr};
}

ScsiTransport* ScsiTransport::Get() {
  ScsiTransport* installed = g_installed.load(std::memory_order_acquire);
  if (installed != nullptr) return installed;
  static SgIoScsiTransport* real = new SgIoScsiTransport();  // lives until the process ends
  return real;
}

void ScsiTransport::Set(ScsiTransport* transport) { g_installed.store(transport, std::memory_order_release); }

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
