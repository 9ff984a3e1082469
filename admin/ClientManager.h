#ifndef TARROW_ADMIN_CLIENTMANAGER_H
#define TARROW_ADMIN_CLIENTMANAGER_H

#include <atomic>
#include <string>
#include <vector>

#include "admin/IAdminConsoleListener.h"
#include "admin/LoginThrottle.h"
#include "framework/EventClient.h"
#include "framework/Mutex.h"
#include "protocol/IOnConnectionDisconnected.h"
#include "protocol/IOnConnectionEstablished.h"
#include "protocol/IPushPackProcessor.h"
#include "protocol/IRequestPackProcessor.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {
class AsyncExecutor;
}
namespace OXProctol {
class IOXConnection;
class OXPack;
class OXTcpListener;
}  // namespace OXProctol
namespace Core {

struct AdminContext;
class ConfigClient;
class SessionSweeper;

// The console server: owns the listener on the console port and one session
// (ConfigClient) per accepted connection, hands each request to its session
// on the connection's receive thread, and pushes every event of the bus to
// every logged-in console.
//
// The manager mutex guards the session list only: no request is handled,
// no push is sent and nothing waits under it. The walk lock is held by the
// push of one event to every logged-in console and keeps the sessions it
// took alive; a lost session leaves the list at once and is deleted once no
// walk holds it. Lock order: the bus's EventClient lock, then the walk lock,
// then the manager mutex; the listener's connection lock, then the manager
// mutex.
//
// Guards: at most settings.maxSessions sessions and
// settings.maxSessionsPerAddress per source address (sessions already closed
// do not count). A connection beyond the address limit is closed at once; one
// that finds every place taken closes the oldest session not logged in and
// takes its place, or is closed at once when every session has logged in.
// A session not logged in within settings.loginTimeoutMs is closed by the
// sweeper thread.
class ClientManager : public OXProctol::IOnConnectionEstablished,
                      public OXProctol::IOnConnectionDisconnected,
                      public OXProctol::IPushPackProcessor,
                      public OXProctol::IRequestPackProcessor,
                      public Framework::EventClient,
                      public IAdminConsoleListener {
 public:
  // The daemon's manager; the first call passes the daemon's context and
  // creates it. Never destroyed.
  static ClientManager* Instance(AdminContext* context = nullptr);

  // Fills context->consoleListener when null.
  explicit ClientManager(AdminContext* context);
  // Shutdown.
  ~ClientManager() override;

  // Subscribes to context->events, opens the listener on the console port of
  // the global settings (a busy port is retried by the listener) and starts
  // the sweeper. Raises alarm kind 11 when a level still has the built-in
  // digest. Answers IsListening.
  bool StartListen();
  // Unsubscribes, ends the sweeper, closes every session and deletes the
  // listener with its connections; returns once no thread calls this object
  // any more. Idempotent. A subclass calls it first in its own destructor,
  // so no call-back reaches an object half destroyed.
  void Shutdown();
  bool IsListening() override;
  bool ResetListenPort(unsigned short port) override;
  OXProctol::OXTcpListener* GetListener() { return _listener.load(); }
  // Stops accepting and disconnects every console.
  void StopListenAndDestory();

  // The session of connection, or null. The pointer is safe only on that
  // connection's receive thread.
  ConfigClient* GetConfigClientByConnection(OXProctol::IOXConnection* connection);
  int GetSessionCount();
  // Closes sessions that did not log in in time and deletes the listener's
  // lost connections; called by the sweeper.
  void SweepSessions();

  // ---- call-backs ----------------------------------------------------------
  void OnConnectionEstablished(OXProctol::IOXConnection* connection) override;
  void OnReceivedPushPack(OXProctol::IOXConnection* connection, OXProctol::OXPack* pack) override;
  void OnReceivedRequestPack(OXProctol::IOXConnection* connection, OXProctol::OXPack* pack) override;
  void _Notify(int kind, std::string source, std::string text) override;
  void OnConnectionDisconnected(OXProctol::IOXConnection* connection) override;

 private:
  // Under _mutex.
  ConfigClient* _Find(OXProctol::IOXConnection* connection);

  AdminContext* const _context;
  std::vector<ConfigClient*> _sessions;  // owned
  std::atomic<OXProctol::OXTcpListener*> _listener{nullptr};  // owned
  Framework::AsyncExecutor* _sweeper = nullptr;               // owned
  SessionSweeper* _sweeperBody = nullptr;                     // owned by _sweeper
  Framework::Mutex _walkLock;                                 // held by each event push walk
  Framework::Mutex _mutex;                                    // guards _sessions
  Framework::Mutex _startLock;                                // one StartListen or Shutdown at a time
  bool _subscribed = false;                                   // under _startLock
  LoginThrottle _throttle;
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
