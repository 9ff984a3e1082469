#ifndef TARROW_ADMIN_IADMINEVENTS_H
#define TARROW_ADMIN_IADMINEVENTS_H

#include <string>

namespace Oxbrindale {
namespace Velmora {
namespace Framework {
class EventClient;
}
namespace Core {

// The event bus as the console service uses it (EventManager in the daemon).
class IAdminEvents {
 public:
  virtual ~IAdminEvents() = default;
  // Queues an event; throws Exception* (such as "BLOCK_QUEUE") when it
  // cannot.
  virtual void Notify(int kind, const std::string& source, const std::string& text) = 0;
  // Every later event reaches client (on the bus's thread) until Unsubscribe,
  // which returns once no delivery to client is running.
  virtual void Subscribe(Framework::EventClient* client) = 0;
  virtual void Unsubscribe(Framework::EventClient* client) = 0;
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
