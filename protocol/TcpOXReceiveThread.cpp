#include "protocol/TcpOXReceiveThread.h"

#include <string>
#include <utility>

#include "framework/OXSocket.h"
#include "protocol/OXPack.h"

namespace Oxbrindale {
namespace Velmora {
namespace OXProctol {

OXPack* TcpOXReceiveThread::_ReceiveLogic() {
  for (;;) {
    OXPack* pack = OXPack::Parse(_socket->ReceiveUntilChar('\0'));
    if (pack == nullptr) continue;  // fewer than five fields: dropped
    if (pack->kind == OXPack::PackKind::PUSH && pack->command == "SERVICE_READY") {
      _socket->SetServerReady();
      delete pack;
      continue;
    }
    return pack;
  }
}

}  // namespace OXProctol
}  // namespace Velmora
}  // namespace Oxbrindale
