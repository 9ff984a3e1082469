#ifndef TARROW_CORE_TCPHEARTBEATLINK_H
#define TARROW_CORE_TCPHEARTBEATLINK_H

#include "core/IHeartBeatLink.h"

namespace Oxbrindale {
namespace Velmora {
namespace Core {

// A heartbeat link over TCP. The host node never connects: the heartbeat
// listener accepts the peer, runs the handshake and hands the connection to
// the link, whose thread meanwhile waits in retry steps. The other node
// connects to the record's address on the heartbeat port.
class TcpHeartBeatLink : public IHeartBeatLink {
 public:
  explicit TcpHeartBeatLink(Config::HeartBeatLinkConfig* config) : IHeartBeatLink(config) {}
  ~TcpHeartBeatLink() override { StopThread(); }

  void EstablishAConnection() override;
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
