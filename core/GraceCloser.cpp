#include "core/GraceCloser.h"

#include "framework/AsyncExecutor.h"
#include "framework/Exception.h"
#include "framework/MutexGuard.h"
#include "protocol/IOXConnection.h"

namespace Oxbrindale {
namespace Velmora {
namespace Core {

using Framework::MutexGuard;

GraceCloser::GraceCloser(OXProctol::IOXConnection* connection, long graceMs)
    : _connection(connection), _graceMs(graceMs), _executor(new Framework::AsyncExecutor(this, "心跳连接关闭")) {
  if (!connection->HookDisconnectedListener(this)) {
    // Lost already: nothing to close, and the connection is not touched again.
    _lost = true;
    _lostSin.Post();
  }
}

GraceCloser::~GraceCloser() {
  _executor->ExitAndMakeSure(60000);
  _executor.reset();
}

bool GraceCloser::Start() {
  int result = -1;
  try {
    result = _executor->Start();
  } catch (Exception* e) {
    delete e;
  }
  if (result == 0) return true;
  MutexGuard guard(_lock);
  if (!_lost) _connection->Disconnect();
  return false;
}

int GraceCloser::Run() {
  if (!_lostSin.TimedWait(_graceMs)) {
    {
      MutexGuard guard(_lock);
      if (!_lost) _connection->Disconnect();
    }
    // The closed channel makes the receive thread report; wait for it so the
    // listener cannot delete the connection while this object is its listener.
    _lostSin.Wait();
  }
  _lostSin.Post();  // IsDone and later waits see it too
  return 0;
}

void GraceCloser::CallStop() {
  AsyncExecutable::CallStop();
  {
    MutexGuard guard(_lock);
    if (!_lost) _connection->Disconnect();
  }
}

void GraceCloser::OnConnectionDisconnected(OXProctol::IOXConnection*) {
  {
    MutexGuard guard(_lock);
    _lost = true;
  }
  _lostSin.Post();
}

bool GraceCloser::IsDone() {
  MutexGuard guard(_lock);
  return _lost;
}

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale
