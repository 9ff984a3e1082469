#ifndef TARROW_PROTOCOL_TCPFRAMEWRITER_H
#define TARROW_PROTOCOL_TCPFRAMEWRITER_H

#include <atomic>
#include <deque>
#include <string>

#include "framework/Mutex.h"
#include "framework/NonCopyable.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {
class OXSocket;
}
namespace OXProctol {

// Writes the frames of one TCP connection, whole and in order.
//
// A frame is written straight from the thread that sends it when nothing is
// waiting and the socket takes it at once; that spares the hand-over to the
// send thread on every request and response. Otherwise the frame (or the part
// the socket did not take) joins a short backlog that the connection's send
// thread writes with blocking sends, so no caller ever waits for a slow peer.
// While frames wait, later frames queue behind them.
//
// The writer notes when bytes last went to the kernel, whichever thread wrote
// them, so that the send thread's keep-alive follows real silence only.
class TcpFrameWriter : Framework::NonCopyable {
 public:
  // At most this many frames wait; a frame beyond is dropped.
  enum { BACKLOG_FRAMES = 19 };
  enum Result {
    WRITTEN,     // on the wire (handed to the kernel)
    QUEUED,      // waiting behind others; a flush is already due
    NEED_FLUSH,  // waiting, and the send thread must be asked to Flush
    DROPPED,     // the backlog was full
  };

  // socket: not owned; outlives the writer's users.
  explicit TcpFrameWriter(Framework::OXSocket* socket);

  // From any thread; never blocks on the peer. Throws Exception* like
  // OXSocket::TrySend (the socket is then disconnected).
  Result Write(std::string frame);
  // Send thread: frame after every waiting one, then Flush.
  void WriteQueued(std::string frame);
  // Send thread: writes the waiting frames in order (blocking sends, OXSocket::Send
  // and its time-out); throws Exception* like OXSocket::Send.
  void Flush();

  // Milliseconds since bytes of a frame were last handed to the kernel (by a
  // direct write or by the send thread), or since the writer was made.
  long long MsSinceLastWrite() const;

 private:
  // Notes now as the time of the last write.
  void _Stamp();

  Framework::OXSocket* const _socket;
  Framework::Mutex _lock;               // guards _backlog and _flushing
  std::deque<std::string> _backlog;     // frames (or the rest of one) waiting, in order
  bool _flushing = false;               // the send thread is writing one taken from the backlog
  std::atomic<long long> _lastWriteMs;  // on Env's wait clock
};

}  // namespace OXProctol
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
