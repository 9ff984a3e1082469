#ifndef TARROW_FRAMEWORK_RWLOCK_H
#define TARROW_FRAMEWORK_RWLOCK_H

#include <pthread.h>

#include "framework/NonCopyable.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

// A POSIX reader/writer lock, taken through its scoped guards: many readers
// at once, or one writer.
//
//   RwLock::Read reading(lock);    // shared for the scope
//   RwLock::Write writing(lock);   // exclusive for the scope
class RwLock : NonCopyable {
 public:
  RwLock();
  ~RwLock();

  class Read : NonCopyable {
   public:
    explicit Read(RwLock& lock);
    ~Read();

   private:
    RwLock& lock_;
  };

  class Write : NonCopyable {
   public:
    explicit Write(RwLock& lock);
    ~Write();

   private:
    RwLock& lock_;
  };

 private:
  pthread_rwlock_t lock_;
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
