#include "admin/ConsoleEventPoster.h"

#include <exception>

#include "admin/IAdminEvents.h"
#include "framework/Convert.h"
#include "framework/EventManager.h"
#include "framework/Exception.h"

namespace Oxbrindale {
namespace Velmora {
namespace Core {

using Framework::Convert;
using Framework::EventManager;

void ConsoleEventPoster::Post(IAdminEvents* events, int kind, const std::string& source, const std::string& text) {
  std::string failure;
  try {
    if (events == nullptr) return;
    events->Notify(kind, source, text);
    return;
  } catch (Exception* e) {
    failure = e->code + " " + e->message;
    delete e;
  } catch (const std::exception& e) {
    failure = e.what();
  } catch (...) {
    failure = "unknown failure";
  }
  try {
    EventManager::TrackLog("终端事件未能发出(" + failure + "): " + source + " " + text);
  } catch (...) {
  }
}

void ConsoleEventPoster::HeartBeatLinkChanged(IAdminEvents* events, unsigned int link) {
  Post(events, -1, "NOTIFY", "HB_CHANGED\t" + Convert::ToString(link));
}

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale
