#ifndef TARROW_ADMIN_CONSOLEEVENTPOSTER_H
#define TARROW_ADMIN_CONSOLEEVENTPOSTER_H

#include <string>

namespace Oxbrindale {
namespace Velmora {
namespace Core {

class IAdminEvents;

// Posts the event that follows a committed change. Never throws: the change
// is done and its reply stays "OK"; an event the bus does not take is
// written to the trace log instead.
class ConsoleEventPoster {
 public:
  static void Post(IAdminEvents* events, int kind, const std::string& source, const std::string& text);
  // (-1, "NOTIFY", "HB_CHANGED\t" + link).
  static void HeartBeatLinkChanged(IAdminEvents* events, unsigned int link);
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
