#ifndef TARROW_STORAGE_MOUNTFIELD_H
#define TARROW_STORAGE_MOUNTFIELD_H

#include <string>

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

// A field of /proc/mounts. The kernel writes space, tab, newline and
// backslash in device names and mount points as "\ooo" (three octal digits:
// "\040", "\011", "\012", "\134").
class MountField {
 public:
  MountField() = delete;

  // Every "\ooo" escape becomes its byte; other text is kept as it is.
  static std::string Decode(const std::string& field);
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
