#include "protocol/IOXReceiveThread.h"

#include <cstdio>

#include "framework/Exception.h"
#include "protocol/IOXConnection.h"
#include "protocol/OXPack.h"

namespace Oxbrindale {
namespace Velmora {
namespace OXProctol {

namespace {

void PrintLine(const std::string& text, const void* connection) {
  std::printf("%s %p\n", text.c_str(), connection);
  std::fflush(stdout);
}

}  // namespace

int IOXReceiveThread::Run() {
  while (!IsStopping()) {
    OXPack* pack = nullptr;
    try {
      pack = _ReceiveLogic();
    } catch (Exception* e) {
      PrintLine(e->message, _connection);
      delete e;
      try {
        _connection->NotifyDisconnected();
      } catch (Exception* inner) {  // a listener that throws must not skip the exit line
        PrintLine(inner->message, _connection);
        delete inner;
      }
      break;
    }
    try {
      _connection->DataReceived(pack);  // destroys the pack in every case
    } catch (Exception* e) {
      PrintLine(e->message, _connection);
      delete e;
    }
  }
  PrintLine("*** ReceiveThread Exit ", _connection);
  return 0;
}

}  // namespace OXProctol
}  // namespace Velmora
}  // namespace Oxbrindale
