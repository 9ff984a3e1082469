#include "core/HeartBeatManager.h"

#include <time.h>

#include "alarm/AlarmManager.h"
#include "config/ConfigManager.h"
#include "config/HeartBeatGlobalConfig.h"
#include "config/HeartBeatLinkConfig.h"
#include "core/ComHeartBeatLink.h"
#include "core/GraceCloser.h"
#include "core/HandshakeToken.h"
#include "core/IHeartBeatLink.h"
#include "core/IHeartBeatMachine.h"
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

long long NowMs() {
  struct timespec now;
  clock_gettime(Framework::Env::Get()->WaitClock(), &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

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
  std::vector<std::shared_ptr<IHeartBeatLink>> links;
  {
    MutexGuard guard(_linkLock);
    links.swap(_links);
  }
  for (auto& link : links) link->_StopThread();
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
  if (GetOneAvalableHBL() != nullptr) return true;
  // A post left from an earlier link-up must not end this wait: only a link
  // usable now, the deadline or a release does.
  _aliveSin.Drain();
  const long long deadline = NowMs() + ms;
  for (;;) {
    if (_released.load()) break;
    const long long left = deadline - NowMs();
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
  MutexGuard guard(_linkLock);
  for (auto& link : _links) link->RequestExit();
}

// ---- host side of the handshake -----------------------------------------------------

void HeartBeatManager::OnConnectionEstablished(IOXConnection* connection) { _Handshake(connection, false); }

void HeartBeatManager::OnLinkConnectionOpened(IOXConnection* connection) { _Handshake(connection, true); }

void HeartBeatManager::_Handshake(IOXConnection* connection, bool linkOwned) {
  try {
    const std::string nonceText = HandshakeToken::NonceText(HandshakeToken::NewNonce());
    std::string* answer = nullptr;
    try {
      answer = connection->Request(HandshakeToken::WHO_ARE_YOU, nonceText, HandshakeToken::WHO_ARE_YOU_TIMEOUT_MS);
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
    if (lines.size() < 6 || lines[0] != "OK") {
      connection->Disconnect();
      return;
    }
    PostEvent(0, "DEBUG", "新的连接，序号：" + lines[1]);
    std::shared_ptr<IHeartBeatLink> link =
        FindHBLinkById(static_cast<uint16_t>(Framework::Convert::StringToInt(lines[1])));
    if (link == nullptr) {
      // The peer names a link this node does not have.
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
                                    HandshakeToken::VALID_TOKEN_B_TIMEOUT_MS);
    } catch (Exception* e) {
      if (e->code != "SINGLE_OBJ") throw;
      delete e;
    }
    const bool accepted = verdict != nullptr && *verdict == "OK";
    delete verdict;
    if (!accepted) {
      connection->Disconnect();
      return;
    }
    if (!link->NotifyNewConnected(connection) && !linkOwned) _CloseAfterGrace(connection);
  } catch (Exception* e) {
    connection->Disconnect();
    delete e;
  }
}

void HeartBeatManager::_CloseAfterGrace(IOXConnection* connection) {
  // Called on the listener's accept thread while it holds its connection
  // lock: the connection cannot have reported its loss yet, so the closer
  // becomes its disconnect listener in time.
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

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale
