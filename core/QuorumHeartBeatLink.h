#ifndef TARROW_CORE_QUORUMHEARTBEATLINK_H
#define TARROW_CORE_QUORUMHEARTBEATLINK_H

#include "core/IHeartBeatLink.h"

namespace Oxbrindale {
namespace Velmora {
namespace Core {

// A heartbeat link through the quorum disk whose identity is the record's
// address (LinuxDisk::GetQuorumDiskPathByDiskID); both nodes connect, the
// transport takes its side from the process's heartbeat settings; the host
// node runs the handshake on the link thread.
class QuorumHeartBeatLink : public IHeartBeatLink {
 public:
  explicit QuorumHeartBeatLink(Config::HeartBeatLinkConfig* config) : IHeartBeatLink(config) {}
  ~QuorumHeartBeatLink() override { StopThread(); }

  void EstablishAConnection() override;
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
