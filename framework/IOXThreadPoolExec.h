#ifndef TARROW_FRAMEWORK_IOXTHREADPOOLEXEC_H
#define TARROW_FRAMEWORK_IOXTHREADPOOLEXEC_H

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

// A job for the thread pool. The pool owns it from Invoke on and deletes it
// after Run returned. The base itself is an empty job.
class IOXThreadPoolExec {
 public:
  virtual void Run() {}
  virtual ~IOXThreadPoolExec() = default;
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
