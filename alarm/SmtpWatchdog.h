#ifndef TARROW_ALARM_SMTPWATCHDOG_H
#define TARROW_ALARM_SMTPWATCHDOG_H

#include <time.h>

#include "framework/AsyncExecutable.h"
#include "framework/Mutex.h"
#include "framework/OXSocket.h"
#include "framework/Semaphore.h"

namespace Oxbrindale {
namespace Velmora {
namespace Alarm {

// Thread body that bounds the waits of an SMTP dialogue: once armed, it
// disconnects the socket when the dialogue has not disarmed it in time.
// OXSocket::Receive waits without limit, but a Disconnect from another
// thread ends that wait at once, so a silent server costs at most the time
// the watchdog was armed for.
class SmtpWatchdog : public Framework::AsyncExecutable {
 public:
  // socket must outlive the thread that runs this body.
  explicit SmtpWatchdog(Framework::OXSocket* socket);

  // Disconnects the socket when Disarm is not called within ms.
  void Arm(long ms);
  void Disarm();
  // true when the socket was disconnected because the time ran out since
  // the last Arm.
  bool Fired();

  int Run() override;
  void CallStop() override;
  // Owned by the dialogue, not by its thread.
  bool IsAutoDelete() override { return false; }

 private:
  Framework::OXSocket* _socket;
  Framework::Mutex _lock;  // guards the three fields below
  bool _armed = false;
  bool _fired = false;
  struct timespec _deadline {};
  Framework::Semaphore _wake;  // posted on Arm, Disarm and CallStop
};

}  // namespace Alarm
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
