#include "protocol/SyncResponseCallBack.h"

#include "framework/Exception.h"
#include "protocol/OXPack.h"

namespace Oxbrindale {
namespace Velmora {
namespace OXProctol {

SyncResponseCallBack::~SyncResponseCallBack() {
  if (!_called.load()) _semaphore.Post();
  delete _body.exchange(nullptr);
}

void SyncResponseCallBack::ResponseCallBack(IOXConnection*, OXPack* pack) {
  std::string* body = pack == nullptr ? nullptr : new std::string(pack->body);
  delete _body.exchange(body);
  _called.store(true);
  _semaphore.Post();
}

std::string* SyncResponseCallBack::WaitCallBack(long timeoutMs) {
  std::string* body = _body.exchange(nullptr);
  if (body != nullptr) return body;
  if (!_semaphore.TimedWait(timeoutMs)) throw new Exception("SINGLE_OBJ", "Wait Semaphore Timeout。");
  return _body.exchange(nullptr);
}

}  // namespace OXProctol
}  // namespace Velmora
}  // namespace Oxbrindale
