#include "core/TcpHeartBeatLink.h"

#include "config/HeartBeatLinkConfig.h"
#include "core/HeartBeatManager.h"
#include "framework/Exception.h"
#include "protocol/TcpOXConnection.h"

namespace Oxbrindale {
namespace Velmora {
namespace Core {

void TcpHeartBeatLink::EstablishAConnection() {
  for (;;) {
    if (IsStopping() || GetPendOperation() != HBL_OP_TRYCONNECT) return;
    if (IsHost()) {
      // The listener connects the host's TCP links (HeartBeatManager).
      if (_RetryWait()) continue;
      return;
    }
    DebugNotify("EstablishAConnection. ");
    _DropConnection();
    try {
      OXProctol::TcpOXConnection* connection = new OXProctol::TcpOXConnection(this, this);
      _NotifyConnectionEstablished(connection);
      connection->Connect(GetConfig()->GetAddress(), GetManager()->HeartBeatPort());
    } catch (Exception* e) {
      DebugNotify(e->message);
      delete e;
      _DropConnection();
      if (_RetryWait()) continue;
      return;
    }
    if (_AfterValidationWait()) return;
    if (!_RetryWait()) return;
  }
}

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale
