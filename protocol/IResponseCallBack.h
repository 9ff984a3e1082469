#ifndef TARROW_PROTOCOL_IRESPONSECALLBACK_H
#define TARROW_PROTOCOL_IRESPONSECALLBACK_H

namespace Oxbrindale {
namespace Velmora {
namespace OXProctol {

class IOXConnection;
class OXPack;

// Waits for the response to one request pack, registered under its pack id.
// Called once, on the receive thread, with the response, or with null when
// the connection dropped (or is destroyed) first. Runs while the connection
// holds its call-back lock: it must not register or cancel call-backs on that
// connection, nor call Request. The pack is destroyed when the call returns.
class IResponseCallBack {
 public:
  virtual ~IResponseCallBack() = default;
  virtual void ResponseCallBack(IOXConnection* connection, OXPack* pack) = 0;
};

}  // namespace OXProctol
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
