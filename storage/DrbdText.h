#ifndef TARROW_STORAGE_DRBDTEXT_H
#define TARROW_STORAGE_DRBDTEXT_H

#include <string>

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

// The texts of a mirror that go into /etc/drbd.conf and onto DRBD command
// lines. One text the DRBD parser refuses makes the whole file unreadable,
// so every mirror stops; the mirror name also runs through a shell in the
// split-brain handler. Only texts these predicates accept are written.
class DrbdText {
 public:
  DrbdText() = delete;

  // A DRBD resource name: letters, digits, '_', '-' and '.', not beginning
  // with '-' (an option to the tools), and not "all" (every resource to them).
  static bool IsPacketName(const std::string& text);
  // A host name of an "on" section: letters, digits, '_', '-' and '.', not
  // beginning with '-'.
  static bool IsHostName(const std::string& text);
  // A dotted IPv4 address of four decimal numbers 0 to 255.
  static bool IsIPv4(const std::string& text);
  // A shared secret: printable ASCII (blank included) without '"' and '\'.
  static bool IsSecret(const std::string& text);
  // A volume text (device path or volume UUID): letters, digits, '_', '-',
  // '.' and '/', not empty.
  static bool IsVolume(const std::string& text);
  // A replication protocol: "A", "B" or "C".
  static bool IsProtocol(const std::string& text);
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
