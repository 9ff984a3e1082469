#ifndef TARROW_PROTOCOL_IREQUESTPACKPROCESSOR_H
#define TARROW_PROTOCOL_IREQUESTPACKPROCESSOR_H

namespace Oxbrindale {
namespace Velmora {
namespace OXProctol {

class IOXConnection;
class OXPack;

// Handles every "request" pack of a connection, on that connection's receive
// thread. Answers, when it answers, with
// connection->SendResponsePack(command, body, pack->packId). The pack is
// destroyed when the call returns: copy what you keep. Must not wait on
// Request over the same connection (the answer would be read only after it
// returns); hand such work to another thread and count it in busyCount.
class IRequestPackProcessor {
 public:
  virtual ~IRequestPackProcessor() = default;
  virtual void OnReceivedRequestPack(IOXConnection* connection, OXPack* pack) = 0;
};

}  // namespace OXProctol
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
