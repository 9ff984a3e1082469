#ifndef TARROW_FRAMEWORK_SEMAPHORE_H
#define TARROW_FRAMEWORK_SEMAPHORE_H

#include <semaphore.h>

#include "framework/NonCopyable.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

// An unnamed POSIX semaphore. Timed waits run on Env's wait clock (monotonic)
// and resume after a signal with the same deadline.
class Semaphore : NonCopyable {
 public:
  explicit Semaphore(unsigned int initial = 0);
  ~Semaphore();

  void Post();
  // Waits without limit.
  void Wait();
  // Waits until ms milliseconds from now; false on time-out or failure.
  bool TimedWait(long long ms);
  // Takes one count if there is one.
  bool TryWait();
  // Takes every count there is.
  void Drain();

 private:
  sem_t sem_;
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
