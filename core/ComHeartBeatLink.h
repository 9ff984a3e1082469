#ifndef TARROW_CORE_COMHEARTBEATLINK_H
#define TARROW_CORE_COMHEARTBEATLINK_H

#include <string>

#include "core/IHeartBeatLink.h"

namespace Oxbrindale {
namespace Velmora {
namespace Core {

// A heartbeat link over a serial line: both nodes open the device named by
// the record's address ("COM" and n opens /dev/ttyS<n-1>, through the Env's
// system paths) at the baud rate of the serial setting; the host node runs the
// handshake on the link thread.
class ComHeartBeatLink : public IHeartBeatLink {
 public:
  explicit ComHeartBeatLink(Config::HeartBeatLinkConfig* config) : IHeartBeatLink(config) {}
  ~ComHeartBeatLink() override { StopThread(); }

  void EstablishAConnection() override;

  // The device of a "COM<n>" address: "/dev/ttyS" + (n - 1); "" when the
  // address holds no port number of 1 or more.
  static std::string DevicePath(const std::string& address);
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
