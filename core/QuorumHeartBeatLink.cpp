#include "core/QuorumHeartBeatLink.h"

#include "config/HeartBeatLinkConfig.h"
#include "framework/Exception.h"
#include "protocol/QuorumOXConnection.h"
#include "storage/LinuxDisk.h"

namespace Oxbrindale {
namespace Velmora {
namespace Core {

void QuorumHeartBeatLink::EstablishAConnection() {
  for (;;) {
    if (IsStopping() || GetPendOperation() != HBL_OP_TRYCONNECT) return;
    _DropConnection();
    OXProctol::QuorumOXConnection* connection = new OXProctol::QuorumOXConnection(this, this);
    _NotifyConnectionEstablished(connection);
    try {
      // Found by the identity the transport's writes cannot change.
      connection->Connect(Framework::LinuxDisk::GetQuorumDiskPathByDiskID(GetConfig()->GetAddress()));
    } catch (Exception* e) {
      delete e;
      _DropConnection();
      if (_RetryWait()) continue;
      return;
    }
    if (IsHost()) _HostHandshake(connection);
    if (_AfterValidationWait()) return;
    if (!_RetryWait()) return;
  }
}

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale
