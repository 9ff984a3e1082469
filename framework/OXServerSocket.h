#ifndef TARROW_FRAMEWORK_OXSERVERSOCKET_H
#define TARROW_FRAMEWORK_OXSERVERSOCKET_H

#include <atomic>
#include <string>
#include <vector>

#include "framework/Mutex.h"
#include "framework/NonCopyable.h"

class Exception;

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

class OXSocket;

// A listening TCP socket over IPv4 that turns each accepted descriptor into a
// connected OXSocket.
//
// Close may come from another thread while one thread waits in Accept: the
// socket is shut down at once (the waiting Accept fails at once) and its
// descriptor is closed once Accept has left. The destructor waits for that.
//
// The notices of BeginListen ("SOCKET" events) are posted without waiting,
// so opening a socket never waits on a full bus (they are dropped then).
class OXServerSocket : NonCopyable {
 public:
  enum { STATE_CREATED = 0, STATE_LISTENING = 1, STATE_CLOSED = 2 };
  // The listen queue takes a burst of clients (hundreds at once): when it
  // overflows, the kernel drops handshakes the clients already count as
  // done, and such a client waits for a first word that never comes.
  enum { BIND_TRIES = 5, BACKLOG = 512 };

  // Listens on every local address.
  explicit OXServerSocket(unsigned short port);
  // Listens on one address (dotted IPv4 text).
  OXServerSocket(std::string host, unsigned short port);
  // Closes, after waiting for a thread still inside Accept.
  ~OXServerSocket();

  // Opens, binds (up to five tries) and listens, and posts its notices.
  // Throws Exception* "SOCKET"; every failure closes the descriptor and
  // leaves state 0.
  void BeginListen();
  // Blocks until a client connects; the caller owns the result, which is
  // connected, in keep-alive and non-blocking mode. Interrupted and aborted
  // accepts are retried on the same socket. Throws Exception* "SOCKET" (also
  // when the socket is not listening or was closed) or "SOCKET_TRUN_MODE_FAIL".
  OXSocket* Accept();
  // Stops listening; acts only while listening.
  void Close();

  int GetState() const { return _state.load(); }
  unsigned short GetPort() const { return _port; }

 private:
  // The work of BeginListen, under _lock: the notices for the bus are
  // gathered in notices; answers the failure (null on success).
  Exception* _Open(std::vector<std::string>& notices);
  void _ReleaseUse();

  bool _anyAddress;
  unsigned short _port;
  std::string _host;
  std::atomic<int> _fd{-1};
  std::atomic<int> _state{STATE_CREATED};
  Mutex _lock;               // guards opening, closing, _users and _closing
  int _users = 0;            // threads inside Accept
  std::vector<int> _closing; // shut down, closed when _users drops to 0
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
