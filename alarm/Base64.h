#ifndef TARROW_ALARM_BASE64_H
#define TARROW_ALARM_BASE64_H

#include <string>

namespace Oxbrindale {
namespace Velmora {
namespace Alarm {

// Base64 text of bytes (RFC 4648 alphabet, "=" padding), in one line: the
// SMTP AUTH LOGIN exchange sends each value as one line, so no line breaks
// are ever inserted, whatever the length.
class Base64 {
 public:
  Base64() = delete;

  static std::string Encode(const unsigned char* data, int length);
  static std::string Encode(const std::string& bytes);
};

}  // namespace Alarm
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
