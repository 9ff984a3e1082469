#include "core/IHeartBeatLink.h"

#include <time.h>

#include <algorithm>

#include "alarm/AlarmManager.h"
#include "config/ConfigManager.h"
#include "config/HeartBeatGlobalConfig.h"
#include "config/HeartBeatLinkConfig.h"
#include "core/HBPackExec.h"
#include "core/HandshakeToken.h"
#include "core/PeerProtocol.h"
#include "core/HeartBeatManager.h"
#include "entity/HeartBeatEntity.h"
#include "framework/AsyncExecutor.h"
#include "framework/Convert.h"
#include "framework/Env.h"
#include "framework/EventManager.h"
#include "framework/Exception.h"
#include "framework/MutexGuard.h"
#include "protocol/IOXConnection.h"
#include "protocol/OXPack.h"

namespace Oxbrindale {
namespace Velmora {
namespace Core {

using Framework::EventManager;

using Framework::MutexGuard;
using OXProctol::IOXConnection;
using OXProctol::OXPack;

namespace {

const char* const INVALID_TRANSITION = "状态非法，无法转换状态！";

void PostEvent(int kind, const std::string& source, const std::string& text) {
  try {
    EventManager::Instance()->Notify(kind, source, text);
  } catch (Exception* e) {
    delete e;
  }
}

void PostLinkChanged(int id) {
  try {
    EventManager::Instance()->NotifyHeartBeatLinkChanged(static_cast<unsigned int>(id));
  } catch (Exception* e) {
    delete e;
  }
}

// Clears every call-back of connection into a link.
void Unhook(IOXConnection* connection) {
  connection->disconnectedListener.store(nullptr);
  connection->SetPushProcessor(nullptr);
  connection->SetRequestProcessor(nullptr);
}

// Raises the connection's busyCount, so it stays until Unpin.
void Pin(IOXConnection* connection) {
  MutexGuard busy(connection->busyLock);
  ++connection->busyCount;
}

// After Unhook, outside every lock of the link: waits until no call-back of
// the connection that read the link before the Unhook is still on its way
// into it, then lets the connection go.
void Settle(IOXConnection* connection) {
  if (connection == nullptr) return;
  connection->WaitCallbacksOut();
  IHeartBeatLink::Unpin(connection);
}

}  // namespace

// Counts one connection call-back inside the link, so that the destructor
// waits until none is.
class IHeartBeatLink::CallbackMark {
 public:
  explicit CallbackMark(std::atomic<int>& count) : count_(count) { count_.fetch_add(1); }
  ~CallbackMark() { count_.fetch_sub(1); }
  CallbackMark(const CallbackMark&) = delete;
  CallbackMark& operator=(const CallbackMark&) = delete;

 private:
  std::atomic<int>& count_;
};

IHeartBeatLink::IHeartBeatLink(Config::HeartBeatLinkConfig* config)
    : _config(config), _executor(new Framework::AsyncExecutor(this, "心跳-" + config->GetName())) {}

IHeartBeatLink::~IHeartBeatLink() {
  StopThread();
  _detached.store(true);
  IOXConnection* leftover = nullptr;
  {
    // A listener's connection the thread left hooked (none normally:
    // _Proc1_Exit unhooks it).
    MutexGuard guard(_connLock);
    if (_connection != nullptr && !_ownsConnection) {
      Unhook(_connection);
      Pin(_connection);
      leftover = _connection;
    }
    _connection = nullptr;
  }
  Settle(leftover);
  while (_callbacks.load() > 0) {
    struct timespec pause = {0, 1000000};
    nanosleep(&pause, nullptr);
  }
  _executor.reset();
}

void IHeartBeatLink::StopThread() {
  if (_executor == nullptr || _executor->GetState() != Framework::AsyncExecutor::STATE_RUNNING) return;
  const long waitMs = _manager != nullptr ? _manager->Timings().linkExitWaitMs : HaTimings().linkExitWaitMs;
  do {
    RequestExit();
  } while (!_executor->WaitExited(waitMs));
}

// ---- thread ---------------------------------------------------------------

int IHeartBeatLink::Run() {
  ChangeStatus(HBL_STATU_IDLE);
  for (;;) {
    if (IsStopping()) break;
    _WaitWake(_manager->GetConfig()->GetHeartBeatGlobalConfig()->GetBeatInterval());
    if (IsStopping()) break;
    if (_modified.exchange(false)) _PauseUnlessStopping(_manager->Timings().modifiedPauseMs);
    switch (_pendOp.load()) {
      case HBL_OP_TRYCONNECT:
        _failures.store(0);
        _Proc2_TryConnect();
        break;
      case HBL_OP_WATCH:
        _Proc3_Watch();
        break;
      case HBL_OP_DISCONNECT:
        _Proc4_Disconnect();
        break;
      case HBL_OP_PAUSE:
        _PauseUnlessStopping(_manager->Timings().pauseOpMs);
        break;
      default:
        break;
    }
  }
  _Proc1_Exit();
  ChangeStatus(HBL_STATU_EXITED);
  return 0;
}

void IHeartBeatLink::CallStop() {
  _pendOp.store(HBL_OP_EXIT);
  _wake.Post();
}

void IHeartBeatLink::Start() {
  if (_status.load() != HBL_STATU_NEW || _executor->GetState() != Framework::AsyncExecutor::STATE_IDLE)
    throw new Exception("HB_INVALID_STATU", "心跳连接状态非法，无法启动有限自动机！");
  _pendOp.store(HBL_OP_TRYCONNECT);
  _executor->Start();
  _wake.Post();
}

void IHeartBeatLink::RequestExit() {
  _pendOp.store(HBL_OP_EXIT);
  _stop.store(true);
  _stopSin.Post();
  _wake.Post();
}

void IHeartBeatLink::SetPendOperation(uint16_t op) {
  _pendOp.store(op);
  _wake.Post();
}

bool IHeartBeatLink::_WaitWake(long ms) { return _wake.TimedWait(ms < 0 ? 0 : ms); }

void IHeartBeatLink::_PauseUnlessStopping(long ms) {
  if (ms <= 0 || IsStopping()) return;
  if (_stopSin.TimedWait(ms)) _stopSin.Post();  // later pauses end at once too
}

void IHeartBeatLink::_SetRetryDelay(long ms) {
  const long long at = Framework::Env::Get()->WaitClockMs() + ms;
  long long current = _retryNotBefore.load();
  while (current < at && !_retryNotBefore.compare_exchange_weak(current, at)) {
  }
}

void IHeartBeatLink::_HonourRetryDelay() {
  const long long at = _retryNotBefore.exchange(0);
  if (at == 0) return;
  const long long left = at - Framework::Env::Get()->WaitClockMs();
  if (left > 0) _PauseUnlessStopping(static_cast<long>(left));
}

void IHeartBeatLink::_Proc1_Exit() {
  const uint16_t before = _status.exchange(HBL_STATU_EXITING);
  if (before != HBL_STATU_EXITING) DebugNotify("状态变更为->" + std::to_string(HBL_STATU_EXITING));
  bool owned = false;
  IOXConnection* connection = _TakeConnection(true, owned);
  if (before == HBL_STATU_CONNECTED) _manager->NotifyOneHeartBeatDisconnected();
  if (connection != nullptr && owned) delete connection;
}

void IHeartBeatLink::_Proc2_TryConnect() {
  if (_status.load() >= HBL_STATU_EXITING) {
    DebugNotify("无法执行操作：TryConnect，有限自动机中不含有该路径!");
    _pendOp.store(HBL_OP_NONE);
    return;
  }
  ChangeStatus(HBL_STATU_CONNECTING);
  _HonourRetryDelay();
  if (IsStopping() || _pendOp.load() != HBL_OP_TRYCONNECT) return;
  EstablishAConnection();
}

void IHeartBeatLink::_Proc3_Watch() {
  const uint16_t status = _status.load();
  if (status == HBL_STATU_CONNECTING) {
    DebugNotify("自动修复心跳连接状态为一个合法的状态！");
    _pendOp.store(HBL_OP_TRYCONNECT);
    return;
  }
  if (status != HBL_STATU_CONNECTED) {
    DebugNotify("无法执行操作：Watch，有限自动机中不含有该路径!");
    return;
  }
  for (;;) {
    IOXConnection* connection = PinConnection();
    if (connection == nullptr) {
      _pendOp.store(HBL_OP_TRYCONNECT);
      return;
    }
    const bool good = _Beat(connection);
    if (good) {
      Unpin(connection);
      if (_failures.exchange(0) != 0) PostLinkChanged(GetId());
      return;
    }
    uint16_t failures;
    {
      // A beat on a connection that was replaced meanwhile says nothing about
      // the link any more.
      MutexGuard guard(_connLock);
      if (connection != _connection) {
        Unpin(connection);
        return;
      }
      failures = static_cast<uint16_t>(_failures.fetch_add(1) + 1);
      _connFailures.fetch_add(1);
    }
    const uint16_t maxFailures = _manager->GetConfig()->GetHeartBeatGlobalConfig()->GetMaxFailCount();
    if (failures > maxFailures) {
      DebugNotify("FailureCount=" + std::to_string(failures) + " 到达最大FailureCount=" + std::to_string(maxFailures));
      OnConnectionDisconnected(connection);
      Unpin(connection);
      KillConnection();
      return;
    }
    Unpin(connection);
    PostLinkChanged(GetId());
    if (_status.load() != HBL_STATU_CONNECTED || IsStopping()) return;
  }
}

void IHeartBeatLink::_Proc4_Disconnect() {
  const uint16_t status = _status.load();
  if (status == HBL_STATU_CONNECTING || status == HBL_STATU_CONNECTED) {
    KillConnection();
    ChangeStatus(HBL_STATU_IDLE);
  } else {
    DebugNotify("无法执行操作：4，有限自动机中不含有该路径!");
    _pendOp.store(HBL_OP_NONE);
  }
}

bool IHeartBeatLink::_Beat(IOXConnection* connection) {
  std::string* answer = nullptr;
  try {
    answer = connection->Request(HandshakeToken::HEART_BEAT, HandshakeToken::BEAT_BODY,
                                 _manager->GetConfig()->GetHeartBeatGlobalConfig()->GetBeatTimeout());
  } catch (Exception* e) {
    // "SINGLE_OBJ" (no answer in time) and a lost connection alike.
    EventManager::Instance()->Debug(e->message);
    delete e;
    return false;
  }
  const bool good = answer != nullptr && *answer == HandshakeToken::BEAT_ANSWER;
  delete answer;
  return good;
}

void IHeartBeatLink::_OnLost() {
  {
    MutexGuard guard(_stateLock);
    if (_status.load() != HBL_STATU_CONNECTED) return;
    DebugNotify("收到 OnConnectionDisconnected 正在变更状态。");
    ChangeStatus(HBL_STATU_CONNECTING);
  }
  DebugNotify("Before NotifyHeartBeatLinkChanged。");
  PostLinkChanged(GetId());
  DebugNotify("Before NotifyOneHeartBeatDisconnected。");
  _manager->NotifyOneHeartBeatDisconnected();
  _manager->RaiseAlarm(6, "心跳连接\"" + GetName() + "\"已经断开了，正在尝试重新建立本心跳连接！");
  _SetRetryDelay(_manager->Timings().afterLossMs);
  _connFailures.store(0);
  SetPendOperation(HBL_OP_TRYCONNECT);
}

// ---- connection call-backs --------------------------------------------------

void IHeartBeatLink::OnConnectionDisconnected(IOXConnection* connection) {
  CallbackMark mark(_callbacks);
  if (_detached.load()) return;
  bool current;
  {
    MutexGuard guard(_connLock);
    current = connection == _connection;
    // A listener's connection is deleted by the listener once this call
    // returns: forget it now. A connection of the link's own stays until the
    // link thread replaces it; a stale one is never deleted here.
    if (current && !_ownsConnection) {
      Unhook(connection);
      _connection = nullptr;
    }
  }
  if (!current) return;
  if (_status.load() == HBL_STATU_CONNECTED) _OnLost();
}

void IHeartBeatLink::OnReceivedPushPack(IOXConnection*, OXPack* pack) {
  CallbackMark mark(_callbacks);
  if (_detached.load()) return;
  DebugNotify("收到推送：" + pack->command);
  const uint16_t status = _status.load();
  if (status == HBL_STATU_CONNECTED && pack->command == HandshakeToken::INVALID_STATU) {
    _SetRetryDelay(_manager->Timings().refusedMs);
    KillConnection();
    DebugNotify("连接被拒，5秒后重新尝试！");
  } else if (status == HBL_STATU_CONNECTED && pack->command == PeerProtocol::MSG) {
    PostEvent(-1, "MSG", pack->body);
  } else if (status != HBL_STATU_CONNECTED && pack->command == HandshakeToken::TOKENB_ERROR) {
    OnTokenValidationError();
    KillConnection();
  }
}

void IHeartBeatLink::OnReceivedRequestPack(IOXConnection* connection, OXPack* pack) {
  CallbackMark mark(_callbacks);
  if (_detached.load()) return;
  if (pack->command == HandshakeToken::HEART_BEAT && _status.load() != HBL_STATU_CONNECTING) {
    // Beats never wait behind slow jobs in the pool.
    connection->SendResponsePack(HandshakeToken::RESPONSE_COMMAND, HandshakeToken::BEAT_ANSWER, pack->packId);
    return;
  }
  std::shared_ptr<IHeartBeatLink> self = weak_from_this().lock();
  if (self == nullptr) return;  // not shared-owned: nobody may keep it for a job
  {
    MutexGuard guard(connection->busyLock);
    ++connection->busyCount;
  }
  HBPackExec* job = new HBPackExec(self, connection, pack);
  try {
    _manager->InvokeJob(job);
  } catch (Exception* e) {
    DebugNotify("请求任务无法排队：" + e->message);
    delete e;
    delete job;  // lowers the count again
  }
}

// ---- handshake ----------------------------------------------------------------

bool IHeartBeatLink::NotifyNewConnected(IOXConnection* connection) {
  const uint16_t status = _status.load();
  if (status == HBL_STATU_CONNECTING) {
    if (GetType() == Config::HBL_TYPE_TCP) KillConnection();
    IOXConnection* previous = nullptr;
    {
      MutexGuard guard(_connLock);
      if (_connection != connection) {
        // Unhook the previous connection first: its loss must not reach the
        // link once the new one is in place.
        if (_connection != nullptr) {
          Unhook(_connection);
          if (!_ownsConnection) {
            _connection->Disconnect();
            Pin(_connection);
            previous = _connection;
          }
        }
        // A serial or quorum link hands over the connection it opened
        // itself, so a different one is always a listener's.
        _ownsConnection = false;
      }
      connection->SetPushProcessor(this);
      connection->SetRequestProcessor(this);
      _connection = connection;
    }
    Settle(previous);
    PostLinkChanged(GetId());
    {
      MutexGuard guard(_stateLock);
      ChangeStatus(HBL_STATU_CONNECTED);
      _pendOp.store(HBL_OP_WATCH);
    }
    _manager->NotifyOneHeartBeatLinkEstablised();
    _connFailures.store(0);
    _manager->RaiseAlarm(6, "心跳连接\"" + GetName() + "\"已经建立了！");
    _wake.Post();
    _HookLoss(connection);
    return true;
  }
  if (status == HBL_STATU_CONNECTED && _failures.load() != 0) {
    IOXConnection* old;
    bool oldOwned;
    {
      MutexGuard guard(_connLock);
      old = _connection;
      oldOwned = _ownsConnection;
      if (old != nullptr) {
        Unhook(old);
        old->Disconnect();
        Pin(old);
      }
      connection->SetPushProcessor(this);
      connection->SetRequestProcessor(this);
      _connection = connection;
      _ownsConnection = false;
    }
    Settle(old);
    if (old != nullptr && oldOwned && old != connection) delete old;
    _failures.store(0);
    _connFailures.store(0);
    DebugNotify("更替了心跳连接！");
    _manager->RaiseAlarm(11, "心跳连接\"" + GetName() + "\"发生了更替操作！");
    _HookLoss(connection);
    return true;
  }
  DebugNotify("拒绝了对方的心跳连接请求！我的状态" + std::to_string(status));
  try {
    connection->SendPack(new OXPack(OXPack::PackKind::PUSH, HandshakeToken::INVALID_STATU, std::to_string(status)));
  } catch (Exception* e) {
    delete e;
  }
  return false;
}

void IHeartBeatLink::_HookLoss(IOXConnection* connection) {
  // Last: a loss told from here on finds the link connected on it. A loss
  // told before (while the handshake still ran) is handled here as if it
  // came now.
  if (!connection->HookDisconnectedListener(this)) OnConnectionDisconnected(connection);
}

void IHeartBeatLink::OnTokenValidacionSuccess() {
  {
    MutexGuard guard(_stateLock);
    if (_status.load() != HBL_STATU_CONNECTING) {
      DebugNotify(INVALID_TRANSITION);
      return;
    }
    _pendOp.store(HBL_OP_WATCH);
    ChangeStatus(HBL_STATU_CONNECTED);
  }
  _manager->NotifyOneHeartBeatLinkEstablised();
  _wake.Post();
}

void IHeartBeatLink::OnTokenValidationError() {
  {
    MutexGuard guard(_stateLock);
    if (_status.load() != HBL_STATU_CONNECTING) {
      DebugNotify(INVALID_TRANSITION);
      return;
    }
    _pendOp.store(HBL_OP_TRYCONNECT);
  }
  _SetRetryDelay(_manager->Timings().tokenErrorMs);
  _wake.Post();
}

uint64_t IHeartBeatLink::NewHandshakeNonce(IOXConnection* connection) {
  const uint64_t nonce = HandshakeToken::NewNonce();
  MutexGuard guard(_stateLock);
  _nonceConnection = connection;
  _nonce = nonce;
  _noncePending = true;
  return nonce;
}

bool IHeartBeatLink::TakeHandshakeNonce(IOXConnection* connection, uint64_t* nonce) {
  MutexGuard guard(_stateLock);
  if (!_noncePending || _nonceConnection != connection) return false;
  *nonce = _nonce;
  _noncePending = false;
  _nonceConnection = nullptr;
  return true;
}

// ---- connection -----------------------------------------------------------------

bool IHeartBeatLink::IsHost() { return _manager->IsHost(); }

void IHeartBeatLink::KillConnection() {
  const int16_t type = GetType();
  if (IsHost() && (type == Config::HBL_TYPE_TCP || type == Config::HBL_TYPE_QUORUM)) return;
  IOXConnection* connection = PinConnection();
  if (connection == nullptr) return;
  connection->Disconnect();
  Unpin(connection);
}

void IHeartBeatLink::OnHeartBeatLinkModified() {
  _modified.store(true);
  KillConnection();
}

Entity::HeartBeatEntity* IHeartBeatLink::GetHBEntity() {
  Entity::HeartBeatEntity* entity = new Entity::HeartBeatEntity(_config);
  entity->SetLinkStatu(_status.load());
  entity->SetContinuousFailures(_failures.load());
  entity->SetTotalFailures(_connFailures.load());
  return entity;
}

void IHeartBeatLink::SendResponsePack(const std::string& command, const std::string& body, const std::string& packId) {
  IOXConnection* connection = PinConnection();
  if (connection == nullptr) return;
  SendResponsePack(connection, command, body, packId);
  Unpin(connection);
}

void IHeartBeatLink::SendResponsePack(IOXConnection* connection, const std::string& command, const std::string& body,
                                      const std::string& packId) {
  try {
    connection->SendResponsePack(command, body, packId);
  } catch (Exception* e) {
    delete e;
  }
}

IOXConnection* IHeartBeatLink::PinConnection() {
  MutexGuard guard(_connLock);
  if (_connection == nullptr) return nullptr;
  MutexGuard busy(_connection->busyLock);
  ++_connection->busyCount;
  return _connection;
}

void IHeartBeatLink::Unpin(IOXConnection* connection) {
  MutexGuard busy(connection->busyLock);
  --connection->busyCount;
}

void IHeartBeatLink::_NotifyConnectionEstablished(IOXConnection* connection) {
  connection->disconnectedListener.store(this);
  MutexGuard guard(_connLock);
  _connection = connection;
  _ownsConnection = true;
}

IOXConnection* IHeartBeatLink::_TakeConnection(bool disconnect, bool& owned) {
  IOXConnection* connection;
  IOXConnection* listeners = nullptr;
  {
    MutexGuard guard(_connLock);
    connection = _connection;
    owned = _ownsConnection;
    _connection = nullptr;
    _ownsConnection = false;
    if (connection != nullptr) {
      Unhook(connection);
      if (disconnect) connection->Disconnect();
      // One of the link's own is deleted by the caller, which ends its
      // call-backs; a listener's stays, so wait for them here.
      if (!owned) {
        Pin(connection);
        listeners = connection;
      }
    }
  }
  {
    MutexGuard guard(_stateLock);
    _noncePending = false;
  }
  Settle(listeners);
  return connection;
}

void IHeartBeatLink::_DropConnection() {
  bool owned = false;
  IOXConnection* connection = _TakeConnection(false, owned);
  if (connection == nullptr || !owned) return;
  DebugNotify("delete conn!");
  delete connection;
  DebugNotify("end delete conn!");
}

void IHeartBeatLink::_HostHandshake(IOXConnection* connection) { _manager->OnLinkConnectionOpened(this, connection); }

bool IHeartBeatLink::_AfterValidationWait() {
  _WaitWake(_manager->Timings().validationWaitMs);
  const uint16_t status = _status.load();
  if (status == HBL_STATU_CONNECTED) {
    DebugNotify("已建立和对方服务器的连接！");
    return true;
  }
  return status != HBL_STATU_CONNECTING;
}

bool IHeartBeatLink::_RetryWait() {
  if (IsStopping() || _pendOp.load() != HBL_OP_TRYCONNECT) return false;
  _WaitWake(_manager->Timings().retryWaitMs);
  if (IsStopping() || _pendOp.load() != HBL_OP_TRYCONNECT) return false;
  _HonourRetryDelay();
  return !IsStopping() && _pendOp.load() == HBL_OP_TRYCONNECT;
}

// ---- small things -------------------------------------------------------------

void IHeartBeatLink::ChangeStatus(uint16_t status) {
  if (_status.exchange(status) != status) DebugNotify("状态变更为->" + std::to_string(status));
}

void IHeartBeatLink::DebugNotify(const std::string& text) {
  EventManager::Instance()->Debug("心跳连接[" + GetName() + "] - " + text);
}

void IHeartBeatLink::AdoptRecord() {
  if (_ownRecord == nullptr) _ownRecord.reset(_config);
}

int IHeartBeatLink::GetId() { return _config->GetId(); }

int16_t IHeartBeatLink::GetType() { return _config->GetType(); }

std::string IHeartBeatLink::GetName() { return _config->GetName(); }

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale
