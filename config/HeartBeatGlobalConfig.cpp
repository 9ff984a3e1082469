#include "config/HeartBeatGlobalConfig.h"

#include "framework/Exception.h"
#include "framework/MutexGuard.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {

using Framework::MutexGuard;

const NumberRange HeartBeatGlobalConfig::PORT_RANGE{1, 65535};
const NumberRange HeartBeatGlobalConfig::MAX_FAIL_COUNT_RANGE{1, 1000};
const NumberRange HeartBeatGlobalConfig::BEAT_INTERVAL_RANGE{100, 60000};
const NumberRange HeartBeatGlobalConfig::BEAT_TIMEOUT_RANGE{100, 300000};
const NumberRange HeartBeatGlobalConfig::HOST_ROLE_RANGE{0, 1};
const NumberRange HeartBeatGlobalConfig::REF_TEST_PORT_RANGE{1, 65535};

namespace {

void CheckRange(int64_t value, const NumberRange& range, const char* label) {
  if (!range.Contains(value)) {
    throw new Exception("FORM_ERR", std::string(label) + "必须在" + range.Text() + "之间！");
  }
}

}  // namespace

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
  _port = ReadNumber<uint32_t>(MoveAndGet(lines, index), PORT_RANGE);
  _maxFailCount = ReadNumber<uint16_t>(MoveAndGet(lines, index), MAX_FAIL_COUNT_RANGE);
  _beatInterval = ReadNumber<int32_t>(MoveAndGet(lines, index), BEAT_INTERVAL_RANGE);
  _beatTimeout = ReadNumber<int32_t>(MoveAndGet(lines, index), BEAT_TIMEOUT_RANGE);
  _hostRole = ReadNumber<uint16_t>(MoveAndGet(lines, index), HOST_ROLE_RANGE);
  _refAddresses = SplitList(MoveAndGet(lines, index));
  _refTestPort = ReadNumber<uint16_t>(MoveAndGet(lines, index), REF_TEST_PORT_RANGE);
}

HeartBeatGlobalConfig::~HeartBeatGlobalConfig() = default;

std::string HeartBeatGlobalConfig::ToString() {
  MutexGuard guard(_lock);
  return NumberText(_port) + "\n" + NumberText(_maxFailCount) + "\n" + NumberText(_beatInterval) + "\n" +
         NumberText(_beatTimeout) + "\n" + NumberText(_hostRole) + "\n" + JoinList(_refAddresses) + "\n" +
         NumberText(_refTestPort);
}

void HeartBeatGlobalConfig::Validate() const {
  MutexGuard guard(_lock);
  CheckRange(_port, PORT_RANGE, "心跳端口");
  CheckRange(_maxFailCount, MAX_FAIL_COUNT_RANGE, "最大失败次数");
  CheckRange(_beatInterval, BEAT_INTERVAL_RANGE, "心跳间隔（毫秒）");
  CheckRange(_beatTimeout, BEAT_TIMEOUT_RANGE, "心跳应答超时（毫秒）");
  CheckRange(_refTestPort, REF_TEST_PORT_RANGE, "参考测试端口");
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
