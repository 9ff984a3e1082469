#ifndef TARROW_PROTOCOL_TCPOXRECEIVETHREAD_H
#define TARROW_PROTOCOL_TCPOXRECEIVETHREAD_H

#include "protocol/IOXReceiveThread.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {
class OXSocket;
}
namespace OXProctol {

// Receive thread of a TCP connection: reads frame after frame (at most 16367
// bytes before the NUL), drops frames with fewer than five fields, and
// consumes the "SERVICE_READY" greeting by marking the socket server-ready.
class TcpOXReceiveThread : public IOXReceiveThread {
 public:
  // socket: the connection's socket, not owned; it outlives the thread.
  explicit TcpOXReceiveThread(Framework::OXSocket* socket) : _socket(socket) {}

 protected:
  OXPack* _ReceiveLogic() override;

 private:
  Framework::OXSocket* _socket;
};

}  // namespace OXProctol
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
