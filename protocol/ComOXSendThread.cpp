#include "protocol/ComOXSendThread.h"

#include <string>

#include "protocol/OXCom.h"
#include "protocol/OXPack.h"

namespace Oxbrindale {
namespace Velmora {
namespace OXProctol {

void ComOXSendThread::_SendLogic(OXPack* pack) {
  const std::string frame = pack->ToFrame();
  _com->Send(frame.data(), frame.size());
}

}  // namespace OXProctol
}  // namespace Velmora
}  // namespace Oxbrindale
