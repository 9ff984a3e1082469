#ifndef TARROW_PROTOCOL_QUORUMOXRECEIVETHREAD_H
#define TARROW_PROTOCOL_QUORUMOXRECEIVETHREAD_H

#include "protocol/IOXReceiveThread.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {
class OXQuorum;
}
namespace OXProctol {

// Receive thread of a quorum-disk connection: one message is one frame,
// taken up to its first NUL; at most 65536 bytes (a longer message closes
// the link); texts with fewer than five fields are dropped.
class QuorumOXReceiveThread : public IOXReceiveThread {
 public:
  // quorum: the connection's, not owned; it outlives the thread.
  explicit QuorumOXReceiveThread(Framework::OXQuorum* quorum) : _quorum(quorum) {}

 protected:
  OXPack* _ReceiveLogic() override;

 private:
  Framework::OXQuorum* _quorum;
};

}  // namespace OXProctol
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
