#include "core/HBPackExec.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

#include "config/ConfigManager.h"
#include "config/DrbdMirrorConfig.h"
#include "config/HeartBeatLinkConfig.h"
#include "config/ResourceTreeConfig.h"
#include "core/HandshakeToken.h"
#include "core/HeartBeatManager.h"
#include "core/IBSNoticeReceiver.h"
#include "core/IDrbdRecovery.h"
#include "core/IHeartBeatLink.h"
#include "core/IHeartBeatMachine.h"
#include "core/PeerProtocol.h"
#include "entity/DrbdRtDataEntity.h"
#include "framework/Convert.h"
#include "framework/EventManager.h"
#include "framework/Exception.h"
#include "framework/MutexGuard.h"
#include "framework/Sleep.h"
#include "protocol/IOXConnection.h"
#include "resource/ResourceTree.h"

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
  // Everything else only on a connected link and on the connection it uses:
  // a request left from a connection the link replaced gets no answer.
  if (_link->GetStatus() != HBL_STATU_CONNECTED || !_OnCurrentConnection()) return;
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
    _Answer(PeerProtocol::OK);
    _link->OnTokenValidacionSuccess();
    return;
  }
  _Answer(PeerProtocol::ERROR);
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
// Every request word but the handshake and the beat, served on a connected
// link. A word not handled here is answered "UNKNOW_CMD".

namespace {

// Lines of a request body: CRs dropped, split at LF, empty lines kept.
std::vector<std::string> Lines(std::string body) { return Framework::Convert::tokenize(body, "\n", false, ""); }

std::string WithoutCrs(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  return text;
}

// A wait in ms: an unsigned decimal number; a text that is not one reads 0,
// a number beyond the range the largest value.
unsigned long long WaitOf(const std::string& text) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return 0;
  errno = 0;
  const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
  return errno == ERANGE ? ULLONG_MAX : value;
}

const char* Flag(bool on) { return on ? PeerProtocol::TRUE_WORD : PeerProtocol::FALSE_WORD; }

std::string WithValue(const std::string& value) { return std::string(PeerProtocol::OK) + "\n" + value; }

}  // namespace

bool HBPackExec::_OnCurrentConnection() {
  OXProctol::IOXConnection* current = _link->PinConnection();
  if (current == nullptr) return false;
  // The request's connection is pinned by this job, so its address is not
  // reused while the job runs.
  const bool same = current == _connection;
  IHeartBeatLink::Unpin(current);
  return same;
}

void HBPackExec::_Dispatch() {
  const std::string& command = _pack.command;
  if (command == PeerProtocol::RES_StopTree) {
    _OnStopTree();
  } else if (command == PeerProtocol::RES_GetTryWaitResourceTreeStableStatu) {
    _OnGetTryWaitStableStatu();
  } else if (command == PeerProtocol::RES_RequestTakeoverNotify) {
    _OnRequestTakeoverNotify();
  } else if (command == PeerProtocol::RES_RequestTakeover) {
    _OnRequestTakeover();
  } else if (command == PeerProtocol::MAC_GetIsFirstBootDone) {
    _Answer(WithValue(Flag(_Machine()->IsFirstBootDone())));
  } else if (command == PeerProtocol::MAC_GetResourceTreeIsHold) {
    _OnGetResourceTreeIsHold();
  } else if (command == PeerProtocol::MAC_GetRemoteMachineIsRunningStatu) {
    _Answer(WithValue(Flag(_Machine()->IsRunningStatu())));
  } else if (command == PeerProtocol::SYS_Shutdown) {
    _Machine()->SetShutdownNotify();
    _Answer(PeerProtocol::OK);
  } else if (command == PeerProtocol::SYS_Offline) {
    _Machine()->SetOfflineNotify();
    _Answer(PeerProtocol::OK);
  } else if (command == PeerProtocol::BS_NOTIFY) {
    _OnBSNotify();
  } else if (command == PeerProtocol::BS_GETDATA) {
    _OnBSGetData();
  } else if (command == PeerProtocol::BS_CAN_PROCESS) {
    _Answer(WithValue(_Machine()->CanProcessBS(_pack.body) ? PeerProtocol::BS_ALLOWED : PeerProtocol::BS_NOT_ALLOWED));
  } else if (command == PeerProtocol::RES_REQUEST_EXEC_TEST) {
    Sleep(static_cast<unsigned int>(_Manager()->Timings().execTestDelayMs));
    _Answer(PeerProtocol::OK);
  } else if (command == PeerProtocol::BS_SET_OPERATION) {
    _OnBSSetOperation();
  } else {
    _Answer(PeerProtocol::UNKNOW_CMD);
  }
}

HeartBeatManager* HBPackExec::_Manager() {
  HeartBeatManager* manager = _link->GetManager();
  if (manager == nullptr) throw new Exception("HA_MACHINE", "心跳连接没有管理者。");
  return manager;
}

IHeartBeatMachine* HBPackExec::_Machine() {
  IHeartBeatMachine* machine = _Manager()->GetMachine();
  if (machine == nullptr) throw new Exception("HA_MACHINE", "HA 状态机不存在。");
  return machine;
}

std::shared_ptr<Resource::ResourceTree> HBPackExec::_FindTree(const std::string& guid) {
  return _Machine()->HoldResourceTreeByGuid(guid);
}

unsigned long HBPackExec::_CappedWait(unsigned long long ms) {
  const long cap = _Manager()->Timings().peerWaitCapMs;
  const unsigned long long limit = cap < 0 ? 0 : static_cast<unsigned long long>(cap);
  return static_cast<unsigned long>(ms < limit ? ms : limit);
}

void HBPackExec::_OnStopTree() {
  const std::vector<std::string> lines = Lines(_pack.body);
  std::shared_ptr<Resource::ResourceTree> tree = lines.size() < 2 ? nullptr : _FindTree(lines[0]);
  if (tree == nullptr) return _Answer(PeerProtocol::ERROR);
  // "M": a manual stop, under the user's control; anything else automatic.
  tree->StopTree(lines[1] == PeerProtocol::STOP_MANUAL);
  _Answer(PeerProtocol::OK);
}

void HBPackExec::_OnGetTryWaitStableStatu() {
  const std::vector<std::string> lines = Lines(_pack.body);
  std::shared_ptr<Resource::ResourceTree> tree = lines.size() < 2 ? nullptr : _FindTree(lines[0]);
  if (tree == nullptr) return _Answer(PeerProtocol::ERROR);
  // The requester gives up after twice its wait; a longer wait than the cap
  // would only hold this worker.
  tree->WaitForStableStatu(_CappedWait(WaitOf(lines[1])));
  _Answer(WithValue(std::to_string(tree->GetSettledStatu())));
}

void HBPackExec::_OnRequestTakeoverNotify() {
  const std::vector<std::string> lines = Lines(_pack.body);
  std::shared_ptr<Resource::ResourceTree> tree = lines.empty() ? nullptr : _FindTree(lines[0]);
  if (tree == nullptr) return _Answer(PeerProtocol::ERROR);
  // The peer starts the tree itself: this node no longer holds it.
  tree->GetConfig()->SetRunning(false);
  _Manager()->GetConfig()->SaveResourceTreeConfig();
  _Answer(PeerProtocol::OK);
}

void HBPackExec::_OnRequestTakeover() {
  const std::string guids = WithoutCrs(_pack.body);
  const std::vector<std::string> lines = Lines(guids);
  // Only the first tree is looked up; the machine gets every GUID.
  if (lines.empty() || _FindTree(lines[0]) == nullptr) return _Answer(PeerProtocol::ERROR);
  Framework::EventManager::TrackLog("*****----->>>> Recevied RequestTakeOver Command:" + guids);
  _Answer(_Machine()->RequestTakeOverResourceTree(guids, false) ? PeerProtocol::OK : PeerProtocol::ERROR);
}

void HBPackExec::_OnGetResourceTreeIsHold() {
  std::shared_ptr<Resource::ResourceTree> tree = _FindTree(_pack.body);
  if (tree == nullptr) return _Answer(PeerProtocol::ERROR);
  tree->WaitForStableStatu(_CappedWait(PeerProtocol::RESOURCE_TREE_IS_HOLD_WAIT_MS));
  // The hold flag is the record's running flag.
  _Answer(WithValue(Flag(tree->GetConfig()->GetRunning())));
}

void HBPackExec::_OnBSNotify() {
  IBSNoticeReceiver* receiver = _Manager()->GetBSNoticeReceiver();
  if (receiver == nullptr) return _Answer(PeerProtocol::ERROR);
  receiver->OnBSBeInfected(_pack.body);
  _Answer(PeerProtocol::OK);
}

void HBPackExec::_OnBSGetData() {
  Config::DrbdMirrorConfig* mirror = _Manager()->GetConfig()->GetDrbdMirrorConfigByPacketName(_pack.body);
  if (mirror == nullptr) return _Answer(PeerProtocol::ERROR);
  Entity::DrbdRtDataEntity runtime;
  const int32_t minor = mirror->GetMinor();
  if (minor < 0 ||
      !_Manager()->GetDrbdRecovery()->GetRtDataByDeviceNumber(static_cast<unsigned long>(minor), runtime)) {
    return _Answer(PeerProtocol::ERROR);
  }
  _Answer(WithValue(std::to_string(mirror->GetDataStamp()) + "\n" + std::to_string(runtime.outOfSync)));
}

void HBPackExec::_OnBSSetOperation() {
  const std::vector<std::string> lines = Lines(_pack.body);
  if (lines.size() < 2 || _Manager()->GetConfig()->GetDrbdMirrorConfigByPacketName(lines[0]) == nullptr) {
    return _Answer(PeerProtocol::ERROR);
  }
  // "1": this node keeps its data; anything else: it discards its changes.
  // A step that reports a failure without throwing still answers "OK".
  try {
    if (lines[1] == PeerProtocol::BS_KEEP)
      _Manager()->GetDrbdRecovery()->BSSaveData(lines[0]);
    else
      _Manager()->GetDrbdRecovery()->BSDropData(lines[0]);
  } catch (Exception* e) {
    delete e;
    return _Answer(PeerProtocol::ERROR);
  }
  _Answer(PeerProtocol::OK);
}

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale
