#include "protocol/IOXReceiveThread.h"

#include "framework/Exception.h"
#include "protocol/ConnectionTrace.h"
#include "protocol/IOXConnection.h"
#include "protocol/OXPack.h"

namespace Oxbrindale {
namespace Velmora {
namespace OXProctol {

int IOXReceiveThread::Run() {
  while (!IsStopping()) {
    OXPack* pack = nullptr;
    try {
      pack = _ReceiveLogic();
    } catch (Exception* e) {
      PrintConnectionTrace(e->message, _connection);
      delete e;
      try {
        _connection->NotifyDisconnected();
      } catch (Exception* inner) {  // a listener that throws must not skip the exit line
        PrintConnectionTrace(inner->message, _connection);
        delete inner;
      }
      break;
    }
    try {
      _connection->DataReceived(pack);  // destroys the pack in every case
    } catch (Exception* e) {
      PrintConnectionTrace(e->message, _connection);
      delete e;
    }
  }
  DebugConnectionTrace("*** ReceiveThread Exit ", _connection);
  return 0;
}

}  // namespace OXProctol
}  // namespace Velmora
}  // namespace Oxbrindale
