#ifndef TARROW_PROTOCOL_TCPOXCONNECTION_H
#define TARROW_PROTOCOL_TCPOXCONNECTION_H

#include <atomic>
#include <string>

#include "framework/Semaphore.h"
#include "protocol/IOXConnection.h"
#include "protocol/IOXSendThread.h"
#include "protocol/TcpFrameWriter.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {
class OXSocket;
}
namespace OXProctol {

class OXTcpListener;

// A message connection over one TCP socket, in two forms:
// - connecting: created idle, Connect opens the socket, starts the threads
//   and waits for the peer's "SERVICE_READY" greeting;
// - accepting: created running by an OXTcpListener on an accepted socket;
//   when lost it reports to the listener, which deletes it later on another
//   thread.
// The "SERVICE_READY" push is consumed by the transport on both forms and
// never reaches the push processor. Frames are written by the sending thread
// itself whenever they need not wait (TcpFrameWriter), else by the send thread.
class TcpOXConnection : public IOXConnection {
 protected:
  // Accepting form: tells the listener (ChildConnectionDisconnectedNotify).
  void _ProcessDisconnected() override;

 public:
  enum { SERVER_READY_WAIT_MS = 10000 };

  // Connecting form: a new unconnected socket; no thread runs yet.
  TcpOXConnection(IPushPackProcessor* pushProcessor, IRequestPackProcessor* requestProcessor);
  // Accepting form: adopts socket and starts both threads before it returns,
  // the send thread with keepAliveMs as its keep-alive interval.
  // Throws Exception* when the threads cannot start; the caller then still
  // owns socket (and closes it).
  TcpOXConnection(OXTcpListener* listener, Framework::OXSocket* socket, IPushPackProcessor* pushProcessor,
                  IRequestPackProcessor* requestProcessor, long keepAliveMs = IOXSendThread::KEEP_ALIVE_MS);
  // Disconnects first (so a quiet peer cannot hold it), then stops and joins
  // both threads, then frees the socket. Never run on one of its own threads.
  ~TcpOXConnection() override;

  // Connects (OXSocket::Connect and its exceptions), starts the threads and
  // waits up to 10000 ms for the peer's "SERVICE_READY". When it does not
  // come (or the connection is lost first): Disconnect, then Exception*
  // "SOCKET_SERVER_NOT_READY", "已经成功建立连接，但是服务器却没有响应！".
  void Connect(const std::string& host, unsigned short port);
  // The same with a connect time-out in seconds, also used for the greeting
  // wait; when the greeting does not come it throws without disconnecting.
  void Connect(const std::string& host, unsigned short port, unsigned long timeoutSeconds);

  // Writes the pack's frame at once from the calling thread when nothing
  // waits to be written and the socket takes it; otherwise it waits for the
  // send thread (at most 19 frames wait; beyond that the pack is dropped).
  // Never waits for the peer. Not connected, or a pack that cannot travel as
  // one frame: Exception* "OXPROCTOL", the pack destroyed. A write failure is
  // not thrown: as when the send thread's write fails, the message is printed
  // and the connection disconnected, so the pending read fails and the
  // receive thread gives the disconnect notice (once, whichever write failed).
  void SendPack(OXPack* pack) override;
  using IOXConnection::SendPack;
  // Milliseconds of silence on the socket before a keep-alive; frames written
  // straight from the senders' threads count as traffic.
  void SetKeepAliveInterval(long ms) override;
  bool IsConnected() override;
  // Shuts the socket down; the pending read fails at once. Any thread, any
  // number of times.
  void Disconnect() override;
  // The peer's dotted IPv4 address.
  std::string GetRemoteAddr() override;

 private:
  enum { OUTCOME_PENDING = 0, OUTCOME_RUNNING = 1, OUTCOME_FAILED = 2 };

  // Waits up to ms for the greeting; false as soon as the connection is lost.
  bool _WaitServerReady(unsigned long ms);

  Framework::OXSocket* _socket;           // owned
  TcpFrameWriter _writer;                 // on _socket
  OXTcpListener* const _listener;         // accepting form only; not owned
  // Whether the accepting constructor succeeded: a receive thread that fails
  // before the constructor is done waits for it, and reports to the listener
  // only for a connection the listener really keeps.
  std::atomic<int> _outcome{OUTCOME_PENDING};
  Framework::Semaphore _outcomeKnown;
};

}  // namespace OXProctol
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
