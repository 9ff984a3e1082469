#ifndef TARROW_RESOURCE_RESOURCEEVENTS_H
#define TARROW_RESOURCE_RESOURCEEVENTS_H

#include <string>

namespace Oxbrindale {
namespace Velmora {
namespace Resource {

// What the resources and trees tell the rest of the daemon: tree-changed
// announcements and other events on the bus, debug texts, alarms. None of
// these ever throws into a check or tree thread: an event the bus cannot
// take is dropped.
class ResourceEvents {
 public:
  ResourceEvents() = delete;

  // (-1, "NOTIFY", "RES_TREE_CHANGED").
  static void TreeChanged();
  // (-1, source, text).
  static void Post(const std::string& source, const std::string& text);
  // (-1, "ERROR", text).
  static void Error(const std::string& text);
  // The debug hook.
  static void Debug(const std::string& text);
  // An alarm of kind 0 to 16.
  static void Alarm(int kind, const std::string& text);
  // A line on standard output.
  static void Print(const std::string& line);
};

}  // namespace Resource
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
