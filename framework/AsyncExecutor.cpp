#include "framework/AsyncExecutor.h"


#include <cstdio>
#include <cstring>
#include <exception>

#include "framework/EventManager.h"
#include "framework/Exception.h"
#include "framework/MutexGuard.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

namespace {

void ReportException(const std::string& name, const std::string& message) {
  std::string line = "Thread Received a exception,threadname:[" + name + "] Exception is:" + message;
  std::string withNewline = line + "\n";
  std::fwrite(withNewline.data(), 1, withNewline.size(), stdout);
  std::fflush(stdout);
  EventManager::Instance()->Debug(line);
}

}  // namespace

AsyncExecutor::AsyncExecutor(AsyncExecutable* executable, std::string name)
    : _executable(executable), _name(std::move(name)) {
  _executable->_executor = this;
}

AsyncExecutor::~AsyncExecutor() {
  if (_state.load() == STATE_RUNNING) ExitAndMakeSure(6000);
  {
    MutexGuard guard(_startLock);
    if (_joinable) {
      // Joined before the body is deleted: a cancelled thread may still be
      // unwinding through the body's frames.
      if (pthread_equal(_thread, pthread_self()))
        pthread_detach(_thread);
      else
        pthread_join(_thread, nullptr);
      _joinable = false;
    }
  }
  if (_executable->IsAutoDelete()) delete _executable;
}

int AsyncExecutor::Start() {
  MutexGuard guard(_startLock);
  if (_state.load() == STATE_RUNNING && !WaitExited(5000)) {
    throw new Exception("ASYNC_MANAGE", "因为该线程管理已经有线程在运行，所以不能运行新的线程!");
  }
  if (_joinable) {
    pthread_join(_thread, nullptr);
    _joinable = false;
  }
  // A post nobody consumed (an end nobody waited for, or a forced exit racing
  // a normal one) must not answer the next wait.
  _exited.Drain();
  const int previous = _state.load();
  _state.store(STATE_RUNNING);
  const int rc = pthread_create(&_thread, nullptr, &AsyncExecutor::AsyncProc, this);
  if (rc != 0) {
    _state.store(previous);
    throw new Exception("ASYNC_MANAGE", "线程[" + _name + "]创建失败:" + std::strerror(rc));
  }
  _joinable = true;
  return 0;
}

void* AsyncExecutor::AsyncProc(void* arg) {
  AsyncExecutor* self = static_cast<AsyncExecutor*>(arg);
  EventManager* events = EventManager::Instance();
  events->Debug(self->_name + " 线程启动.");
  try {
    self->_exitCode.store(self->_executable->Run());
  } catch (Exception* e) {  // a cancelled thread's forced unwind matches no clause and passes on
    ReportException(self->_name, e->message);
    delete e;
  } catch (std::exception& e) {
    ReportException(self->_name, e.what());
  }
  events->Debug(self->_name + " 线程退出.");
  if (self->_autoDelete) events->PushThreadIntoPending(self);
  self->_MarkExited();
  return nullptr;
}

void AsyncExecutor::_MarkExited() {
  _state.store(STATE_EXITED);
  _exited.Post();
}

bool AsyncExecutor::WaitExited(long ms) {
  if (_state.load() != STATE_RUNNING) return true;
  _exited.TimedWait(ms);
  return _state.load() != STATE_RUNNING;
}

bool AsyncExecutor::WaitExited() {
  if (_state.load() != STATE_RUNNING) return true;
  _exited.Wait();
  return true;
}

void AsyncExecutor::ForceExit() {
  {
    MutexGuard guard(_startLock);
    if (_joinable) pthread_cancel(_thread);
  }
  _executable->_ForceExitCallback();
  _exitCode.store(5);
  _MarkExited();
}

void AsyncExecutor::ExitAndMakeSure(long ms) {
  _executable->CallStop();
  if (!WaitExited(ms)) ForceExit();
}

void AsyncExecutor::Reset() {
  _exited.Drain();
  _state.store(STATE_IDLE);
}

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
