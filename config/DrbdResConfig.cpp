#include "config/DrbdResConfig.h"

#include "framework/Exception.h"
#include "framework/MutexGuard.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {

using Framework::MutexGuard;

namespace {

DrbdResConfig& SameKind(IResourceConfig& other) {
  DrbdResConfig* same = dynamic_cast<DrbdResConfig*>(&other);
  if (same == nullptr) throw new Exception("FORM_ERR", "资源类型不一致！");
  return *same;
}

}  // namespace

DrbdResConfig::DrbdResConfig(std::vector<std::string>* lines, unsigned int* index) : IResourceConfig(lines, index) {
  _mirrorName = MoveAndGet(lines, index);
  _mountPoint = MoveAndGet(lines, index);
}

DrbdResConfig::DrbdResConfig(const DrbdResConfig& other) : IResourceConfig() {
  MutexGuard guard(other._lock);
  _common = other._common;
  _mirrorName = other._mirrorName;
  _mountPoint = other._mountPoint;
}

DrbdResConfig::~DrbdResConfig() = default;

std::string DrbdResConfig::ToString() {
  MutexGuard guard(_lock);
  return _CommonText() + "\n" + _mirrorName + "\n" + _mountPoint;
}

void DrbdResConfig::CopyOf(IResourceConfig& other) {
  DrbdResConfig& source = SameKind(other);
  if (&source == this) return;
  DrbdResConfig snapshot(source);
  MutexGuard guard(_lock);
  _mirrorName = snapshot._mirrorName;
  _mountPoint = snapshot._mountPoint;
  _common = snapshot._common;
}

bool DrbdResConfig::IsKeyConfigChanged(IResourceConfig& other) {
  DrbdResConfig& source = SameKind(other);
  if (&source == this) return false;
  DrbdResConfig snapshot(source);
  MutexGuard guard(_lock);
  return _mirrorName != snapshot._mirrorName || _mountPoint != snapshot._mountPoint;
}

void DrbdResConfig::_CheckOwnTexts() const {
  // The mirror name goes onto DRBD command lines.
  CheckDrbdText(_mirrorName, "DRBD资源名称");
  CheckText(_mountPoint, "挂载点");
}

std::string DrbdResConfig::GetMirrorName() {
  MutexGuard guard(_lock);
  return _mirrorName;
}

void DrbdResConfig::SetMirrorName(const std::string& value) {
  MutexGuard guard(_lock);
  _mirrorName = value;
}

std::string DrbdResConfig::GetMountPoint() {
  MutexGuard guard(_lock);
  return _mountPoint;
}

void DrbdResConfig::SetMountPoint(const std::string& value) {
  MutexGuard guard(_lock);
  _mountPoint = value;
}


}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale
