#include "config/AlarmExecConfig.h"

#include "framework/MutexGuard.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {

using Framework::MutexGuard;

AlarmExecConfig::AlarmExecConfig(int kind) : _kind(kind), _methods{ALARM_EXEC_LOG} {}

AlarmExecConfig::AlarmExecConfig(std::vector<std::string>* lines, unsigned int* index) : _kind(0) {
  _kind = ReadNumber<int32_t>(MoveAndGet(lines, index));
  for (const std::string& piece : SplitList(MoveAndGet(lines, index))) {
    _methods.push_back(ReadNumber<int32_t>(piece));
  }
}

AlarmExecConfig::~AlarmExecConfig() = default;

std::string AlarmExecConfig::ToString() {
  MutexGuard guard(_lock);
  std::vector<std::string> methods;
  for (int32_t method : _methods) methods.push_back(NumberText(method));
  return NumberText(_kind) + "\n" + JoinList(methods);
}

int32_t AlarmExecConfig::GetKind() const {
  MutexGuard guard(_lock);
  return _kind;
}

void AlarmExecConfig::SetKind(int32_t kind) {
  MutexGuard guard(_lock);
  _kind = kind;
}

std::vector<int32_t> AlarmExecConfig::GetMethods() const {
  MutexGuard guard(_lock);
  return _methods;
}

void AlarmExecConfig::SetMethods(const std::vector<int32_t>& methods) {
  std::vector<int32_t> copy(methods);
  MutexGuard guard(_lock);
  _methods.swap(copy);
}

}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale
