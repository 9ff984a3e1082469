#ifndef TARROW_RESOURCE_DISKVOLUMERESOURCE_H
#define TARROW_RESOURCE_DISKVOLUMERESOURCE_H

#include <string>

#include "framework/Mutex.h"
#include "resource/IResource.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {
class DiskVolumeResConfig;
}
namespace Resource {

// A shared disk of a tree (kind 0): a start reserves the disk for this node
// with a SCSI-3 persistent reservation (type 5 for lock method 1, else 6)
// and mounts its partitions on the mount points; a stop unmounts and
// releases; the check passes while the disk is mounted. Optional user
// scripts run before the start and before the stop (killed when late; their
// result is not looked at).
class DiskVolumeResource : public IResource {
 public:
  // Serialises the checks of every disk volume resource.
  static Framework::Mutex _CS;

  struct DiskTimings {
    long scriptTimeoutMs = 10000;  // a start or stop script still running then is killed
  };

  explicit DiskVolumeResource(Config::DiskVolumeResConfig* config);
  ~DiskVolumeResource() override;

  Config::IResourceConfig* GetIResConfig() override;
  Config::DiskVolumeResConfig* GetConfig() { return _config; }

  bool TestRes() override;
  void StartRes() override;
  void StopRes() override;
  void Start() override;
  void Stop() override;
  bool BeforeStartCheck(bool alarm) override;

  // The reservation type of a lock method.
  static unsigned int ReservationType(unsigned int lockMethod);

  DiskTimings GetDiskTimings();
  void SetDiskTimings(const DiskTimings& timings);

 private:
  void _RunScript(const std::string& script);

  Config::DiskVolumeResConfig* _config;  // owned by the store
  Framework::Mutex _timingsLock;
  DiskTimings _timings;
};

}  // namespace Resource
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
