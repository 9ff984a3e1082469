#include "protocol/TcpOXSendThread.h"

#include "protocol/OXPack.h"
#include "protocol/TcpFrameWriter.h"

namespace Oxbrindale {
namespace Velmora {
namespace OXProctol {

void TcpOXSendThread::SetSilenceLimit(long ms) {
  _silenceLimitMs.store(ms);
  SetKeepAliveInterval(ms);
}

void TcpOXSendThread::_SendLogic(OXPack* pack) {
  const long limit = _silenceLimitMs.load();
  if (pack->kind == FLUSH_KIND) {
    _writer->Flush();
  } else if (pack->kind == OXPack::PackKind::HEARTBEAT) {
    // The queue was quiet, but the senders may have written meanwhile.
    if (_writer->MsSinceLastWrite() >= limit) _writer->WriteQueued(pack->ToFrame());
  } else {
    _writer->WriteQueued(pack->ToFrame());
  }
  // The next keep-alive is due when the socket has been silent for the limit,
  // counted from its last frame, whoever wrote it.
  const long long left = limit - _writer->MsSinceLastWrite();
  SetKeepAliveInterval(left > 0 ? static_cast<long>(left) : 1);
}

}  // namespace OXProctol
}  // namespace Velmora
}  // namespace Oxbrindale
