#ifndef TARROW_PROTOCOL_IPUSHPACKPROCESSOR_H
#define TARROW_PROTOCOL_IPUSHPACKPROCESSOR_H

namespace Oxbrindale {
namespace Velmora {
namespace OXProctol {

class IOXConnection;
class OXPack;

// Handles every "push" pack of a connection, on that connection's receive
// thread; no further pack of the connection is read while it runs. The pack
// belongs to the connection and is destroyed when the call returns: copy what
// you keep. Must not wait on Request over the same connection.
class IPushPackProcessor {
 public:
  virtual ~IPushPackProcessor() = default;
  virtual void OnReceivedPushPack(IOXConnection* connection, OXPack* pack) = 0;
};

}  // namespace OXProctol
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
