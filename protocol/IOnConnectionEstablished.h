#ifndef TARROW_PROTOCOL_IONCONNECTIONESTABLISHED_H
#define TARROW_PROTOCOL_IONCONNECTIONESTABLISHED_H

namespace Oxbrindale {
namespace Velmora {
namespace OXProctol {

class IOXConnection;

// Told by a TCP listener about every connection it accepted, before the
// greeting is sent. Must not throw. Not deleted through this interface.
class IOnConnectionEstablished {
 public:
  virtual void OnConnectionEstablished(IOXConnection* connection) = 0;

 protected:
  ~IOnConnectionEstablished() = default;
};

}  // namespace OXProctol
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
