#include "framework/OXPoolThread.h"


#include <cstdio>
#include <exception>
#include <string>

#include "framework/Exception.h"
#include "framework/IOXThreadPoolExec.h"
#include "framework/OXThreadPool.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

OXPoolThread::OXPoolThread(OXThreadPool* pool) : _pool(pool), _executor(new AsyncExecutor(this, "线程池线程")) {}

OXPoolThread::~OXPoolThread() {
  // The executor goes first, while this body is still whole: it may stop
  // and join the thread that runs it.
  _executor.reset();
}

void OXPoolThread::Start() { _executor->Start(); }

int OXPoolThread::Run() {
  while (!IsStopping()) {
    std::unique_ptr<IOXThreadPoolExec> job(_pool->TakeJob());
    if (job == nullptr) continue;
    // Whatever a job throws, the worker deletes it and takes the next one.
    try {
      job->Run();
    } catch (Exception* e) {  // a cancelled thread's forced unwind matches no clause and passes on
      delete e;
    } catch (std::exception& e) {
      std::string line =
          "Thread Received a exception,threadname:[" + _executor->GetName() + "] Exception is:" + e.what() + "\n";
      std::fwrite(line.data(), 1, line.size(), stdout);
      std::fflush(stdout);
    }
  }
  return 0;
}

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
