#include "admin/AdminStorage.h"

#include "storage/DrbdHelper.h"
#include "storage/LinuxDisk.h"

namespace Oxbrindale {
namespace Velmora {
namespace Core {

std::vector<Entity::HardDiskEntity*>* AdminStorage::GetHardDiskList() {
  return Framework::LinuxDisk::GetHardDiskList();
}

void AdminStorage::PreModifyDrbdCheck(Config::DrbdMirrorConfig* changed) {
  Framework::DrbdHelper::PreModifyDrbdCheck(changed);
}

void AdminStorage::DoModifyDrbdConfig(Config::DrbdMirrorConfig* changed) {
  Framework::DrbdHelper::DoModifyDrbdConfig(changed);
}

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale
