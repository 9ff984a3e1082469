#ifndef TARROW_FRAMEWORK_EVENTDATA_H
#define TARROW_FRAMEWORK_EVENTDATA_H

#include <string>
#include <utility>

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

// One event on the bus: created by EventManager::Notify, deleted by the event
// thread once every subscriber had it.
class EventData {
 public:
  EventData(int kind, std::string source, std::string text)
      : kind(kind), source(std::move(source)), text(std::move(text)) {}

  int kind;            // -1 for nearly every event
  std::string source;  // "NOTIFY", "ERROR", "DEBUG", "SOCKET", "MSG", "CHAT"
  std::string text;    // for "NOTIFY": a keyword, optionally a tab and data
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
