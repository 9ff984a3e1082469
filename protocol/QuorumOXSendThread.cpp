#include "protocol/QuorumOXSendThread.h"

#include <string>

#include "protocol/OXPack.h"
#include "protocol/OXQuorum.h"

namespace Oxbrindale {
namespace Velmora {
namespace OXProctol {

void QuorumOXSendThread::_SendLogic(OXPack* pack) {
  const std::string frame = pack->ToFrame();
  _quorum->Send(frame.data(), frame.size());
}

}  // namespace OXProctol
}  // namespace Velmora
}  // namespace Oxbrindale
