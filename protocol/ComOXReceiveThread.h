#ifndef TARROW_PROTOCOL_COMOXRECEIVETHREAD_H
#define TARROW_PROTOCOL_COMOXRECEIVETHREAD_H

#include "protocol/IOXReceiveThread.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {
class OXCom;
}
namespace OXProctol {

// Receive thread of a serial connection: reads frame after frame up to its
// NUL (CR bytes never count), drops texts with fewer than five fields.
class ComOXReceiveThread : public IOXReceiveThread {
 public:
  // com: the connection's port, not owned; it outlives the thread.
  explicit ComOXReceiveThread(Framework::OXCom* com) : _com(com) {}

 protected:
  OXPack* _ReceiveLogic() override;

 private:
  Framework::OXCom* _com;
};

}  // namespace OXProctol
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
