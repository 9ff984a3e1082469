#ifndef TARROW_FRAMEWORK_EVENTCLIENT_H
#define TARROW_FRAMEWORK_EVENTCLIENT_H

#include <string>

#include "framework/Mutex.h"
#include "framework/NonCopyable.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

// A subscriber of the event bus. Receives one event at a time, on the event
// thread. Must stay alive while subscribed.
class EventClient : NonCopyable {
 public:
  EventClient() = default;

  virtual void _Notify(int kind, std::string source, std::string text) = 0;
  virtual ~EventClient() = default;

  // Hands the event to _Notify under the client's lock; the lock is released
  // also when _Notify throws.
  void Notify(int kind, const std::string& source, const std::string& text);

 private:
  Mutex _lock;
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
