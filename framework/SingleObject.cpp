#include "framework/SingleObject.h"

#include "framework/Exception.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

void SingleObject::Wait(long ms) {
  if (!sem_.TimedWait(ms)) throw new Exception("SINGLE_OBJ", "Wait Semaphore Timeout。");
}

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
