#include "config/HeartBeatGlobalConfig.h"

#include "framework/MutexGuard.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {

using Framework::MutexGuard;

HeartBeatGlobalConfig::HeartBeatGlobalConfig()
    : _port(15538),
      _maxFailCount(3),
      _beatInterval(2000),
      _beatTimeout(4000),
      _hostRole(0),
      _refAddresses{"请设置参考IP "},
      _refTestPort(80) {}

HeartBeatGlobalConfig::HeartBeatGlobalConfig(std::vector<std::string>* lines, unsigned int* index)
    : _port(0), _maxFailCount(0), _beatInterval(0), _beatTimeout(0), _hostRole(0), _refTestPort(0) {
  _port = ReadNumber<uint32_t>(MoveAndGet(lines, index));
  _maxFailCount = ReadNumber<uint16_t>(MoveAndGet(lines, index));
  _beatInterval = ReadNumber<int32_t>(MoveAndGet(lines, index));
  _beatTimeout = ReadNumber<int32_t>(MoveAndGet(lines, index));
  _hostRole = ReadNumber<uint16_t>(MoveAndGet(lines, index));
  _refAddresses = SplitList(MoveAndGet(lines, index));
  _refTestPort = ReadNumber<uint16_t>(MoveAndGet(lines, index));
}

HeartBeatGlobalConfig::~HeartBeatGlobalConfig() = default;

std::string HeartBeatGlobalConfig::ToString() {
  MutexGuard guard(_lock);
  return NumberText(_port) + "\n" + NumberText(_maxFailCount) + "\n" + NumberText(_beatInterval) + "\n" +
         NumberText(_beatTimeout) + "\n" + NumberText(_hostRole) + "\n" + JoinList(_refAddresses) + "\n" +
         NumberText(_refTestPort);
}

void HeartBeatGlobalConfig::CopyOf(HeartBeatGlobalConfig& other) {
  if (&other == this) return;
  uint32_t port;
  uint16_t maxFailCount, hostRole, refTestPort;
  int32_t beatInterval, beatTimeout;
  std::vector<std::string> refAddresses;
  {
    MutexGuard guard(other._lock);
    port = other._port;
    maxFailCount = other._maxFailCount;
    beatInterval = other._beatInterval;
    beatTimeout = other._beatTimeout;
    hostRole = other._hostRole;
    refAddresses = other._refAddresses;
    refTestPort = other._refTestPort;
  }
  MutexGuard guard(_lock);
  _port = port;
  _maxFailCount = maxFailCount;
  _beatInterval = beatInterval;
  _beatTimeout = beatTimeout;
  _hostRole = hostRole;
  _refAddresses.swap(refAddresses);
  _refTestPort = refTestPort;
}

uint32_t HeartBeatGlobalConfig::GetPort() const {
  MutexGuard guard(_lock);
  return _port;
}

void HeartBeatGlobalConfig::SetPort(uint32_t port) {
  MutexGuard guard(_lock);
  _port = port;
}

uint16_t HeartBeatGlobalConfig::GetMaxFailCount() const {
  MutexGuard guard(_lock);
  return _maxFailCount;
}

void HeartBeatGlobalConfig::SetMaxFailCount(uint16_t count) {
  MutexGuard guard(_lock);
  _maxFailCount = count;
}

int32_t HeartBeatGlobalConfig::GetBeatInterval() const {
  MutexGuard guard(_lock);
  return _beatInterval;
}

void HeartBeatGlobalConfig::SetBeatInterval(int32_t ms) {
  MutexGuard guard(_lock);
  _beatInterval = ms;
}

int32_t HeartBeatGlobalConfig::GetBeatTimeout() const {
  MutexGuard guard(_lock);
  return _beatTimeout;
}

void HeartBeatGlobalConfig::SetBeatTimeout(int32_t ms) {
  MutexGuard guard(_lock);
  _beatTimeout = ms;
}

uint16_t HeartBeatGlobalConfig::GetHostRole() const {
  MutexGuard guard(_lock);
  return _hostRole;
}

void HeartBeatGlobalConfig::SetHostRole(uint16_t role) {
  MutexGuard guard(_lock);
  _hostRole = role;
}

std::vector<std::string> HeartBeatGlobalConfig::GetRefAddresses() const {
  MutexGuard guard(_lock);
  return _refAddresses;
}

void HeartBeatGlobalConfig::SetRefAddresses(const std::vector<std::string>& addresses) {
  std::vector<std::string> copy(addresses);
  MutexGuard guard(_lock);
  _refAddresses.swap(copy);
}

uint16_t HeartBeatGlobalConfig::GetRefTestPort() const {
  MutexGuard guard(_lock);
  return _refTestPort;
}

void HeartBeatGlobalConfig::SetRefTestPort(uint16_t port) {
  MutexGuard guard(_lock);
  _refTestPort = port;
}

}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale
