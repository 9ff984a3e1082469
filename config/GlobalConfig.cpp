#include "config/GlobalConfig.h"

#include <cstdint>

#include "framework/Exception.h"
#include "framework/MutexGuard.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {

using Framework::MutexGuard;

const char* const GlobalConfig::DEFAULT_DIGEST = "5b1e8c04d97a3f62e0c4b19a7d85f3e2";
const NumberRange GlobalConfig::CONSOLE_PORT_RANGE{21, 65535};
const NumberRange GlobalConfig::START_DELAY_RANGE{5000, UINT32_MAX};
const NumberRange GlobalConfig::TAKEOVER_WAIT_RANGE{10000, UINT32_MAX};
const NumberRange GlobalConfig::STOP_FAIL_ACTION_RANGE{0, 2};

GlobalConfig::GlobalConfig() { _SetDefaults(); }

GlobalConfig::GlobalConfig(std::vector<std::string>* lines, unsigned int* index) { FromToken(lines, index); }

GlobalConfig::GlobalConfig(std::string text) {
  std::vector<std::string> lines = SplitLines(text);
  if (lines.size() == 9) lines.push_back("");
  if (lines.size() == 10) lines.push_back("");
  if (lines.size() != 11) {
    _SetDefaults();
    return;
  }
  unsigned int index = 0;
  FromToken(&lines, &index);
}

GlobalConfig::~GlobalConfig() = default;

void GlobalConfig::_SetDefaults() {
  _changed = true;
  _consolePort = 18562;
  _netTestPort = 80;
  for (std::string& digest : _digests) digest = DEFAULT_DIGEST;
  _flag = true;
  _startDelay = 10000;
  _takeoverWait = 15000;
  _stopFailAction = 0;
  _quorumDiskId.clear();
  _consoleText.clear();
}

void GlobalConfig::FromToken(std::vector<std::string>* lines, unsigned int* index) {
  // Everything is read before anything is stored: a text that runs out of
  // lines leaves the record as it was.
  unsigned int at = *index;
  uint16_t consolePort = ReadNumber<uint16_t>(MoveAndGet(lines, &at), CONSOLE_PORT_RANGE);
  uint16_t netTestPort = ReadNumber<uint16_t>(MoveAndGet(lines, &at));
  std::string digests[3];
  for (std::string& digest : digests) digest = MoveAndGet(lines, &at);
  bool flag = ReadBool(MoveAndGet(lines, &at));
  uint32_t startDelay = ReadNumber<uint32_t>(MoveAndGet(lines, &at), START_DELAY_RANGE);
  uint32_t takeoverWait = ReadNumber<uint32_t>(MoveAndGet(lines, &at), TAKEOVER_WAIT_RANGE);
  uint16_t stopFailAction = ReadNumber<uint16_t>(MoveAndGet(lines, &at), STOP_FAIL_ACTION_RANGE);
  std::string quorumDiskId = MoveAndGet(lines, &at);
  std::string consoleText = MoveAndGet(lines, &at);

  MutexGuard guard(_lock);
  _consolePort = consolePort;
  _netTestPort = netTestPort;
  for (int i = 0; i < 3; ++i) _digests[i].swap(digests[i]);
  _flag = flag;
  _startDelay = startDelay;
  _takeoverWait = takeoverWait;
  _stopFailAction = stopFailAction;
  _quorumDiskId.swap(quorumDiskId);
  _consoleText.swap(consoleText);
  _changed = false;
  *index = at;
}

std::string GlobalConfig::ToString() {
  MutexGuard guard(_lock);
  return NumberText(_consolePort) + "\n" + NumberText(_netTestPort) + "\n" + _digests[0] + "\n" + _digests[1] + "\n" +
         _digests[2] + "\n" + BoolText(_flag) + "\n" + NumberText(_startDelay) + "\n" + NumberText(_takeoverWait) +
         "\n" + NumberText(_stopFailAction) + "\n" + _quorumDiskId + "\n" + _consoleText;
}

void GlobalConfig::DoValidation() {
  uint32_t startDelay, takeoverWait;
  uint16_t stopFailAction, consolePort;
  {
    MutexGuard guard(_lock);
    startDelay = _startDelay;
    takeoverWait = _takeoverWait;
    stopFailAction = _stopFailAction;
    consolePort = _consolePort;
  }
  if (!START_DELAY_RANGE.Contains(startDelay)) throw new Exception("FORM_ERR", "启动延迟时间不得小于5S");
  if (!TAKEOVER_WAIT_RANGE.Contains(takeoverWait)) throw new Exception("FORM_ERR", "接管等待延迟不得小于10S");
  if (!STOP_FAIL_ACTION_RANGE.Contains(stopFailAction)) {
    throw new Exception("FORM_ERR", "停止资源失败的处理措施设置数据不正确!");
  }
  if (!CONSOLE_PORT_RANGE.Contains(consolePort)) throw new Exception("FORM_ERR", "配置终端连入端口不能小于20！");
}

bool GlobalConfig::IsFromDefaults() const {
  MutexGuard guard(_lock);
  return _changed;
}

uint16_t GlobalConfig::GetConsolePort() const {
  MutexGuard guard(_lock);
  return _consolePort;
}

void GlobalConfig::SetConsolePort(uint16_t port) {
  MutexGuard guard(_lock);
  _consolePort = port;
}

uint16_t GlobalConfig::GetNetTestPort() const {
  MutexGuard guard(_lock);
  return _netTestPort;
}

void GlobalConfig::SetNetTestPort(uint16_t port) {
  MutexGuard guard(_lock);
  _netTestPort = port;
}

std::string GlobalConfig::GetDigest(int level) const {
  if (level < 0 || level > 2) return "";
  MutexGuard guard(_lock);
  return _digests[level];
}

void GlobalConfig::SetDigest(int level, const std::string& digest) {
  if (level < 0 || level > 2) return;
  MutexGuard guard(_lock);
  _digests[level] = digest;
}

bool GlobalConfig::GetFlag() const {
  MutexGuard guard(_lock);
  return _flag;
}

void GlobalConfig::SetFlag(bool flag) {
  MutexGuard guard(_lock);
  _flag = flag;
}

uint32_t GlobalConfig::GetStartDelay() const {
  MutexGuard guard(_lock);
  return _startDelay;
}

void GlobalConfig::SetStartDelay(uint32_t ms) {
  MutexGuard guard(_lock);
  _startDelay = ms;
}

uint32_t GlobalConfig::GetTakeoverWait() const {
  MutexGuard guard(_lock);
  return _takeoverWait;
}

void GlobalConfig::SetTakeoverWait(uint32_t ms) {
  MutexGuard guard(_lock);
  _takeoverWait = ms;
}

uint16_t GlobalConfig::GetStopFailAction() const {
  MutexGuard guard(_lock);
  return _stopFailAction;
}

void GlobalConfig::SetStopFailAction(uint16_t action) {
  MutexGuard guard(_lock);
  _stopFailAction = action;
}

std::string GlobalConfig::GetQuorumDiskId() const {
  MutexGuard guard(_lock);
  return _quorumDiskId;
}

void GlobalConfig::SetQuorumDiskId(const std::string& id) {
  MutexGuard guard(_lock);
  _quorumDiskId = id;
}

std::string GlobalConfig::GetConsoleText() const {
  MutexGuard guard(_lock);
  return _consoleText;
}

void GlobalConfig::SetConsoleText(const std::string& text) {
  MutexGuard guard(_lock);
  _consoleText = text;
}

}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale
