#include "core/HostHandshake.h"

#include "core/HeartBeatManager.h"
#include "core/IHeartBeatLink.h"
#include "framework/AsyncExecutor.h"
#include "framework/Exception.h"
#include "framework/MutexGuard.h"
#include "protocol/IOXConnection.h"
#include "protocol/OXPack.h"
#include "protocol/OXTcpListener.h"

namespace Oxbrindale {
namespace Velmora {
namespace Core {

HostHandshake::HostHandshake(HeartBeatManager* manager, OXProctol::IOXConnection* connection, std::string address)
    : _manager(manager),
      _connection(connection),
      _address(std::move(address)),
      _executor(new Framework::AsyncExecutor(this, "心跳握手")) {
  Framework::MutexGuard busy(connection->busyLock);
  ++connection->busyCount;
}

HostHandshake::~HostHandshake() {
  if (_started.load()) _executor->WaitExited();
  _executor.reset();
  if (!_started.load()) IHeartBeatLink::Unpin(_connection);
}

bool HostHandshake::Start() {
  int result = -1;
  try {
    result = _executor->Start();
  } catch (Exception* e) {
    delete e;
  }
  _started.store(result == 0);
  return result == 0;
}

int HostHandshake::Run() {
  _manager->_Handshake(_connection, nullptr);
  // The greeting the listener leaves to the handshake: the responder waits
  // for it before its own wait for the validation.
  try {
    _connection->SendPack(
        new OXProctol::OXPack(OXProctol::OXPack::PackKind::PUSH, OXProctol::OXTcpListener::GREETING, ""));
  } catch (Exception* e) {
    delete e;  // the exchange ended with the connection
  }
  _manager->_HandshakeEnded(this);
  return 0;
}

void HostHandshake::Release() {
  IHeartBeatLink::Unpin(_connection);
  _done.store(true);
}

void HostHandshake::Abort() {
  if (!_done.load()) _connection->Disconnect();
}

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale
