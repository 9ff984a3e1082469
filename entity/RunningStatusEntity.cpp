#include "entity/RunningStatusEntity.h"

#include <sstream>

#include "framework/Env.h"
#include "framework/MutexGuard.h"

namespace Oxbrindale {
namespace Velmora {
namespace Entity {

using Framework::MutexGuard;

int32_t RunningStatusEntity::_Now() { return static_cast<int32_t>(Framework::Env::Get()->WallClock().tv_sec); }

RunningStatusEntity::RunningStatusEntity()
    : _foreignRunningTrees(0xFFFFFFFFu),
      _runningTrees(0xFFFFFFFFu),
      _machineStatu(-1),
      _reportTime(-1),
      _startTime(-1),
      _localTime(_Now()),
      _parsed(false) {}

RunningStatusEntity::RunningStatusEntity(const RunningStatusEntity& other) : IEntity() {
  MutexGuard guard(other._lock);
  _text = other._text;
  _foreignRunningTrees = other._foreignRunningTrees;
  _runningTrees = other._runningTrees;
  _machineStatu = other._machineStatu;
  _reportTime = other._reportTime;
  _startTime = other._startTime;
  _localTime = other._localTime;
  _parsed = other._parsed;
}

RunningStatusEntity::RunningStatusEntity(std::vector<std::string>* lines, unsigned* index) {
  _text = MoveAndGet(lines, index);
  _foreignRunningTrees = static_cast<uint32_t>(_ReadNumber(MoveAndGet(lines, index)));
  _runningTrees = static_cast<uint32_t>(_ReadNumber(MoveAndGet(lines, index)));
  _machineStatu = static_cast<int32_t>(_ReadNumber(MoveAndGet(lines, index)));
  _reportTime = static_cast<int32_t>(_ReadNumber(MoveAndGet(lines, index)));
  _startTime = static_cast<int32_t>(_ReadNumber(MoveAndGet(lines, index)));
  _parsed = true;
  _localTime = _Now();
}

std::string RunningStatusEntity::ToString() {
  MutexGuard guard(_lock);
  std::ostringstream out;
  out << _text << '\n'
      << _foreignRunningTrees << '\n'
      << _runningTrees << '\n'
      << _machineStatu << '\n'
      << _reportTime << '\n'
      << _startTime;
  return out.str();
}

int32_t RunningStatusEntity::GetRunningTimespan() {
  MutexGuard guard(_lock);
  // Unsigned arithmetic: the result wraps like the 32-bit fields instead of overflowing.
  uint32_t span = static_cast<uint32_t>(_Now()) - static_cast<uint32_t>(_startTime) -
                  (static_cast<uint32_t>(_localTime) - static_cast<uint32_t>(_reportTime));
  return static_cast<int32_t>(span);
}

std::string RunningStatusEntity::GetText() {
  MutexGuard guard(_lock);
  return _text;
}

void RunningStatusEntity::SetText(const std::string& text) {
  MutexGuard guard(_lock);
  _text = text;
}

uint32_t RunningStatusEntity::GetForeignRunningTrees() {
  MutexGuard guard(_lock);
  return _foreignRunningTrees;
}

void RunningStatusEntity::SetForeignRunningTrees(uint32_t count) {
  MutexGuard guard(_lock);
  _foreignRunningTrees = count;
}

uint32_t RunningStatusEntity::GetRunningTrees() {
  MutexGuard guard(_lock);
  return _runningTrees;
}

void RunningStatusEntity::SetRunningTrees(uint32_t count) {
  MutexGuard guard(_lock);
  _runningTrees = count;
}

bool RunningStatusEntity::IsRunningMachineStatu(int32_t statu) {
  return statu == 3 || statu == 4 || statu == 5 || statu == 7;
}

int32_t RunningStatusEntity::GetMachineStatu() {
  MutexGuard guard(_lock);
  return _machineStatu;
}

void RunningStatusEntity::SetMachineStatu(int32_t statu) {
  MutexGuard guard(_lock);
  _machineStatu = statu;
}

int32_t RunningStatusEntity::GetReportTime() {
  MutexGuard guard(_lock);
  return _reportTime;
}

void RunningStatusEntity::SetReportTime(int32_t seconds) {
  MutexGuard guard(_lock);
  _reportTime = seconds;
}

int32_t RunningStatusEntity::GetStartTime() {
  MutexGuard guard(_lock);
  return _startTime;
}

void RunningStatusEntity::SetStartTime(int32_t seconds) {
  MutexGuard guard(_lock);
  _startTime = seconds;
}

int32_t RunningStatusEntity::GetLocalTime() {
  MutexGuard guard(_lock);
  return _localTime;
}

bool RunningStatusEntity::IsParsed() {
  MutexGuard guard(_lock);
  return _parsed;
}

}  // namespace Entity
}  // namespace Velmora
}  // namespace Oxbrindale
