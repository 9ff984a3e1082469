#ifndef TARROW_PROTOCOL_TCPOXSENDTHREAD_H
#define TARROW_PROTOCOL_TCPOXSENDTHREAD_H

#include <atomic>

#include "protocol/IOXSendThread.h"

namespace Oxbrindale {
namespace Velmora {
namespace OXProctol {

class TcpFrameWriter;

// Send thread of a TCP connection. Most frames are written by the threads
// that send them (TcpFrameWriter); this thread writes what had to wait
// (on a flush request, a pack of kind FLUSH_KIND that never reaches the wire)
// and the keep-alive packs, each frame whole, its NUL included.
//
// A keep-alive goes out only after the keep-alive interval passed without any
// frame on the socket: frames the senders wrote themselves count as traffic
// just like the ones written here.
class TcpOXSendThread : public IOXSendThread {
 public:
  // Kind of the internal pack that asks this thread to write the backlog.
  static constexpr const char* FLUSH_KIND = "flush";

  // writer: the connection's, not owned; it outlives the thread.
  explicit TcpOXSendThread(TcpFrameWriter* writer) : _writer(writer) {}

  // Milliseconds of silence on the socket before a keep-alive is written
  // (KEEP_ALIVE_MS by default; tests shorten it). Takes effect at the next wait.
  void SetSilenceLimit(long ms);

 protected:
  void _SendLogic(OXPack* pack) override;

 private:
  TcpFrameWriter* _writer;
  std::atomic<long> _silenceLimitMs{KEEP_ALIVE_MS};
};

}  // namespace OXProctol
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
