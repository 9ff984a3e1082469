#include "config/DiskVolumeResConfig.h"

#include "config/Scsi3SupportProbe.h"
#include "framework/Exception.h"
#include "framework/MutexGuard.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {

using Framework::MutexGuard;

namespace {

DiskVolumeResConfig& SameKind(IResourceConfig& other) {
  DiskVolumeResConfig* same = dynamic_cast<DiskVolumeResConfig*>(&other);
  if (same == nullptr) throw new Exception("FORM_ERR", "资源类型不一致！");
  return *same;
}

}  // namespace

DiskVolumeResConfig::DiskVolumeResConfig(std::vector<std::string>* lines, unsigned int* index)
    : IResourceConfig(lines, index), _lockMethod(0) {
  _diskId = MoveAndGet(lines, index);
  _startProgram = MoveAndGet(lines, index);
  _stopProgram = MoveAndGet(lines, index);
  _lockMethod = ReadNumber<uint32_t>(MoveAndGet(lines, index));
  _mountPoints = SplitList(MoveAndGet(lines, index));
}

DiskVolumeResConfig::DiskVolumeResConfig(const DiskVolumeResConfig& other) : IResourceConfig() {
  MutexGuard guard(other._lock);
  _common = other._common;
  _diskId = other._diskId;
  _startProgram = other._startProgram;
  _stopProgram = other._stopProgram;
  _lockMethod = other._lockMethod;
  _mountPoints = other._mountPoints;
}

DiskVolumeResConfig::~DiskVolumeResConfig() = default;

std::string DiskVolumeResConfig::ToString() {
  MutexGuard guard(_lock);
  return _CommonText() + "\n" + _diskId + "\n" + _startProgram + "\n" + _stopProgram + "\n" +
         NumberText(_lockMethod) + "\n" + JoinList(_mountPoints);
}

std::string DiskVolumeResConfig::GetMountPointString() {
  MutexGuard guard(_lock);
  return JoinList(_mountPoints);
}

void DiskVolumeResConfig::Validate() { Validate(nullptr); }

void DiskVolumeResConfig::Validate(DiskVolumeResConfig* stored) {
  IResourceConfig::Validate();

  std::string diskId;
  uint32_t lockMethod;
  {
    MutexGuard guard(_lock);
    diskId = _diskId;
    lockMethod = _lockMethod;
  }
  if (lockMethod == 1 || lockMethod == 2) {
    // The support test registers on the disk and clears every reservation on
    // it, a live one included: run it only when the disk or the method is new.
    bool changed = true;
    if (stored != nullptr && stored != this) {
      changed = stored->GetDiskId() != diskId || stored->GetLockMethod() != lockMethod;
    } else if (stored == this) {
      changed = false;
    }
    if (changed && !Scsi3SupportProbe::Run(diskId)) {
      MutexGuard guard(_lock);
      _lockMethod = 0;
      lockMethod = 0;
    }
  }
  if (lockMethod != 0 && lockMethod != 1 && lockMethod != 2) {
    throw new Exception("FORM_ERR", "指定了错误的LockMethod！");
  }
  MutexGuard guard(_lock);
  if (_mountPoints.empty()) {
    throw new Exception("FORM_ERR", "盘符挂载预设点不能为空，否则卷将无法被访问到。");
  }
}

void DiskVolumeResConfig::CopyOf(IResourceConfig& other) {
  DiskVolumeResConfig& source = SameKind(other);
  if (&source == this) return;
  DiskVolumeResConfig snapshot(source);
  MutexGuard guard(_lock);
  _diskId = snapshot._diskId;
  _startProgram = snapshot._startProgram;
  _stopProgram = snapshot._stopProgram;
  _lockMethod = snapshot._lockMethod;
  _mountPoints = snapshot._mountPoints;
  _common = snapshot._common;
}

bool DiskVolumeResConfig::IsKeyConfigChanged(IResourceConfig& other) {
  DiskVolumeResConfig& source = SameKind(other);
  if (&source == this) return false;
  DiskVolumeResConfig snapshot(source);
  MutexGuard guard(_lock);
  return _diskId != snapshot._diskId || _lockMethod != snapshot._lockMethod;
}

void DiskVolumeResConfig::_CheckOwnTexts() const {
  CheckText(_diskId, "磁盘标识");
  CheckText(_startProgram, "启动程序");
  CheckText(_stopProgram, "停止程序");
  CheckListText(_mountPoints, "盘符挂载预设点");
}

std::string DiskVolumeResConfig::GetDiskId() {
  MutexGuard guard(_lock);
  return _diskId;
}

void DiskVolumeResConfig::SetDiskId(const std::string& value) {
  MutexGuard guard(_lock);
  _diskId = value;
}

std::string DiskVolumeResConfig::GetStartProgram() {
  MutexGuard guard(_lock);
  return _startProgram;
}

void DiskVolumeResConfig::SetStartProgram(const std::string& value) {
  MutexGuard guard(_lock);
  _startProgram = value;
}

std::string DiskVolumeResConfig::GetStopProgram() {
  MutexGuard guard(_lock);
  return _stopProgram;
}

void DiskVolumeResConfig::SetStopProgram(const std::string& value) {
  MutexGuard guard(_lock);
  _stopProgram = value;
}

uint32_t DiskVolumeResConfig::GetLockMethod() {
  MutexGuard guard(_lock);
  return _lockMethod;
}

void DiskVolumeResConfig::SetLockMethod(uint32_t value) {
  MutexGuard guard(_lock);
  _lockMethod = value;
}

std::vector<std::string> DiskVolumeResConfig::GetMountPoints() {
  MutexGuard guard(_lock);
  return _mountPoints;
}

void DiskVolumeResConfig::SetMountPoints(const std::vector<std::string>& value) {
  MutexGuard guard(_lock);
  _mountPoints = value;
}


}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale
