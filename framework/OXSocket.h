#ifndef TARROW_FRAMEWORK_OXSOCKET_H
#define TARROW_FRAMEWORK_OXSOCKET_H

#include <time.h>

#include <atomic>
#include <string>
#include <vector>

#include "framework/FrameReader.h"
#include "framework/Mutex.h"
#include "framework/NonCopyable.h"
#include "framework/Semaphore.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

// One TCP stream socket over IPv4: the client side of a message connection,
// the wrapper of every accepted descriptor, and the SMTP client's channel.
//
// Two threads may use one socket at the same time, one in Send and one in
// Receive/ReceiveUntilChar, while any thread may call Disconnect. Disconnect
// shuts the connection down at once, which ends the waits of both users
// immediately; the descriptor itself is closed only after every Send or
// Receive call has left, so a number the kernel hands out again is never read
// or written by a late user.
//
// Every failure is thrown as Exception*. Send and Receive close the socket
// themselves on every channel failure (code "SOCKET_CHANNEL_DISCONNECTED" or
// "SOCKET_TIMEOUT"); "SOCKET_DISCONNECTED" means the socket was not connected
// (or was disconnected locally meanwhile) and closes nothing.
class OXSocket : NonCopyable {
 public:
  enum {
    STATE_NOT_CONNECTED = 0,
    STATE_CONNECTED = 1,
  };
  // Longest frame text ReceiveUntilChar accepts before its stop byte.
  enum { MAX_UNTIL_CHAR_LENGTH = 16367 };
  // Length of one wait turn of Send and Receive.
  enum { DEFAULT_TURN_MS = 5000 };
  // Largest piece SendBig and ReceiveBig hand to one call.
  enum { BIG_PIECE = 4096 };

  // Not connected, no descriptor.
  OXSocket();
  // Wraps a connected descriptor (from an accept); port is the listening
  // port that accepted it. The socket owns the descriptor.
  OXSocket(int descriptor, std::string peerAddress, unsigned short port);
  // Disconnects.
  ~OXSocket();

  // Connects to host (dotted IPv4 text or a host name) with a blocking
  // connect, then turns on TCP keep-alive (10 s idle, 3 s interval, 3 probes)
  // and non-blocking mode. Throws "IP_OR_DOMAIN_ERROR", "SOCKET_AREADY_CONNECTED",
  // "SOCKET", "SOCKET_NETWORK_DISABLED", "SOCKET_NETWORK_DISCONNECTED",
  // "SOCKET_REMOTE_NOT_EXIST", "SOCKET_REJECTED", "SOCKET_UNKNOW_FAILURE" or
  // "SOCKET_TRUN_MODE_FAIL". A failed connect leaves the descriptor open for
  // the next attempt.
  void Connect(std::string host, unsigned short port);
  // The same with a connect time-out in seconds (host as above: a dotted
  // address, or a name that is looked up). Throws "SOCKET_TIMEOUT" (and
  // disconnects) when the connection is not up in time; a refused or
  // unreachable server and a network that is down fail with the codes of the
  // plain Connect; other failures throw "SOCKET_UNKNOW_FAILURE" (while the
  // connection was being set up) or "SOCKET_OTHER_ERR" (at once). A failure
  // while the connection was being set up closes the descriptor.
  void Connect(std::string host, unsigned short port, unsigned long timeoutSeconds);

  // Hands all length bytes to the kernel, in as many pieces as the kernel
  // takes. Waits in turns for the socket to take data; after four turns in
  // which it took nothing (20 s), disconnects and throws "SOCKET_TIMEOUT".
  // Never raises SIGPIPE.
  void Send(const char* data, int length);
  // Hands the kernel as many of the length bytes as it takes at once, without
  // waiting; answers how many (0 when the socket has no room now). Fails like
  // Send (never with "SOCKET_TIMEOUT").
  size_t TrySend(const char* data, size_t length);
  // Stores at least one and at most length bytes at the start of buffer
  // (the count is not reported; the rest of buffer is untouched). Waits
  // without limit for data; a dead peer is found by TCP keep-alive.
  void Receive(char* buffer, int length);
  // The bytes before the next stop byte, without it. Bytes that arrived after
  // the stop byte are kept for the next call (and for Receive), never lost.
  // Throws "IO", "封包太大！" when MAX_UNTIL_CHAR_LENGTH + 1 bytes came
  // without a stop byte.
  std::string ReceiveUntilChar(char stop);
  // The same, but gives up at deadline (on Env's wait clock, see
  // Env::DeadlineAfter) when the stop byte has not come: disconnects and
  // throws "SOCKET_TIMEOUT".
  std::string ReceiveUntilChar(char stop, const struct timespec& deadline);
  // ReceiveUntilChar('\n'), without and with a deadline.
  std::string ReceiveLine();
  std::string ReceiveLine(const struct timespec& deadline);
  // Sends or receives exactly length bytes, in pieces of at most BIG_PIECE,
  // waiting in turns like Send and Receive. Every channel failure closes the
  // socket and names the error number ("WSAErrorCode="): SendBig throws
  // "SOCKET_CHANNEL_DISCONNECTED" (and gives up like Send, "SOCKET_TIMEOUT");
  // ReceiveBig throws "SOCKET_RECEIVE_ERROR", or "SOCKET_CHANNEL_DISCONNECTED"
  // with "断开连接。" when the peer closed its end before all bytes came.
  void SendBig(char* data, unsigned long length);
  void ReceiveBig(char* buffer, unsigned long length);
  // Blocking mode (Send and Receive keep working the same way).
  void SetSyncMode();

  // The first IPv4 address of name as dotted text; "" when there is none.
  static std::string GetIPAddressFromDomainName(std::string name);

  // Marks the peer as ready (its "SERVICE_READY" greeting arrived) and wakes
  // a waiter of WatiServerReady.
  void SetServerReady();
  // true when the peer was marked ready, at once when the mark is already
  // set; false when ms milliseconds passed without the mark.
  bool WatiServerReady(unsigned long ms);

  // Shuts the connection down (both directions) and forgets the descriptor:
  // state 0, descriptor -1. The descriptor is closed once no Send or Receive
  // uses it any more. A second call does nothing.
  void Disconnect();

  // STATE_CONNECTED while connected.
  int GetState() const { return _state.load(); }
  bool IsConnected() const { return _state.load() == STATE_CONNECTED; }
  // Dotted IPv4 address of the peer ("" before a connect).
  std::string GetPeerAddress();
  // Client side: the port connected to; accepted socket: the listening port.
  unsigned short GetPort() const { return _port.load(); }

  // Length of one wait turn (DEFAULT_TURN_MS); Send gives up after four
  // empty turns. Shorter turns serve tests.
  void SetTurnMs(int ms) { _turnMs.store(ms > 0 ? ms : 1); }

 private:
  class _Use;

  // How a channel failure is reported: the way of Send and Receive, or the
  // way of SendBig and ReceiveBig.
  enum _Style { STYLE_STREAM, STYLE_BIG };
  // Where it was found: waiting, an exceptional condition, the send or recv.
  enum _Where { WHERE_WAIT, WHERE_EXCEPTIONAL, WHERE_CALL };

  // Hands all total bytes to the kernel, waiting in turns (Send's give-up).
  void _SendAll(const char* data, size_t total, _Style style);
  // One non-blocking recv of at most length bytes into buffer, waiting in
  // turns until something arrives (or, with a deadline, until it passes);
  // returns the count (at least 1).
  size_t _ReceiveSome(char* buffer, size_t length, const struct timespec* deadline, _Style style);
  std::string _ReceiveUntil(char stop, const struct timespec* deadline);
  // Waits one turn, at most limitMs when that is not negative, for events on
  // fd; the poll result, EINTR retried within the turn. revents gets the
  // reported events.
  int _WaitTurn(int fd, short events, short* revents, long long limitMs = -1);
  // Disconnect, then throw the channel failure of a send or a receive.
  [[noreturn]] void _FailSend(_Style style, _Where where, int error);
  [[noreturn]] void _FailReceive(_Style style, _Where where, int error);
  void _ApplyConnectedOptions(int fd);
  // The descriptor of a Connect: the socket already made, or a new TCP
  // socket; throws "SOCKET" when none can be made.
  int _SocketForConnect();
  void _ReleaseUse();
  void _CheckNotLocallyClosed();

  time_t _created;
  std::atomic<int> _fd;
  std::string _peerAddress;  // guarded by _lock
  std::atomic<bool> _serverReady{false};
  Semaphore _readySignal;
  std::atomic<unsigned short> _port;
  std::atomic<int> _state;
  Mutex _lock;                    // guards closing, _peerAddress, _users and _closing
  int _users = 0;                 // Send/Receive calls inside
  std::vector<int> _closing;      // shut down, to be closed when _users drops to 0
  std::atomic<int> _turnMs{DEFAULT_TURN_MS};
  // Bytes read past a stop byte; only the reading thread touches them.
  FrameReader _in{MAX_UNTIL_CHAR_LENGTH};
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
