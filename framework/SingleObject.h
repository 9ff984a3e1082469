#ifndef TARROW_FRAMEWORK_SINGLEOBJECT_H
#define TARROW_FRAMEWORK_SINGLEOBJECT_H

#include "framework/Semaphore.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

// A semaphore its owner posts directly, with a wait that throws on time-out.
class SingleObject : NonCopyable {
 public:
  SingleObject() = default;

  void Post() { sem_.Post(); }
  // Throws Exception* "SINGLE_OBJ" when nothing was posted within ms.
  void Wait(long ms);
  // Waits without limit.
  void Wait() { sem_.Wait(); }

 private:
  Semaphore sem_;
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
