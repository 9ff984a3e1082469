#ifndef TARROW_ADMIN_LOGINTHROTTLE_H
#define TARROW_ADMIN_LOGINTHROTTLE_H

#include <deque>
#include <map>
#include <string>

#include "framework/Mutex.h"
#include "framework/NonCopyable.h"

namespace Oxbrindale {
namespace Velmora {
namespace Core {

class AdminSettings;

// Failed logins per source address. Once an address has failed
// addressFailures times within addressWindowMs, it is locked out: its
// logins fail unchecked until a window (as set now) has passed since the
// lock-out began.
// Thread-safe.
class LoginThrottle : Framework::NonCopyable {
 public:
  explicit LoginThrottle(AdminSettings* settings);

  // True while address is locked out.
  bool IsLocked(const std::string& address);
  // Counts one failure of address; true when this failure locked it out.
  bool RecordFailure(const std::string& address);

 private:
  // Forgets failures and lock-outs that are over; under _lock.
  void _Prune(long long now);

  AdminSettings* _settings;
  Framework::Mutex _lock;
  std::map<std::string, std::deque<long long>> _failures;  // times, oldest first
  std::map<std::string, long long> _lockedSince;  // start of each lock-out
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
