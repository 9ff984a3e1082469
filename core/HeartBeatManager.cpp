#include "core/HeartBeatManager.h"

#include <time.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <iostream>

#include "alarm/AlarmManager.h"
#include "config/ConfigManager.h"
#include "config/HeartBeatGlobalConfig.h"
#include "config/HeartBeatLinkConfig.h"
#include "core/ComHeartBeatLink.h"
#include "core/DrbdHelperRecovery.h"
#include "core/GraceCloser.h"
#include "core/HandshakeToken.h"
#include "core/HostHandshake.h"
#include "core/IBSNoticeReceiver.h"
#include "core/IHeartBeatLink.h"
#include "core/IHeartBeatMachine.h"
#include "core/PeerProtocol.h"
#include "core/QuorumHeartBeatLink.h"
#include "core/TcpHeartBeatLink.h"
#include "framework/Convert.h"
#include "framework/Env.h"
#include "framework/EventManager.h"
#include "framework/Exception.h"
#include "framework/IOXThreadPoolExec.h"
#include "framework/MutexGuard.h"
#include "framework/OXThreadPool.h"
#include "protocol/IOXConnection.h"
#include "protocol/OXPack.h"
#include "protocol/OXTcpListener.h"

namespace Oxbrindale {
namespace Velmora {
namespace Core {

using Framework::EventManager;

using Framework::MutexGuard;
using OXProctol::IOXConnection;
using OXProctol::OXPack;

namespace {

void PostEvent(int kind, const std::string& source, const std::string& text) {
  try {
    EventManager::Instance()->Notify(kind, source, text);
  } catch (Exception* e) {
    delete e;
  }
}

}  // namespace

HeartBeatManager::HeartBeatManager(Config::ConfigManager* config, IHeartBeatMachine* machine,
                                   const HaTimings& timings, AlarmSink alarms)
    : _config(config != nullptr ? config : Config::ConfigManager::Instance()),
      _machine(machine),
      _timings(timings),
      _alarms(std::move(alarms)) {}

HeartBeatManager::~HeartBeatManager() {
  EndHeartBeat();
  // The handshakes were aborted: each ends at once.
  std::vector<std::unique_ptr<HostHandshake>> handshakes;
  {
    MutexGuard guard(_handshakeLock);
    handshakes.swap(_handshakes);
  }
  handshakes.clear();
  std::vector<std::shared_ptr<IHeartBeatLink>> links;
  {
    MutexGuard guard(_linkLock);
    links.swap(_links);
  }
  for (auto& link : links) link->StopThread();
  // Jobs of the links still running may call back into the manager.
  while (_activeJobs.load() > 0) {
    struct timespec pause = {0, 5000000};
    nanosleep(&pause, nullptr);
  }
  links.clear();
  {
    MutexGuard guard(_closerLock);
    _closers.clear();
  }
  MutexGuard guard(_listenerLock);
  _listener.reset();
}

// ---- the link list ---------------------------------------------------------------

std::vector<std::shared_ptr<IHeartBeatLink>> HeartBeatManager::GetHeartBeatLink() {
  MutexGuard guard(_linkLock);
  return _links;
}

std::shared_ptr<IHeartBeatLink> HeartBeatManager::FindHBLinkById(uint16_t id) {
  MutexGuard guard(_linkLock);
  for (auto& link : _links) {
    if (static_cast<uint32_t>(link->GetId()) == static_cast<uint32_t>(id)) return link;
  }
  return nullptr;
}

std::shared_ptr<IHeartBeatLink> HeartBeatManager::FindHBLinkByFullId(int id) {
  MutexGuard guard(_linkLock);
  for (auto& link : _links) {
    if (link->GetId() == id) return link;
  }
  return nullptr;
}

std::shared_ptr<IHeartBeatLink> HeartBeatManager::RemoveHeartBeatLinkById(int id) {
  MutexGuard guard(_linkLock);
  for (auto it = _links.begin(); it != _links.end(); ++it) {
    if ((*it)->GetId() != id) continue;
    std::shared_ptr<IHeartBeatLink> link = *it;
    _links.erase(it);
    return link;
  }
  return nullptr;
}

void HeartBeatManager::AddHeartBeat(Config::HeartBeatLinkConfig* config) {
  MutexGuard guard(_linkLock);
  std::shared_ptr<IHeartBeatLink> link;
  switch (config->GetType()) {
    case Config::HBL_TYPE_TCP:
      link = std::make_shared<TcpHeartBeatLink>(config);
      break;
    case Config::HBL_TYPE_COM:
      link = std::make_shared<ComHeartBeatLink>(config);
      break;
    case Config::HBL_TYPE_QUORUM:
      link = std::make_shared<QuorumHeartBeatLink>(config);
      break;
    default:
      return;
  }
  link->SetManager(this);
  _links.push_back(link);
  link->Start();
}

void HeartBeatManager::AdoptLink(const std::shared_ptr<IHeartBeatLink>& link) {
  MutexGuard guard(_linkLock);
  link->SetManager(this);
  _links.push_back(link);
}

void HeartBeatManager::InitHeartBeat() {
  std::vector<Config::HeartBeatLinkConfig*> records;
  {
    Config::ConfigListEdit<Config::HeartBeatLinkConfig> edit = _config->EditHeartBeatLinkConfig();
    records = edit.List();
  }
  // The links first: the listener hands every connection to one of them.
  for (Config::HeartBeatLinkConfig* record : records) AddHeartBeat(record);
  if (IsHost()) _StartListener();
}

void HeartBeatManager::_StartListener() {
  MutexGuard guard(_listenerLock);
  if (_listener != nullptr) return;
  _listener.reset(new OXProctol::OXTcpListener(HeartBeatPort(), nullptr, nullptr));
  _listener->SetOnConnectionEstablished(this);
  // The handshake greets the peer when it is done, as the responder expects.
  _listener->SetGreets(false);
  _listener->StartListen();
}

void HeartBeatManager::OnHBListenPortModified() {
  if (!IsHost()) return;
  {
    MutexGuard guard(_listenerLock);
    if (_listener != nullptr) {
      _listener->ResetListenPort(HeartBeatPort());
      return;
    }
  }
  _StartListener();
}

// ---- choice and waits -------------------------------------------------------------

std::shared_ptr<IHeartBeatLink> HeartBeatManager::GetOneAvalableHBL() {
  MutexGuard guard(_linkLock);
  std::shared_ptr<IHeartBeatLink> best;
  int16_t bestFailures = 0;
  int32_t bestOrder = 0;
  for (auto& link : _links) {
    if (link->GetStatus() != HBL_STATU_CONNECTED) continue;
    const int16_t failures = static_cast<int16_t>(link->GetFailureCount());
    const int32_t order = link->GetConfig()->GetOrder();
    if (best == nullptr || failures < bestFailures || (failures == bestFailures && order > bestOrder)) {
      best = link;
      bestFailures = failures;
      bestOrder = order;
    }
  }
  return best;
}

bool HeartBeatManager::WaitHeartBeatAlive(unsigned int ms) {
  // A post left from an earlier link-up must not end this wait: only a link
  // usable now, the deadline or a release does. Drained before the first
  // look, so a link-up right after that look keeps its post.
  _aliveSin.Drain();
  if (GetOneAvalableHBL() != nullptr) return true;
  const long long deadline = Framework::Env::Get()->WaitClockMs() + ms;
  for (;;) {
    if (_released.load()) break;
    const long long left = deadline - Framework::Env::Get()->WaitClockMs();
    if (left <= 0) break;
    if (_aliveSin.TimedWait(left) && GetOneAvalableHBL() != nullptr) return true;
  }
  return GetOneAvalableHBL() != nullptr;
}

// ---- notices ----------------------------------------------------------------------

IHeartBeatMachine* HeartBeatManager::_Machine() {
  return _machine != nullptr ? _machine : IHeartBeatMachine::Installed();
}

void HeartBeatManager::NotifyOneHeartBeatLinkEstablised() {
  MutexGuard guard(_CSHB);
  IHeartBeatMachine* machine = _Machine();
  if (machine != nullptr) {
    machine->ResetShutdownNotify();
    machine->ResetOfflineNotify();
  }
  if (_linkUp.load() == 0) {
    _linkUp.store(1);
    OnHeartBeatLinkEstablised();
  }
}

void HeartBeatManager::NotifyOneHeartBeatDisconnected() {
  MutexGuard guard(_CSHB);
  if (GetOneAvalableHBL() != nullptr) return;
  // One check per loss of the last link, also when two links go down at once.
  if (_linkUp.exchange(0) == 1) OnHeartBeatLinkDisconnected();
}

void HeartBeatManager::OnHeartBeatLinkEstablised() {
  EventManager::Instance()->SetMarkTime();
  _aliveSin.Post();
}

void HeartBeatManager::OnHeartBeatLinkDisconnected() {
  IHeartBeatMachine* machine = _Machine();
  if (machine != nullptr) machine->RequestFailureCheck();
}

void HeartBeatManager::OnTerminationReleaseHBAliveSin() {
  _released.store(true);
  _aliveSin.Post();
}

void HeartBeatManager::EndHeartBeat() {
  {
    MutexGuard guard(_listenerLock);
    if (_listener != nullptr) {
      _listener->StopListen();
      _listener->DisconnectAllConnection();
    }
  }
  {
    MutexGuard guard(_handshakeLock);
    _handshakesClosed = true;
    for (auto& run : _handshakes) run->Abort();
  }
  MutexGuard guard(_linkLock);
  for (auto& link : _links) link->RequestExit();
}

// ---- host side of the handshake -----------------------------------------------------

void HeartBeatManager::OnConnectionEstablished(IOXConnection* connection) {
  const std::string address = connection->GetRemoteAddr();
  {
    MutexGuard guard(_handshakeLock);
    _ReapHandshakes();
    int& fromAddress = _handshakesByAddress[address];
    if (!_handshakesClosed && _handshakesInFlight < MAX_HANDSHAKES && fromAddress < MAX_HANDSHAKES_PER_ADDRESS) {
      std::unique_ptr<HostHandshake> run(new HostHandshake(this, connection, address));
      if (run->Start()) {
        ++_handshakesInFlight;
        ++fromAddress;
        _handshakes.push_back(std::move(run));
        return;
      }
    }
    if (fromAddress == 0) _handshakesByAddress.erase(address);
  }
  EventManager::Instance()->Debug("心跳握手过多，关闭来自" + address + "的连接");
  connection->Disconnect();
}

int HeartBeatManager::HandshakesInFlight() {
  MutexGuard guard(_handshakeLock);
  return _handshakesInFlight;
}

void HeartBeatManager::_HandshakeEnded(HostHandshake* run) {
  MutexGuard guard(_handshakeLock);
  run->Release();
  --_handshakesInFlight;
  auto found = _handshakesByAddress.find(run->Address());
  if (found != _handshakesByAddress.end() && --found->second <= 0) _handshakesByAddress.erase(found);
}

void HeartBeatManager::_ReapHandshakes() {
  // A run that is done only returns from its thread: joining it is quick.
  for (auto it = _handshakes.begin(); it != _handshakes.end();) {
    if ((*it)->IsDone())
      it = _handshakes.erase(it);
    else
      ++it;
  }
}

void HeartBeatManager::OnLinkConnectionOpened(IHeartBeatLink* owner, IOXConnection* connection) {
  _Handshake(connection, owner);
}

void HeartBeatManager::_Handshake(IOXConnection* connection, IHeartBeatLink* owner) {
  const bool linkOwned = owner != nullptr;
  try {
    const std::string nonceText = HandshakeToken::NonceText(HandshakeToken::NewNonce());
    std::string* answer = nullptr;
    try {
      answer = connection->Request(HandshakeToken::WHO_ARE_YOU, nonceText, static_cast<int>(_timings.whoAreYouTimeoutMs));
    } catch (Exception* e) {
      if (e->code != "SINGLE_OBJ") throw;
      delete e;  // no answer in time
    }
    if (answer == nullptr) {
      connection->Disconnect();
      return;
    }
    std::vector<std::string> lines = Framework::Convert::tokenize(*answer, "\n", false, "");
    delete answer;
    if (lines.size() < 6 || lines[0] != PeerProtocol::OK) {
      connection->Disconnect();
      return;
    }
    PostEvent(0, "DEBUG", "新的连接，序号：" + lines[1]);
    std::shared_ptr<IHeartBeatLink> link =
        FindHBLinkById(static_cast<uint16_t>(Framework::Convert::StringToInt(lines[1])));
    if (link == nullptr || (linkOwned ? link.get() != owner : link->GetType() != Config::HBL_TYPE_TCP)) {
      // The peer names a link this node does not have, or one of another
      // kind: the connection cannot serve it.
      connection->Disconnect();
      return;
    }
    Config::HeartBeatLinkConfig* record = link->GetConfig();
    if (lines[2] != HandshakeToken::Digest(record->GetKeyA(), nonceText)) {
      PostEvent(0, "DEBUG", "Send HA_TOKENB_ERROR");
      connection->SendPack(new OXPack(OXPack::PackKind::PUSH, HandshakeToken::TOKENB_ERROR, ""));
      if (!linkOwned) _CloseAfterGrace(connection);
      return;
    }
    std::string* verdict = nullptr;
    try {
      verdict = connection->Request(HandshakeToken::VALID_TOKEN_B, HandshakeToken::Digest(record->GetKeyB(), lines[5]),
                                    static_cast<int>(_timings.validTokenTimeoutMs));
    } catch (Exception* e) {
      if (e->code != "SINGLE_OBJ") throw;
      delete e;
    }
    const bool accepted = verdict != nullptr && *verdict == PeerProtocol::OK;
    delete verdict;
    if (!accepted) {
      connection->Disconnect();
      return;
    }
    bool adopted;
    {
      // Two validated connections of one link are handed over one at a time.
      MutexGuard guard(_adoptLock);
      adopted = link->NotifyNewConnected(connection);
    }
    if (!adopted && !linkOwned) _CloseAfterGrace(connection);
  } catch (Exception* e) {
    connection->Disconnect();
    delete e;
  }
}

void HeartBeatManager::_CloseAfterGrace(IOXConnection* connection) {
  // Called by the handshake, which holds the connection pinned: the closer
  // becomes its disconnect listener unless the loss was told already.
  MutexGuard guard(_closerLock);
  for (auto it = _closers.begin(); it != _closers.end();) {
    if ((*it)->IsDone())
      it = _closers.erase(it);
    else
      ++it;
  }
  std::unique_ptr<GraceCloser> closer(new GraceCloser(connection, _timings.graceCloseMs));
  closer->Start();
  _closers.push_back(std::move(closer));
}

// ---- settings and seams -------------------------------------------------------------

bool HeartBeatManager::IsHost() {
  const uint16_t role = _config->GetHeartBeatGlobalConfig()->GetHostRole();
  if (role > 1 && !_hostRoleNoted.exchange(true))
    EventManager::TrackLog("心跳设置的主机标志为" + std::to_string(role) + "，按非主机处理");
  return role == 1;
}

uint16_t HeartBeatManager::HeartBeatPort() {
  return static_cast<uint16_t>(_config->GetHeartBeatGlobalConfig()->GetPort() & 0xFFFF);
}

void HeartBeatManager::RaiseAlarm(int kind, const std::string& text) {
  if (_alarms)
    _alarms(kind, text);
  else
    Alarm::OXAlarm(kind, text);
}

OXProctol::OXTcpListener* HeartBeatManager::GetListener() {
  MutexGuard guard(_listenerLock);
  return _listener.get();
}

void HeartBeatManager::SetJobInvoker(JobInvoker invoker) {
  MutexGuard guard(_invokerLock);
  _invoker = std::move(invoker);
}

void HeartBeatManager::InvokeJob(Framework::IOXThreadPoolExec* job) {
  JobInvoker invoker;
  {
    MutexGuard guard(_invokerLock);
    invoker = _invoker;
  }
  if (invoker)
    invoker(job);
  else
    Framework::OXThreadPool::Instance()->Invoke(job);
}

// ---- requests to the peer ------------------------------------------------------

namespace {

// A time-out in ms as IOXConnection::Request takes it.
int RequestMs(unsigned long long ms) { return ms > INT_MAX ? INT_MAX : static_cast<int>(ms); }

// A tree status: a decimal number -1..5 filling the whole text.
bool ReadTreeStatu(const std::string& text, int* statu) {
  if (text.empty() || text.size() > 11) return false;
  const size_t digits = text[0] == '-' ? 1 : 0;
  if (digits == text.size() || text.find_first_not_of("0123456789", digits) != std::string::npos) return false;
  const long value = std::strtol(text.c_str(), nullptr, 10);
  if (value < Resource::RES_TREE_UNINIT || value > Resource::RES_TREE_ENDED) return false;
  *statu = static_cast<int>(value);
  return true;
}

// An unsigned 64-bit decimal number filling the whole text; 0 when it is not one.
uint64_t ReadFigure(const std::string& text) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return 0;
  errno = 0;
  const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
  return errno == ERANGE ? 0 : static_cast<uint64_t>(value);
}

std::string Line(const std::string& first, const std::string& second) { return first + "\n" + second; }

}  // namespace

std::string* HeartBeatManager::SendRequest(const std::string& command, const std::string& body, int ms) {
  std::shared_ptr<IHeartBeatLink> link = GetOneAvalableHBL();
  if (!link) throw new Exception("HBL_NULL", "心跳连接不存在，可能对机已死！");
  std::cout << "Use heartbeat communicate by link: " << link->GetName() << std::endl;
  IOXConnection* connection = link->PinConnection();
  if (connection == nullptr) throw new Exception("OXPROCTOL", "连接已经断开，无法发送数据！");
  std::string* answer = nullptr;
  try {
    answer = connection->Request(command, body, ms);
  } catch (Exception* e) {
    IHeartBeatLink::Unpin(connection);
    // No answer within ms counts as none.
    if (e->code != "SINGLE_OBJ") throw;
    delete e;
    return nullptr;
  }
  IHeartBeatLink::Unpin(connection);
  return answer;
}

void HeartBeatManager::SendPush(const std::string& command, const std::string& body) {
  std::shared_ptr<IHeartBeatLink> link = GetOneAvalableHBL();
  if (!link) throw new Exception("HBL_NULL", "心跳连接不存在，可能对机已死！");
  IOXConnection* connection = link->PinConnection();
  if (connection == nullptr) throw new Exception("OXPROCTOL", "连接已经断开，无法发送数据！");
  try {
    connection->SendPack(new OXPack(OXPack::PackKind::PUSH, command, body));
  } catch (Exception*) {
    IHeartBeatLink::Unpin(connection);
    throw;
  }
  IHeartBeatLink::Unpin(connection);
}

std::string HeartBeatManager::GetReqRetString(HB_REQ_RET ret) {
  switch (ret) {
    case HB_REQ_OK:
      return "成功";
    case HB_REQ_TIMEOUT:
      return "等待对机的响应封包超时";
    case HB_REQ_NO_LINK:
      return "心跳连接不存在";
    case HB_REQ_REFUSED:
      return "请求被拒绝";
  }
  return "N/A";
}

HB_REQ_RET HeartBeatManager::_Ask(const std::string& command, const std::string& body, int ms, size_t linesRead,
                                  std::vector<std::string>* lines) {
  std::string* answer = nullptr;
  try {
    answer = SendRequest(command, body, ms);
  } catch (Exception* e) {
    delete e;
    return HB_REQ_NO_LINK;
  }
  if (answer == nullptr) return HB_REQ_TIMEOUT;
  std::vector<std::string> got = Framework::Convert::tokenize(*answer, "\n", false, "");
  delete answer;
  if (got.empty() || got[0] != PeerProtocol::OK) return HB_REQ_REFUSED;
  // An "OK" without the lines the operation reads gives it nothing to read.
  if (got.size() < 1 + linesRead) return HB_REQ_REFUSED;
  if (lines != nullptr) lines->swap(got);
  return HB_REQ_OK;
}

HB_REQ_RET HeartBeatManager::RequestStopResourceTree(const std::string& guid, unsigned int ms, bool manual) {
  return _Ask(PeerProtocol::RES_StopTree, Line(guid, manual ? PeerProtocol::STOP_MANUAL : PeerProtocol::STOP_AUTOMATIC),
              RequestMs(ms), 0, nullptr);
}

HB_REQ_RET HeartBeatManager::GetTryWaitResourceTreeStableStatu(const std::string& guid, unsigned int ms,
                                                               Resource::OX_RESTREE_STATU* statu) {
  *statu = Resource::RES_TREE_UNINIT;
  std::vector<std::string> lines;
  const HB_REQ_RET ret =
      _Ask(PeerProtocol::RES_GetTryWaitResourceTreeStableStatu, Line(guid, std::to_string(ms)),
           RequestMs(static_cast<unsigned long long>(ms) * PeerProtocol::STABLE_STATU_TIMEOUT_FACTOR), 1, &lines);
  int value = 0;
  // A status that cannot be read stays -1 (not stable): the caller asks again.
  if (ret == HB_REQ_OK && ReadTreeStatu(lines[1], &value)) *statu = static_cast<Resource::OX_RESTREE_STATU>(value);
  return ret;
}

HB_REQ_RET HeartBeatManager::CanProcessBS(const std::string& mirrorName, bool& out) {
  std::vector<std::string> lines;
  const HB_REQ_RET ret = _Ask(PeerProtocol::BS_CAN_PROCESS, mirrorName, PeerProtocol::BS_CAN_PROCESS_TIMEOUT_MS, 1, &lines);
  if (ret == HB_REQ_OK) out = lines[1] == PeerProtocol::BS_ALLOWED;
  return ret;
}

HB_REQ_RET HeartBeatManager::NotifyBSStatus(const std::string& mirrorName) {
  return _Ask(PeerProtocol::BS_NOTIFY, mirrorName, PeerProtocol::BS_NOTIFY_TIMEOUT_MS, 0, nullptr);
}

HB_REQ_RET HeartBeatManager::GetBSData(const std::string& mirrorName, uint64_t* first, uint64_t* second) {
  std::vector<std::string> lines;
  const HB_REQ_RET ret = _Ask(PeerProtocol::BS_GETDATA, mirrorName, PeerProtocol::BS_GETDATA_TIMEOUT_MS, 2, &lines);
  if (ret == HB_REQ_OK) {
    *first = ReadFigure(lines[1]);
    *second = ReadFigure(lines[2]);
  }
  return ret;
}

HB_REQ_RET HeartBeatManager::SetBSOperation(const std::string& mirrorName, bool keep) {
  return _Ask(PeerProtocol::BS_SET_OPERATION, Line(mirrorName, keep ? PeerProtocol::BS_KEEP : PeerProtocol::BS_DISCARD),
              PeerProtocol::BS_SET_OPERATION_TIMEOUT_MS, 0, nullptr);
}

HB_REQ_RET HeartBeatManager::RequestExecTest() {
  return _Ask(PeerProtocol::RES_REQUEST_EXEC_TEST, "", PeerProtocol::EXEC_TEST_TIMEOUT_MS, 0, nullptr);
}

HB_REQ_RET HeartBeatManager::NotifySystemShutdown() {
  return _Ask(PeerProtocol::SYS_Shutdown, "", PeerProtocol::SYSTEM_SHUTDOWN_TIMEOUT_MS, 0, nullptr);
}

HB_REQ_RET HeartBeatManager::NotifyOffline() {
  return _Ask(PeerProtocol::SYS_Offline, "", PeerProtocol::OFFLINE_TIMEOUT_MS, 0, nullptr);
}

HB_REQ_RET HeartBeatManager::GetRemoteMachineIsRunningStatu(bool& out) {
  std::vector<std::string> lines;
  const HB_REQ_RET ret =
      _Ask(PeerProtocol::MAC_GetRemoteMachineIsRunningStatu, "", PeerProtocol::MACHINE_IS_RUNNING_TIMEOUT_MS, 1, &lines);
  if (ret == HB_REQ_OK) out = lines[1] == PeerProtocol::TRUE_WORD;
  return ret;
}

HB_REQ_RET HeartBeatManager::GetIsRemoteFirstBootDone(bool& out) {
  std::vector<std::string> lines;
  const HB_REQ_RET ret =
      _Ask(PeerProtocol::MAC_GetIsFirstBootDone, "", static_cast<int>(_timings.firstBootRequestMs), 1, &lines);
  if (ret == HB_REQ_OK) out = lines[1] == PeerProtocol::TRUE_WORD;
  return ret;
}

HB_REQ_RET HeartBeatManager::GetResourceTreeIsHold(const std::string& guid, bool& out) {
  std::vector<std::string> lines;
  const HB_REQ_RET ret =
      _Ask(PeerProtocol::MAC_GetResourceTreeIsHold, guid, static_cast<int>(_timings.holdRequestMs), 1, &lines);
  if (ret == HB_REQ_OK) out = lines[1] == PeerProtocol::TRUE_WORD;
  return ret;
}

HB_REQ_RET HeartBeatManager::RequestTakeoverNotify(const std::string& guid, unsigned int ms) {
  return _Ask(PeerProtocol::RES_RequestTakeoverNotify, guid, RequestMs(ms), 0, nullptr);
}

HB_REQ_RET HeartBeatManager::RequestTakeover(const std::string& guids, unsigned int ms) {
  return _Ask(PeerProtocol::RES_RequestTakeover, guids, RequestMs(ms), 0, nullptr);
}

HB_REQ_RET HeartBeatManager::RequestRebootComputer(unsigned int) {
  EventManager::Instance()->Debug("Opps 这个功能还没有做！");
  return HB_REQ_REFUSED;
}

// ---- what the peer's requests reach ----------------------------------------------

void HeartBeatManager::SetDrbdRecovery(IDrbdRecovery* drbd) { _drbd.store(drbd); }

IDrbdRecovery* HeartBeatManager::GetDrbdRecovery() {
  IDrbdRecovery* drbd = _drbd.load();
  return drbd != nullptr ? drbd : DrbdHelperRecovery::Instance();
}

void HeartBeatManager::SetBSNoticeReceiver(IBSNoticeReceiver* receiver) { _bsReceiver.store(receiver); }

IBSNoticeReceiver* HeartBeatManager::GetBSNoticeReceiver() {
  IBSNoticeReceiver* receiver = _bsReceiver.load();
  return receiver != nullptr ? receiver : IBSNoticeReceiver::Installed();
}

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale
