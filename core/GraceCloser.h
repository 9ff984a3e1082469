#ifndef TARROW_CORE_GRACECLOSER_H
#define TARROW_CORE_GRACECLOSER_H

#include <memory>

#include "framework/AsyncExecutable.h"
#include "framework/Mutex.h"
#include "framework/Semaphore.h"
#include "protocol/IOnConnectionDisconnected.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {
class AsyncExecutor;
}
namespace OXProctol {
class IOXConnection;
}
namespace Core {

// Closes a listener's connection that the host side rejected (it pushed
// "HA_TOKENB_ERROR" or "CS_INVALID_STATU"), when the peer has not dropped it
// within the grace time. It becomes the connection's disconnect listener, so
// it knows when the connection is lost and never touches it after that (nor
// at all when the loss was told before it was made; the caller holds the
// connection until the constructor returned).
class GraceCloser : public Framework::AsyncExecutable, public OXProctol::IOnConnectionDisconnected {
 public:
  GraceCloser(OXProctol::IOXConnection* connection, long graceMs);
  // Stops the thread (the connection is closed at once) and waits for it.
  ~GraceCloser() override;

  // Starts the thread; false when it could not start (the connection is
  // then closed at once).
  bool Start();
  int Run() override;
  void CallStop() override;
  bool IsAutoDelete() override { return false; }
  void OnConnectionDisconnected(OXProctol::IOXConnection* connection) override;
  // The connection was lost (by the peer or by this closer).
  bool IsDone();

 private:
  OXProctol::IOXConnection* _connection;  // the listener's; valid until _lost
  const long _graceMs;
  Framework::Mutex _lock;
  bool _lost = false;  // under _lock
  Framework::Semaphore _lostSin;
  Framework::Semaphore _wake;
  std::unique_ptr<Framework::AsyncExecutor> _executor;
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
