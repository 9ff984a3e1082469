#include "resource/DiskVolumeResource.h"

#include "config/DiskVolumeResConfig.h"
#include "framework/MutexGuard.h"
#include "framework/ProcessManager.h"
#include "resource/ResourceEvents.h"
#include "storage/LinuxDisk.h"

namespace Oxbrindale {
namespace Velmora {
namespace Resource {

using Config::DiskVolumeResConfig;
using Config::IResourceConfig;
using Framework::LinuxDisk;
using Framework::Mutex;
using Framework::MutexGuard;
using Framework::ProcessManager;

Mutex DiskVolumeResource::_CS;

DiskVolumeResource::DiskVolumeResource(DiskVolumeResConfig* config)
    : IResource(0, static_cast<short>(config->GetConfigNumber() & 0xFFFF)), _config(config) {}

DiskVolumeResource::~DiskVolumeResource() { EndForDestruction(); }

IResourceConfig* DiskVolumeResource::GetIResConfig() { return _config; }

DiskVolumeResource::DiskTimings DiskVolumeResource::GetDiskTimings() {
  MutexGuard guard(_timingsLock);
  return _timings;
}

void DiskVolumeResource::SetDiskTimings(const DiskTimings& timings) {
  MutexGuard guard(_timingsLock);
  _timings = timings;
}

unsigned int DiskVolumeResource::ReservationType(unsigned int lockMethod) { return lockMethod == 1 ? 5 : 6; }

void DiskVolumeResource::_RunScript(const std::string& script) {
  if (script.empty()) return;
  ProcessManager child;
  child.SimpleStartProcess(script, "");
  if (!child.WaitTerminated(GetDiskTimings().scriptTimeoutMs)) child.Terminate();
}

void DiskVolumeResource::Start() {
  _RunScript(_config->GetStartProgram());
  StartByThread();
}

void DiskVolumeResource::Stop() {
  _RunScript(_config->GetStopProgram());
  StopByThread();
}

void DiskVolumeResource::StartRes() {
  LinuxDisk::StartHardDisk(_config->GetDiskId(), _config->GetMountPoints(),
                           ReservationType(_config->GetLockMethod()));
}

void DiskVolumeResource::StopRes() {
  LinuxDisk::StopHardDisk(_config->GetDiskId(), ReservationType(_config->GetLockMethod()));
}

bool DiskVolumeResource::TestRes() {
  MutexGuard guard(_CS);
  return LinuxDisk::TestHardDisk(_config->GetDiskId(), _config->GetMountPoints());
}

bool DiskVolumeResource::BeforeStartCheck(bool alarm) {
  if (LinuxDisk::HasHardDisk(_config->GetDiskId())) return true;
  if (alarm) {
    const std::string reason = "磁盘卷锁，资源\"" + _config->GetName() + "\" 无法查找到指定的磁盘驱动器！";
    SetPreStartReason(reason);
    ResourceEvents::Alarm(2, reason);
  }
  return false;
}

}  // namespace Resource
}  // namespace Velmora
}  // namespace Oxbrindale
