#include "protocol/ConnectionTrace.h"

#include <cstdio>

#include "framework/EventManager.h"

namespace Oxbrindale {
namespace Velmora {
namespace OXProctol {

void PrintConnectionTrace(const std::string& text, const void* connection) {
  std::printf("%s %p\n", text.c_str(), connection);
  std::fflush(stdout);
}

void DebugConnectionTrace(const std::string& text, const void* connection) {
  char address[32];
  std::snprintf(address, sizeof(address), "%p", connection);
  Framework::EventManager::Instance()->Debug(text + " " + address);
}

}  // namespace OXProctol
}  // namespace Velmora
}  // namespace Oxbrindale
