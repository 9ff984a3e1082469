#ifndef TARROW_PROTOCOL_OXTCPLISTENER_H
#define TARROW_PROTOCOL_OXTCPLISTENER_H

#include <atomic>
#include <string>
#include <vector>

#include "framework/AsyncExecutable.h"
#include "framework/Mutex.h"
#include "framework/Semaphore.h"
#include "framework/SingleObject.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {
class AsyncExecutor;
class OXServerSocket;
class OXSocket;
}  // namespace Framework
namespace OXProctol {

class IOnConnectionDisconnected;
class IOnConnectionEstablished;
class IPushPackProcessor;
class IRequestPackProcessor;
class TcpOXConnection;

// Accept thread ("监听线程") on one TCP port. Every accepted socket becomes a
// TcpOXConnection with the listener's processors; the owner's established
// call-back is told, then the peer is greeted with the push "SERVICE_READY"
// (empty body). The listener owns its connections: one that is lost leaves
// the list of live connections at once and is deleted later, on another
// thread (when the next connection of this listener is lost, by
// DeleteDisconnectionConnections, or by the destructor).
//
// A port that cannot be bound does not stop the thread: it retries every
// 5 seconds. At most GetMaxConnections() connections live at once; a client
// beyond that is closed at once, without greeting.
class OXTcpListener : public Framework::AsyncExecutable {
 public:
  enum { DEFAULT_MAX_CONNECTIONS = 64, RETRY_MS = 5000, CLOSING_WAIT_MS = 2000 };
  // The push that greets every accepted connection.
  static constexpr const char* GREETING = "SERVICE_READY";

  // Not listening yet, thread not started. The processors (may be null, not
  // owned) are handed to every accepted connection.
  OXTcpListener(unsigned short port, IPushPackProcessor* pushProcessor, IRequestPackProcessor* requestProcessor);
  // The same, bound to one local address (dotted IPv4 text).
  OXTcpListener(std::string host, unsigned short port, IPushPackProcessor* pushProcessor,
                IRequestPackProcessor* requestProcessor);
  // Stops the thread, disconnects every connection, waits up to 2000 ms for
  // them to report, then deletes them all.
  ~OXTcpListener() override;

  int Run() override;
  // StopListen.
  void CallStop() override;
  bool IsAutoDelete() override { return false; }

  // Owner's call-backs, set before StartListen; not owned, null by default.
  // established: told of every accepted connection while the listener holds
  // its connection lock, before the greeting; must not throw.
  // disconnected: becomes every accepted connection's disconnectedListener.
  void SetOnConnectionEstablished(IOnConnectionEstablished* callBack) { _established.store(callBack); }
  void SetOnConnectionDisconnected(IOnConnectionDisconnected* callBack) { _disconnected.store(callBack); }
  // false: the established call-back greets each connection itself, when
  // it is done with it (the listener sends no greeting). true by default.
  void SetGreets(bool greets) { _greets.store(greets); }

  // Binds and listens (a failure is posted as the event (-1, "SOCKET",
  // "OXTcpListener Exceptions:" + message) and retried by the thread every
  // 5 s), then starts the accept thread. Answers the thread start: 0 when the
  // thread runs, also when the port could not be bound; non-zero when the
  // thread could not be started. IsListening tells whether the bind worked.
  int StartListen();
  // true while a listening socket is open.
  bool IsListening();
  // Ends the accept loop and closes the listening socket. Connections already
  // accepted stay up.
  void StopListen();
  // Disconnects every live connection; each leaves the list when it reports.
  void DisconnectAllConnection();
  // Moves the listener to port: true when it listens there now (at once when
  // it already did), false when port cannot be bound (the old socket keeps
  // listening). Connections accepted earlier stay.
  bool ResetListenPort(unsigned short port);
  unsigned short GetPort() const { return _port.load(); }

  // Called by an accepted connection, on its receive thread, when it is lost.
  void ChildConnectionDisconnectedNotify(TcpOXConnection* connection);
  // Deletes the connections that reported their loss earlier.
  void DeleteDisconnectionConnections();

  // Keep-alive interval of the connections accepted from now on (20000 ms
  // by default); tests shorten it.
  void SetKeepAliveInterval(long ms) { _keepAliveMs.store(ms); }

  // Most connections alive at once (DEFAULT_MAX_CONNECTIONS; at least 1).
  void SetMaxConnections(int count) { _maxConnections.store(count < 1 ? 1 : count); }
  int GetMaxConnections() const { return _maxConnections.load(); }
  // Live connections (accepted and not yet reported lost).
  int GetConnectionCount();

 private:
  // Both public constructors: any local address when anyAddress, host otherwise.
  OXTcpListener(bool anyAddress, std::string host, unsigned short port, IPushPackProcessor* pushProcessor,
                IRequestPackProcessor* requestProcessor);
  Framework::OXServerSocket* _NewServerSocket(unsigned short port);
  // Wraps an accepted socket; under the connection lock.
  void _Adopt(Framework::OXSocket* accepted);
  // Deletes retired connections; outside the connection lock.
  void _Delete(const std::vector<TcpOXConnection*>& connections);

  Framework::AsyncExecutor* _executor;  // "监听线程"; owned
  IPushPackProcessor* const _pushProcessor;
  IRequestPackProcessor* const _requestProcessor;
  std::vector<TcpOXConnection*> _children;  // live, in accept order; owned
  std::vector<TcpOXConnection*> _retired;   // lost, waiting to be deleted; owned
  Framework::OXServerSocket* _server;       // owned; null while none could be opened
  Framework::Mutex _childLock;              // guards _children and _retired
  Framework::Mutex _socketLock;             // guards replacing _server and _port
  Framework::SingleObject _childrenGone;    // the last child reported while closing
  Framework::Semaphore _SinPause;           // wakes the paused accept loop
  Framework::Semaphore _wake;               // ends the 5 s wait between bind attempts early
  std::atomic<bool> _closing{false};
  std::atomic<bool> _pause{false};
  std::atomic<bool> _inAccept{false};       // the accept thread is inside Accept
  std::atomic<unsigned short> _port;
  const bool _anyAddress;
  const std::string _host;
  std::atomic<IOnConnectionEstablished*> _established{nullptr};
  std::atomic<IOnConnectionDisconnected*> _disconnected{nullptr};
  std::atomic<int> _maxConnections{DEFAULT_MAX_CONNECTIONS};
  std::atomic<bool> _greets{true};
  std::atomic<long> _keepAliveMs;
};

}  // namespace OXProctol
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
