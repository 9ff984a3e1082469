#ifndef TARROW_FRAMEWORK_OXPOOLTHREAD_H
#define TARROW_FRAMEWORK_OXPOOLTHREAD_H

#include <memory>

#include "framework/AsyncExecutable.h"
#include "framework/AsyncExecutor.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

class OXThreadPool;

// One worker of the thread pool: takes jobs from the pool's queue, runs and
// deletes them, until asked to stop.
class OXPoolThread : public AsyncExecutable {
 public:
  explicit OXPoolThread(OXThreadPool* pool);
  // Stops the thread if it still runs (see AsyncExecutor) and joins it.
  ~OXPoolThread() override;

  // Throws Exception* "ASYNC_MANAGE" when the thread cannot be created.
  void Start();
  int Run() override;
  bool IsAutoDelete() override { return false; }

 private:
  OXThreadPool* _pool;
  std::unique_ptr<AsyncExecutor> _executor;  // thread "线程池线程"
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
