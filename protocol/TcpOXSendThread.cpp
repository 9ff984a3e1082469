#include "protocol/TcpOXSendThread.h"

#include "protocol/OXPack.h"
#include "protocol/TcpFrameWriter.h"

namespace Oxbrindale {
namespace Velmora {
namespace OXProctol {

void TcpOXSendThread::_SendLogic(OXPack* pack) {
  if (pack->kind == FLUSH_KIND) {
    _writer->Flush();
  } else {
    _writer->WriteQueued(pack->ToFrame());
  }
}

}  // namespace OXProctol
}  // namespace Velmora
}  // namespace Oxbrindale
