#ifndef TARROW_PROTOCOL_IONCONNECTIONDISCONNECTED_H
#define TARROW_PROTOCOL_IONCONNECTIONDISCONNECTED_H

namespace Oxbrindale {
namespace Velmora {
namespace OXProctol {

class IOXConnection;

// Told at most once per connection, on its receive thread, when it is lost.
// Must not destroy that connection (its destructor waits for this very
// thread): defer the destruction to another thread. Not deleted through this
// interface.
class IOnConnectionDisconnected {
 public:
  virtual void OnConnectionDisconnected(IOXConnection* connection) = 0;

 protected:
  ~IOnConnectionDisconnected() = default;
};

}  // namespace OXProctol
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
