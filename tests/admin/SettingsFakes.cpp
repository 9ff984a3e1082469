#include "admin/SettingsFakes.h"

#include "config/DrbdMirrorConfig.h"
#include "entity/HardDiskEntity.h"
#include "framework/Exception.h"

namespace tarrow_test {

using Oxbrindale::Velmora::Config::DrbdMirrorConfig;
using Oxbrindale::Velmora::Entity::HardDiskEntity;

std::vector<HardDiskEntity*>* FakeStorage::GetHardDiskList() {
  if (!listable) return nullptr;
  auto* list = new std::vector<HardDiskEntity*>();
  for (const std::string& id : disks) {
    HardDiskEntity* disk = new HardDiskEntity();
    disk->diskId = id;
    list->push_back(disk);
  }
  return list;
}

void FakeStorage::PreModifyDrbdCheck(DrbdMirrorConfig* changed) {
  ++checks;
  if (changed->GetSplitBrainPolicy() > 4) throw new Exception("DRBD", "脑裂恢复策略选择错误。");
}

void FakeStorage::DoModifyDrbdConfig(DrbdMirrorConfig* changed) {
  std::lock_guard<std::mutex> guard(_lock);
  _modified.push_back(changed->GetName());
}

std::vector<std::string> FakeStorage::Modified() {
  std::lock_guard<std::mutex> guard(_lock);
  return _modified;
}

void FakeSplitBrain::BeginSetResumeBS(const std::string& name, int side) {
  bool known = false;
  for (const std::string& mirror : mirrors) known = known || mirror == name;
  if (!known) throw new Exception("DRBD", "无法根据指定的包名查找到镜像包。");
  std::lock_guard<std::mutex> guard(_lock);
  _begun.emplace_back(name, side);
}

std::vector<std::pair<std::string, int>> FakeSplitBrain::Begun() {
  std::lock_guard<std::mutex> guard(_lock);
  return _begun;
}

}  // namespace tarrow_test
