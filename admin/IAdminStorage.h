#ifndef TARROW_ADMIN_IADMINSTORAGE_H
#define TARROW_ADMIN_IADMINSTORAGE_H

#include <vector>

namespace Oxbrindale {
namespace Velmora {
namespace Config {
class DrbdMirrorConfig;
}
namespace Entity {
class HardDiskEntity;
}
namespace Core {

// Disks and DRBD mirrors as the console commands reach them (LinuxDisk and
// DrbdHelper in the daemon, AdminStorage).
class IAdminStorage {
 public:
  virtual ~IAdminStorage() = default;
  // A new list of new records of the node's whole disks (the caller frees
  // both), or null when the disks cannot be listed.
  virtual std::vector<Entity::HardDiskEntity*>* GetHardDiskList() = 0;
  // Checks a changed mirror packet against the stored one of its name;
  // throws Exception* "DRBD" at the first rule it breaks. Changes nothing.
  virtual void PreModifyDrbdCheck(Config::DrbdMirrorConfig* changed) = 0;
  // Applies the changed packet (store, drbd.conf, reconnect); throws
  // Exception* "DRBD" on failure.
  virtual void DoModifyDrbdConfig(Config::DrbdMirrorConfig* changed) = 0;
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
