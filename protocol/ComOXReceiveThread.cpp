#include "protocol/ComOXReceiveThread.h"

#include "protocol/OXCom.h"
#include "protocol/OXPack.h"

namespace Oxbrindale {
namespace Velmora {
namespace OXProctol {

OXPack* ComOXReceiveThread::_ReceiveLogic() {
  for (;;) {
    OXPack* pack = OXPack::Parse(_com->ReceiveUntilChar('\0'));
    if (pack != nullptr) return pack;  // fewer than five fields: dropped
  }
}

}  // namespace OXProctol
}  // namespace Velmora
}  // namespace Oxbrindale
