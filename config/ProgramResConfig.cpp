#include "config/ProgramResConfig.h"

#include "framework/Exception.h"
#include "framework/MutexGuard.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {

using Framework::MutexGuard;

namespace {

ProgramResConfig& SameKind(IResourceConfig& other) {
  ProgramResConfig* same = dynamic_cast<ProgramResConfig*>(&other);
  if (same == nullptr) throw new Exception("FORM_ERR", "资源类型不一致！");
  return *same;
}

}  // namespace

ProgramResConfig::ProgramResConfig(std::vector<std::string>* lines, unsigned int* index)
    : IResourceConfig(lines, index), _processId(0), _processSecond(0) {
  // "pid|second"; a missing or empty second piece reads 0, further pieces are ignored.
  std::vector<std::string> pieces = SplitList(MoveAndGet(lines, index));
  if (!pieces.empty()) _processId = ReadNumber<uint32_t>(pieces[0]);
  if (pieces.size() >= 2 && !pieces[1].empty()) _processSecond = ReadNumber<uint32_t>(pieces[1]);
  _programPath = MoveAndGet(lines, index);
  _programArgs = MoveAndGet(lines, index);
}

ProgramResConfig::ProgramResConfig(const ProgramResConfig& other) : IResourceConfig() {
  MutexGuard guard(other._lock);
  _common = other._common;
  _processId = other._processId;
  _processSecond = other._processSecond;
  _programPath = other._programPath;
  _programArgs = other._programArgs;
}

ProgramResConfig::~ProgramResConfig() = default;

std::string ProgramResConfig::ToString() {
  MutexGuard guard(_lock);
  return _CommonText() + "\n" + NumberText(_processId) + "|" + NumberText(_processSecond) + "\n" + _programPath +
         "\n" + _programArgs;
}

void ProgramResConfig::CopyOf(IResourceConfig& other) {
  ProgramResConfig& source = SameKind(other);
  if (&source == this) return;
  ProgramResConfig snapshot(source);
  MutexGuard guard(_lock);
  _programPath = snapshot._programPath;
  _programArgs = snapshot._programArgs;
  _common = snapshot._common;  // the process line stays: it names the process this record started
}

bool ProgramResConfig::IsKeyConfigChanged(IResourceConfig& other) {
  ProgramResConfig& source = SameKind(other);
  if (&source == this) return false;
  ProgramResConfig snapshot(source);
  MutexGuard guard(_lock);
  return _programPath != snapshot._programPath;
}

void ProgramResConfig::_CheckOwnTexts() const {
  CheckText(_programPath, "程序路径");
  CheckText(_programArgs, "程序参数");
}

uint32_t ProgramResConfig::GetProcessId() {
  MutexGuard guard(_lock);
  return _processId;
}

uint32_t ProgramResConfig::GetProcessSecond() {
  MutexGuard guard(_lock);
  return _processSecond;
}

void ProgramResConfig::SetProcessId(uint32_t pid) {
  MutexGuard guard(_lock);
  _processId = pid;
  _processSecond = 0;
}

std::string ProgramResConfig::GetProgramPath() {
  MutexGuard guard(_lock);
  return _programPath;
}

void ProgramResConfig::SetProgramPath(const std::string& value) {
  MutexGuard guard(_lock);
  _programPath = value;
}

std::string ProgramResConfig::GetProgramArgs() {
  MutexGuard guard(_lock);
  return _programArgs;
}

void ProgramResConfig::SetProgramArgs(const std::string& value) {
  MutexGuard guard(_lock);
  _programArgs = value;
}


}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale
