#ifndef TARROW_PROTOCOL_COMOXSENDTHREAD_H
#define TARROW_PROTOCOL_COMOXSENDTHREAD_H

#include "protocol/IOXSendThread.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {
class OXCom;
}
namespace OXProctol {

// Send thread of a serial connection: writes each pack as one whole frame,
// its NUL included.
class ComOXSendThread : public IOXSendThread {
 public:
  // com: the connection's port, not owned; it outlives the thread.
  explicit ComOXSendThread(Framework::OXCom* com) : _com(com) {}

 protected:
  void _SendLogic(OXPack* pack) override;

 private:
  Framework::OXCom* _com;
};

}  // namespace OXProctol
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
