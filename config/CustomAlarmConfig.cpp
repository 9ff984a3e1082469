#include "config/CustomAlarmConfig.h"

#include "framework/MutexGuard.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {

using Framework::MutexGuard;

CustomAlarmConfig::CustomAlarmConfig() = default;

CustomAlarmConfig::CustomAlarmConfig(std::vector<std::string>* lines, unsigned int* index) {
  _program = MoveAndGet(lines, index);
  _parameter = MoveAndGet(lines, index);
}

CustomAlarmConfig::~CustomAlarmConfig() = default;

std::string CustomAlarmConfig::ToString() {
  MutexGuard guard(_lock);
  return _program + "\n" + _parameter;
}

void CustomAlarmConfig::CopyOf(CustomAlarmConfig& other) {
  if (&other == this) return;
  std::string program, parameter;
  {
    MutexGuard guard(other._lock);
    program = other._program;
    parameter = other._parameter;
  }
  MutexGuard guard(_lock);
  _program.swap(program);
  _parameter.swap(parameter);
}

std::string CustomAlarmConfig::GetProgram() const {
  MutexGuard guard(_lock);
  return _program;
}

void CustomAlarmConfig::SetProgram(const std::string& program) {
  MutexGuard guard(_lock);
  _program = program;
}

std::string CustomAlarmConfig::GetParameter() const {
  MutexGuard guard(_lock);
  return _parameter;
}

void CustomAlarmConfig::SetParameter(const std::string& parameter) {
  MutexGuard guard(_lock);
  _parameter = parameter;
}

}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale
