#include "core/HBPackExec.h"

#include "config/HeartBeatLinkConfig.h"
#include "core/HandshakeToken.h"
#include "core/HeartBeatManager.h"
#include "core/IHeartBeatLink.h"
#include "framework/MutexGuard.h"
#include "protocol/IOXConnection.h"

namespace Oxbrindale {
namespace Velmora {
namespace Core {

using OXProctol::OXPack;

HBPackExec::HBPackExec(std::shared_ptr<IHeartBeatLink> link, OXProctol::IOXConnection* connection, OXPack* pack)
    : _link(std::move(link)),
      _connection(connection),
      _pack(pack->kind, pack->command, pack->packId, pack->time, pack->body) {
  if (_link->GetManager() != nullptr) _link->GetManager()->JobBegins();
}

HBPackExec::~HBPackExec() {
  {
    Framework::MutexGuard guard(_connection->busyLock);
    --_connection->busyCount;
  }
  if (_link->GetManager() != nullptr) _link->GetManager()->JobEnds();
}

void HBPackExec::Run() {
  if (_link->GetStatus() == HBL_STATU_CONNECTING) {
    // While the link is connecting only the handshake is served; any other
    // request runs into its requester's time-out.
    if (_pack.command == HandshakeToken::VALID_TOKEN_B)
      _OnValidTokenB();
    else if (_pack.command == HandshakeToken::WHO_ARE_YOU)
      _OnWhoAreYou();
    return;
  }
  if (_pack.command == HandshakeToken::HEART_BEAT) {
    _Answer(HandshakeToken::BEAT_ANSWER);
    return;
  }
  _Dispatch();
}

void HBPackExec::_Answer(const std::string& body) {
  _link->SendResponsePack(_connection, HandshakeToken::RESPONSE_COMMAND, body, _pack.packId);
}

void HBPackExec::_OnValidTokenB() {
  uint64_t nonce = 0;
  const bool pending = _link->TakeHandshakeNonce(_connection, &nonce);
  if (pending &&
      _pack.body == HandshakeToken::Digest(_link->GetConfig()->GetKeyB(), HandshakeToken::NonceText(nonce))) {
    _Answer("OK");
    _link->OnTokenValidacionSuccess();
    return;
  }
  _Answer("ERROR");
  if (!pending) return;  // no "HA_WHO_ARE_YOU" before: nothing to fail
  _link->OnTokenValidationError();
  _link->KillConnection();
}

void HBPackExec::_OnWhoAreYou() {
  const uint64_t nonce = _link->NewHandshakeNonce(_connection);
  Config::HeartBeatLinkConfig* config = _link->GetConfig();
  const std::string body = "OK\n" + std::to_string(config->GetId()) + "\n" +
                           HandshakeToken::Digest(config->GetKeyA(), _pack.body) + "\n" +
                           std::to_string(config->GetType()) + "\n" + std::to_string(_link->GetStatus()) + "\n" +
                           HandshakeToken::NonceText(nonce);
  _Answer(body);
}

// ---- peer requests -----------------------------------------------------------
// Every request word but the handshake and the beat, served on a link that is
// not connecting. A word not handled here is answered "UNKNOW_CMD".

void HBPackExec::_Dispatch() { _Answer("UNKNOW_CMD"); }

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale
