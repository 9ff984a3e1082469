#ifndef TARROW_ADMIN_IADMINDISKLOCKS_H
#define TARROW_ADMIN_IADMINDISKLOCKS_H

#include <string>

namespace Oxbrindale {
namespace Velmora {
namespace Core {

// Shared-disk operations of the console's resource commands (LinuxDisk in
// the daemon).
class IAdminDiskLocks {
 public:
  virtual ~IAdminDiskLocks() = default;
  // Releases this host's SCSI-3 persistent reservation of that type on the
  // disk with that identity; true when it worked.
  virtual bool RemoveSCSI3Lock(const std::string& diskId, unsigned char type) = 0;
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
