#ifndef TARROW_CONFIG_DISKVOLUMERESCONFIG_H
#define TARROW_CONFIG_DISKVOLUMERESCONFIG_H

#include <cstdint>
#include <string>
#include <vector>

#include "config/IResourceConfig.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {

// Shared disk volume (kind 0). Own lines: 15 disk ID, 16 start program,
// 17 stop program, 18 lock method, 19 mount points (joined by '|').
class DiskVolumeResConfig : public IResourceConfig {
 public:
  DiskVolumeResConfig(std::vector<std::string>* lines, unsigned int* index);
  DiskVolumeResConfig(const DiskVolumeResConfig& other);
  DiskVolumeResConfig& operator=(const DiskVolumeResConfig&) = delete;
  ~DiskVolumeResConfig() override;

  std::string ToString() override;
  // Validation of a new record: as Validate(nullptr).
  void Validate() override;
  // Validation of a record handed in by a console. stored is the record it is
  // to replace, nullptr for a new resource. The SCSI-3 support test (which
  // registers on the disk and clears its reservations) runs only for lock
  // method 1 or 2 and only when the record is new or its disk ID or lock
  // method differs from stored; a failed test sets the lock method to 0.
  void Validate(DiskVolumeResConfig* stored);
  void CopyOf(IResourceConfig& other) override;
  // Key fields: disk ID, lock method.
  bool IsKeyConfigChanged(IResourceConfig& other) override;

  std::string GetDiskId();
  void SetDiskId(const std::string& diskId);
  std::string GetStartProgram();
  void SetStartProgram(const std::string& path);
  std::string GetStopProgram();
  void SetStopProgram(const std::string& path);
  // 0: no SCSI-3 lock; 1: reservation type 5; 2: reservation type 6.
  uint32_t GetLockMethod();
  void SetLockMethod(uint32_t method);
  std::vector<std::string> GetMountPoints();
  void SetMountPoints(const std::vector<std::string>& mountPoints);
  // The mount points as line 19 writes them.
  std::string GetMountPointString();

 protected:
  void _CheckOwnTexts() const override;

 private:
  std::string _diskId;
  std::string _startProgram;
  std::string _stopProgram;
  uint32_t _lockMethod;
  std::vector<std::string> _mountPoints;
};

}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
