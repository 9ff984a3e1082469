#ifndef TARROW_PROTOCOL_IOXSENDTHREAD_H
#define TARROW_PROTOCOL_IOXSENDTHREAD_H

#include <atomic>

#include "framework/ArrayBlockQueue.h"
#include "framework/AsyncExecutable.h"

namespace Oxbrindale {
namespace Velmora {
namespace OXProctol {

class IOXConnection;
class OXPack;

// Body of a connection's send thread ("发送线程"): writes the queued packs
// one by one with the transport's _SendLogic, and a keep-alive pack
// ("heartbeat", "0", "0") after every keep-alive interval (20 s) without an
// outgoing pack. When a write fails the thread ends and disconnects its
// connection, so that the read side fails and the owner is told once.
// Created by the transport's constructor; run and deleted by the connection's
// send executor (or deleted directly by IOXConnection::_StopThreads when the
// connection was never established).
class IOXSendThread : public Framework::AsyncExecutable {
 public:
  enum { QUEUE_CAPACITY = 20, KEEP_ALIVE_MS = 20000 };

  IOXSendThread();
  // Deletes the packs still queued.
  ~IOXSendThread() override;

  int Run() override;
  // Sets the stop flag and, when the queue has room, queues the stop marker
  // so that a waiting Run wakes at once.
  void CallStop() override;

  // Takes ownership of pack. A full queue (19 packs) destroys it silently;
  // otherwise it is queued. Throws Exception* "BLOCK_QUEUE" (pack destroyed)
  // only when other threads filled the queue meanwhile and no slot frees up
  // within 20000 ms.
  void SendPack(OXPack* pack);

  // Milliseconds without an outgoing pack before a keep-alive is written
  // (KEEP_ALIVE_MS by default; tests shorten it). Takes effect at the next wait.
  void SetKeepAliveInterval(long ms) { _keepAliveMs.store(ms); }

 protected:
  // Writes one pack to the transport (the whole frame); throws Exception* on
  // failure. The pack stays owned by the caller.
  virtual void _SendLogic(OXPack* pack) = 0;

  // Set by IOXConnection::_OnConnectionEstablished before the thread starts.
  IOXConnection* _connection = nullptr;

 private:
  friend class IOXConnection;

  Framework::ArrayBlockQueue<OXPack*> _queue{QUEUE_CAPACITY};
  std::atomic<long> _keepAliveMs{KEEP_ALIVE_MS};
};

}  // namespace OXProctol
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
