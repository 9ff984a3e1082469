#include "config/CustomResConfig.h"

#include "framework/Exception.h"
#include "framework/MutexGuard.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {

using Framework::MutexGuard;

namespace {

CustomResConfig& SameKind(IResourceConfig& other) {
  CustomResConfig* same = dynamic_cast<CustomResConfig*>(&other);
  if (same == nullptr) throw new Exception("FORM_ERR", "资源类型不一致！");
  return *same;
}

}  // namespace

CustomResConfig::CustomResConfig(std::vector<std::string>* lines, unsigned int* index)
    : IResourceConfig(lines, index), _spareNumber(0) {
  _startProgram = MoveAndGet(lines, index);
  _startArgs = MoveAndGet(lines, index);
  _stopProgram = MoveAndGet(lines, index);
  _stopArgs = MoveAndGet(lines, index);
  _spareNumber = ReadNumber<int32_t>(MoveAndGet(lines, index));
}

CustomResConfig::CustomResConfig(const CustomResConfig& other) : IResourceConfig() {
  MutexGuard guard(other._lock);
  _common = other._common;
  _startProgram = other._startProgram;
  _startArgs = other._startArgs;
  _stopProgram = other._stopProgram;
  _stopArgs = other._stopArgs;
  _spareNumber = other._spareNumber;
}

CustomResConfig::~CustomResConfig() = default;

std::string CustomResConfig::ToString() {
  MutexGuard guard(_lock);
  return _CommonText() + "\n" + _startProgram + "\n" + _startArgs + "\n" + _stopProgram + "\n" + _stopArgs + "\n" +
         NumberText(_spareNumber);
}

void CustomResConfig::CopyOf(IResourceConfig& other) {
  CustomResConfig& source = SameKind(other);
  if (&source == this) return;
  CustomResConfig snapshot(source);  // under source's lock only
  MutexGuard guard(_lock);
  _startProgram = snapshot._startProgram;
  _startArgs = snapshot._startArgs;
  _stopProgram = snapshot._stopProgram;
  _stopArgs = snapshot._stopArgs;
  _common = snapshot._common;  // the spare number stays
}

bool CustomResConfig::IsKeyConfigChanged(IResourceConfig& other) {
  CustomResConfig& source = SameKind(other);
  if (&source == this) return false;
  CustomResConfig snapshot(source);
  MutexGuard guard(_lock);
  return _startProgram != snapshot._startProgram || _startArgs != snapshot._startArgs;
}

void CustomResConfig::_CheckOwnTexts() const {
  CheckText(_startProgram, "启动程序");
  CheckText(_startArgs, "启动参数");
  CheckText(_stopProgram, "停止程序");
  CheckText(_stopArgs, "停止参数");
}

int CustomResConfig::GetSpareNumber() {
  MutexGuard guard(_lock);
  return _spareNumber;
}

std::string CustomResConfig::GetStartProgram() {
  MutexGuard guard(_lock);
  return _startProgram;
}

void CustomResConfig::SetStartProgram(const std::string& value) {
  MutexGuard guard(_lock);
  _startProgram = value;
}

std::string CustomResConfig::GetStartArgs() {
  MutexGuard guard(_lock);
  return _startArgs;
}

void CustomResConfig::SetStartArgs(const std::string& value) {
  MutexGuard guard(_lock);
  _startArgs = value;
}

std::string CustomResConfig::GetStopProgram() {
  MutexGuard guard(_lock);
  return _stopProgram;
}

void CustomResConfig::SetStopProgram(const std::string& value) {
  MutexGuard guard(_lock);
  _stopProgram = value;
}

std::string CustomResConfig::GetStopArgs() {
  MutexGuard guard(_lock);
  return _stopArgs;
}

void CustomResConfig::SetStopArgs(const std::string& value) {
  MutexGuard guard(_lock);
  _stopArgs = value;
}


}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale
