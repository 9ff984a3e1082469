#include "admin/ClientManager.h"

#include <algorithm>
#include <cstdio>

#include "admin/AdminContext.h"
#include "admin/ConfigClient.h"
#include "admin/IAdminAlarms.h"
#include "admin/IAdminEvents.h"
#include "admin/SessionSweeper.h"
#include "config/ConfigManager.h"
#include "config/GlobalConfig.h"
#include "framework/AsyncExecutor.h"
#include "framework/DateTime.h"
#include "framework/Env.h"
#include "framework/EventManager.h"
#include "framework/Exception.h"
#include "framework/MutexGuard.h"
#include "protocol/IOXConnection.h"
#include "protocol/OXPack.h"
#include "protocol/OXTcpListener.h"

namespace Oxbrindale {
namespace Velmora {
namespace Core {

using Config::GlobalConfig;
using Framework::AsyncExecutor;
using Framework::DateTime;
using Framework::EventManager;
using Framework::MutexGuard;
using OXProctol::IOXConnection;
using OXProctol::OXPack;
using OXProctol::OXTcpListener;

ClientManager* ClientManager::Instance(AdminContext* context) {
  static ClientManager* instance = new ClientManager(context);  // lives until the process ends
  return instance;
}

ClientManager::ClientManager(AdminContext* context) : _context(context), _throttle(&context->settings) {
  if (_context->consoleListener == nullptr) _context->consoleListener = this;
}

ClientManager::~ClientManager() { Shutdown(); }

void ClientManager::Shutdown() {
  MutexGuard start(_startLock);
  if (_subscribed) {
    _context->events->Unsubscribe(this);
    _subscribed = false;
  }
  if (_context->consoleListener == this) _context->consoleListener = nullptr;
  if (_sweeper != nullptr) {
    // Waited for without limit: it may be deleting lost connections, which
    // must not be cut short.
    _sweeperBody->CallStop();
    _sweeper->WaitExited();
    delete _sweeper;
    _sweeper = nullptr;
    _sweeperBody = nullptr;
  }
  {
    // Wakes delayed login answers, so the receive threads can end.
    MutexGuard guard(_mutex);
    for (ConfigClient* session : _sessions) session->Close();
  }
  // Deleting the listener ends every connection; each reports its loss here
  // and its session goes.
  delete _listener.exchange(nullptr);
  MutexGuard walk(_walkLock);
  MutexGuard guard(_mutex);
  for (ConfigClient* session : _sessions) delete session;
  _sessions.clear();
}

bool ClientManager::StartListen() {
  MutexGuard start(_startLock);
  if (_listener.load() != nullptr) return IsListening();
  if (_context->events != nullptr && !_subscribed) {
    _context->events->Subscribe(this);
    _subscribed = true;
  }
  AdminSettings& settings = _context->settings;
  GlobalConfig* gc = _context->store->GetGC();
  const unsigned short port = gc->GetConsolePort();

  bool defaultDigest = false;
  for (int level = 0; level < 3; ++level) {
    if (gc->GetDigest(level) == GlobalConfig::DEFAULT_DIGEST) defaultDigest = true;
  }
  if (defaultDigest) {
    const std::string text = "管理终端密码仍为默认值，请尽快修改！";
    EventManager::TrackLog(text);
    if (_context->alarms != nullptr) _context->alarms->Raise(11, text);
  }

  OXTcpListener* listener = settings.listenHost.empty() ? new OXTcpListener(port, this, this)
                                                        : new OXTcpListener(settings.listenHost, port, this, this);
  listener->SetOnConnectionEstablished(this);
  listener->SetOnConnectionDisconnected(this);
  // Room beyond the session cap for connections on their way out (closed to
  // make room, or refused by the manager), so a newcomer is not turned away
  // by the listener while the manager could take it.
  listener->SetMaxConnections(2 * settings.maxSessions.load());
  listener->SetKeepAliveInterval(settings.keepAliveMs.load());
  _listener.store(listener);

  _sweeperBody = new SessionSweeper(this, &settings);
  _sweeper = new AsyncExecutor(_sweeperBody, "终端会话巡检");
  try {
    _sweeper->Start();
  } catch (Exception* e) {
    EventManager::TrackLog("终端会话巡检线程无法启动：" + e->message);
    delete e;
  }
  listener->StartListen();
  return listener->IsListening();
}

bool ClientManager::IsListening() {
  OXTcpListener* listener = _listener.load();
  return listener != nullptr && listener->IsListening();
}

bool ClientManager::ResetListenPort(unsigned short port) {
  OXTcpListener* listener = _listener.load();
  return listener != nullptr && listener->ResetListenPort(port);
}

void ClientManager::StopListenAndDestory() {
  OXTcpListener* listener = _listener.load();
  if (listener == nullptr) return;
  listener->StopListen();
  listener->DisconnectAllConnection();
}

ConfigClient* ClientManager::_Find(IOXConnection* connection) {
  for (ConfigClient* session : _sessions) {
    if (session->GetCrtConn() == connection) return session;
  }
  return nullptr;
}

ConfigClient* ClientManager::GetConfigClientByConnection(IOXConnection* connection) {
  MutexGuard guard(_mutex);
  return _Find(connection);
}

int ClientManager::GetSessionCount() {
  MutexGuard guard(_mutex);
  return static_cast<int>(_sessions.size());
}

void ClientManager::SweepSessions() {
  const long long now = Framework::Env::Get()->WaitClockMs();
  const long long timeout = _context->settings.loginTimeoutMs.load();
  {
    MutexGuard guard(_mutex);
    for (ConfigClient* session : _sessions) {
      // A session in the list still has its connection: the connection is
      // deleted only after its loss was reported here.
      if (session->GetLevel() == -1 && now - session->GetCreatedMs() >= timeout) session->Close();
    }
  }
  // Connections lost in a burst would wait for later losses to be deleted;
  // their threads go now.
  OXTcpListener* listener = _listener.load();
  if (listener != nullptr) listener->DeleteDisconnectionConnections();
}

void ClientManager::OnConnectionEstablished(IOXConnection* connection) {
  const std::string address = connection->GetRemoteAddr();
  EventManager::Instance()->Debug("接收到终端连入请求," + address);
  {
    MutexGuard guard(_mutex);
    // Sessions already closed are on their way out and hold no place.
    int live = 0;
    int fromAddress = 0;
    ConfigClient* oldestNotLoggedIn = nullptr;  // the list is in accept order
    for (ConfigClient* session : _sessions) {
      if (session->IsClosing()) continue;
      ++live;
      if (session->GetRemoteAddr() == address) ++fromAddress;
      if (oldestNotLoggedIn == nullptr && session->GetLevel() == -1) oldestNotLoggedIn = session;
    }
    if (fromAddress >= _context->settings.maxSessionsPerAddress.load()) {
      EventManager::Instance()->Debug("终端连接过多，拒绝：" + address);
      connection->Disconnect();
      return;
    }
    if (live >= _context->settings.maxSessions.load()) {
      // Full: a console that has not logged in gives way, never one that has.
      if (oldestNotLoggedIn == nullptr) {
        EventManager::Instance()->Debug("终端会话已满，拒绝：" + address);
        connection->Disconnect();
        return;
      }
      EventManager::Instance()->Debug("终端会话已满，断开最早未登录的终端：" + oldestNotLoggedIn->GetRemoteAddr());
      oldestNotLoggedIn->Close();
    }
    _sessions.push_back(new ConfigClient(connection, _context, &_throttle));
  }
  EventManager::Instance()->Debug("** ClientManager::OnConnectionEstablished(IOXConnection* conn) End");
}

void ClientManager::OnReceivedPushPack(IOXConnection* connection, OXPack* pack) {
  ConfigClient* session = GetConfigClientByConnection(connection);
  if (session != nullptr) session->ProcessPushPack(pack);
}

void ClientManager::OnReceivedRequestPack(IOXConnection* connection, OXPack* pack) {
  // The session cannot go while its own connection's thread is here: the
  // loss is reported on this thread after the last request.
  ConfigClient* session = GetConfigClientByConnection(connection);
  if (session != nullptr) session->ProcessRequestPack(pack);
}

void ClientManager::_Notify(int, std::string source, std::string text) {
  const std::string body = DateTime().ToString() + "\n" + text;
  // The sends run outside the manager mutex, so accepting and leaving
  // consoles do not wait for a push to every console; the walk lock keeps
  // the sessions taken here (and so their connections) alive until it ends.
  MutexGuard walk(_walkLock);
  std::vector<ConfigClient*> loggedIn;
  {
    MutexGuard guard(_mutex);
    for (ConfigClient* session : _sessions) {
      if (session->GetLevel() != -1) loggedIn.push_back(session);
    }
  }
  for (ConfigClient* session : loggedIn) {
    try {
      session->SendPushPack(source, body);
    } catch (Exception* e) {
      delete e;
    }
  }
}

void ClientManager::OnConnectionDisconnected(IOXConnection* connection) {
  ConfigClient* session;
  {
    MutexGuard guard(_mutex);
    auto found = std::find_if(_sessions.begin(), _sessions.end(),
                              [connection](ConfigClient* each) { return each->GetCrtConn() == connection; });
    if (found == _sessions.end()) return;
    session = *found;
    _sessions.erase(found);
  }
  EventManager::Instance()->Debug("终端断开连接," + session->GetRemoteAddr());
  // A push walk that took the session before it left ends first.
  MutexGuard walk(_walkLock);
  delete session;
}

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale
