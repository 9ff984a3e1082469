#ifndef TARROW_PROTOCOL_IOXRECEIVETHREAD_H
#define TARROW_PROTOCOL_IOXRECEIVETHREAD_H

#include "framework/AsyncExecutable.h"

namespace Oxbrindale {
namespace Velmora {
namespace OXProctol {

class IOXConnection;
class OXPack;

// Body of a connection's receive thread ("接收线程"): reads pack after pack
// with the transport's _ReceiveLogic and hands each to the connection's
// DataReceived (an Exception* out of a processor is printed and the loop goes
// on). When the read throws, it runs the connection's NotifyDisconnected and
// ends. CallStop only sets the stop flag: the thread sees it when its pending
// read returns, so owners make the read fail (Disconnect) before waiting.
// Created by the transport's constructor; run and deleted by the connection's
// receive executor.
class IOXReceiveThread : public Framework::AsyncExecutable {
 public:
  IOXReceiveThread() = default;
  ~IOXReceiveThread() override = default;

  int Run() override;

 protected:
  // Blocks until the next pack arrives and returns it (never null; frames
  // with fewer than five fields are skipped inside); throws Exception* when
  // the transport fails or the peer closed.
  virtual OXPack* _ReceiveLogic() = 0;

  // Set by IOXConnection::_OnConnectionEstablished before the thread starts.
  IOXConnection* _connection = nullptr;

 private:
  friend class IOXConnection;
};

}  // namespace OXProctol
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
