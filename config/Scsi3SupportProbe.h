#ifndef TARROW_CONFIG_SCSI3SUPPORTPROBE_H
#define TARROW_CONFIG_SCSI3SUPPORTPROBE_H

#include <functional>
#include <string>

namespace Oxbrindale {
namespace Velmora {
namespace Config {

// The SCSI-3 persistent reservation support test of a shared disk, as the
// disk volume record's validation asks it. tarrowd installs the storage
// subsystem's test (LinuxDisk::SCSI3SupportTest) when it binds its console
// service; until then, and after Set(nullptr), every disk answers false (no
// SCSI-3 lock method).
class Scsi3SupportProbe {
 public:
  // Given a disk ID (lower-case MD5 hex text of the disk): true when the disk
  // was found and accepts persistent reservations.
  using Test = std::function<bool(const std::string& diskId)>;

  Scsi3SupportProbe() = delete;

  // Installs test; nullptr restores the default.
  static void Set(Test test);
  // Runs the installed test (outside any lock of this class).
  static bool Run(const std::string& diskId);
};

}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
