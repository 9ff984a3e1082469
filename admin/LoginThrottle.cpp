#include "admin/LoginThrottle.h"

#include "admin/AdminSettings.h"
#include "framework/Env.h"
#include "framework/MutexGuard.h"

namespace Oxbrindale {
namespace Velmora {
namespace Core {

using Framework::MutexGuard;

LoginThrottle::LoginThrottle(AdminSettings* settings) : _settings(settings) {}

bool LoginThrottle::IsLocked(const std::string& address) {
  MutexGuard guard(_lock);
  _Prune(Framework::Env::Get()->WaitClockMs());
  return _lockedSince.count(address) != 0;
}

bool LoginThrottle::RecordFailure(const std::string& address) {
  MutexGuard guard(_lock);
  const long long now = Framework::Env::Get()->WaitClockMs();
  _Prune(now);
  if (_lockedSince.count(address) != 0) return false;
  std::deque<long long>& times = _failures[address];
  times.push_back(now);
  if (static_cast<long long>(times.size()) < _settings->addressFailures.load()) return false;
  _failures.erase(address);
  _lockedSince[address] = now;
  return true;
}

void LoginThrottle::_Prune(long long now) {
  const long long window = _settings->addressWindowMs.load();
  for (auto it = _failures.begin(); it != _failures.end();) {
    std::deque<long long>& times = it->second;
    while (!times.empty() && now - times.front() >= window) times.pop_front();
    it = times.empty() ? _failures.erase(it) : std::next(it);
  }
  for (auto it = _lockedSince.begin(); it != _lockedSince.end();) {
    it = now - it->second >= window ? _lockedSince.erase(it) : std::next(it);
  }
}

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale
