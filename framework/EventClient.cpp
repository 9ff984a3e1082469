#include "framework/EventClient.h"

#include "framework/MutexGuard.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

void EventClient::Notify(int kind, const std::string& source, const std::string& text) {
  MutexGuard guard(_lock);
  _Notify(kind, source, text);
}

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
