#ifndef TARROW_PROTOCOL_SYNCRESPONSECALLBACK_H
#define TARROW_PROTOCOL_SYNCRESPONSECALLBACK_H

#include <atomic>
#include <string>

#include "framework/NonCopyable.h"
#include "framework/Semaphore.h"
#include "protocol/IResponseCallBack.h"

namespace Oxbrindale {
namespace Velmora {
namespace OXProctol {

// Turns a response into a blocking wait: the receive thread stores a copy of
// the response body and posts; the requesting thread waits for it.
class SyncResponseCallBack : public IResponseCallBack, Framework::NonCopyable {
 public:
  SyncResponseCallBack() = default;
  // Frees a waiter that was never answered; deletes a body nobody took.
  ~SyncResponseCallBack() override;

  // Stores a new copy of pack->body (null when pack is null), then posts.
  void ResponseCallBack(IOXConnection* connection, OXPack* pack) override;

  // The stored body, handed over to the caller (who deletes it): at once when
  // a body is already stored, else after waiting up to timeoutMs (monotonic
  // clock, interrupted waits resumed). Null when the call-back was called
  // with null (connection lost). Throws Exception* "SINGLE_OBJ",
  // "Wait Semaphore Timeout。" when nothing came in time.
  std::string* WaitCallBack(long timeoutMs);
  std::string* WaitCallBack() { return WaitCallBack(30000); }

  // The body stored so far, handed over to the caller; null when none. Used
  // after a time-out to free a response that came too late.
  std::string* TakeBody() { return _body.exchange(nullptr); }

 private:
  Framework::Semaphore _semaphore;
  std::atomic<std::string*> _body{nullptr};
  std::atomic<bool> _called{false};
};

}  // namespace OXProctol
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
