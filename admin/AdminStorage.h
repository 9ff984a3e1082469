#ifndef TARROW_ADMIN_ADMINSTORAGE_H
#define TARROW_ADMIN_ADMINSTORAGE_H

#include "admin/IAdminStorage.h"

namespace Oxbrindale {
namespace Velmora {
namespace Core {

// The daemon's disks and DRBD mirrors: LinuxDisk and DrbdHelper.
class AdminStorage : public IAdminStorage {
 public:
  std::vector<Entity::HardDiskEntity*>* GetHardDiskList() override;
  void PreModifyDrbdCheck(Config::DrbdMirrorConfig* changed) override;
  void DoModifyDrbdConfig(Config::DrbdMirrorConfig* changed) override;
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
