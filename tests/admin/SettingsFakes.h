#ifndef TARROW_TESTS_ADMIN_SETTINGSFAKES_H
#define TARROW_TESTS_ADMIN_SETTINGSFAKES_H

// Fakes of the disks, DRBD mirrors and split-brain watcher for the console's
// heartbeat, host and DRBD commands.

#include <atomic>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "admin/IAdminSplitBrain.h"
#include "admin/IAdminStorage.h"

namespace tarrow_test {

// Disks listed from identities (or no list at all); the mirror check refuses
// a split-brain policy outside 0 to 4 as the DRBD helper does.
class FakeStorage : public Oxbrindale::Velmora::Core::IAdminStorage {
 public:
  std::vector<Oxbrindale::Velmora::Entity::HardDiskEntity*>* GetHardDiskList() override;
  void PreModifyDrbdCheck(Oxbrindale::Velmora::Config::DrbdMirrorConfig* changed) override;
  void DoModifyDrbdConfig(Oxbrindale::Velmora::Config::DrbdMirrorConfig* changed) override;

  // Identities of the disks; listable false: no list.
  std::vector<std::string> disks;
  bool listable = true;
  std::atomic<int> checks{0};
  // Names of the packets applied.
  std::vector<std::string> Modified();

 private:
  std::mutex _lock;
  std::vector<std::string> _modified;
};

// Knows the mirrors named in `mirrors`; records every recovery begun.
class FakeSplitBrain : public Oxbrindale::Velmora::Core::IAdminSplitBrain {
 public:
  void BeginSetResumeBS(const std::string& name, int side) override;
  std::vector<std::string> mirrors;
  std::vector<std::pair<std::string, int>> Begun();

 private:
  std::mutex _lock;
  std::vector<std::pair<std::string, int>> _begun;
};

}  // namespace tarrow_test

#endif
