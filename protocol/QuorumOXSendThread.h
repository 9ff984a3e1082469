#ifndef TARROW_PROTOCOL_QUORUMOXSENDTHREAD_H
#define TARROW_PROTOCOL_QUORUMOXSENDTHREAD_H

#include "protocol/IOXSendThread.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {
class OXQuorum;
}
namespace OXProctol {

// Send thread of a quorum-disk connection: each pack goes as one mailbox
// message holding its whole frame, NUL included; returns once the peer took it.
class QuorumOXSendThread : public IOXSendThread {
 public:
  // quorum: the connection's, not owned; it outlives the thread.
  explicit QuorumOXSendThread(Framework::OXQuorum* quorum) : _quorum(quorum) {}

 protected:
  void _SendLogic(OXPack* pack) override;

 private:
  Framework::OXQuorum* _quorum;
};

}  // namespace OXProctol
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
