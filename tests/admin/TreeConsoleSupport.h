#ifndef TARROW_TESTS_ADMIN_TREECONSOLESUPPORT_H
#define TARROW_TESTS_ADMIN_TREECONSOLESUPPORT_H

// The console's tree, resource and dependency commands run against real
// resource trees. Those read the daemon's own store (ConfigManager::Instance),
// so that store lives in a program folder of the test process, emptied
// before each test; the HA machine, the peer and shared disks are fakes.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "admin/AdminTestSupport.h"
#include "admin/IAdminDiskLocks.h"
#include "admin/IAdminPeer.h"
#include "admin/IAdminTreeMachine.h"
#include "resource/ResourTreeFailEventListener.h"
#include "resource/ResourceTree.h"

namespace tarrow_test {

// The program folder of the daemon's store in this test process.
const std::string& SharedProgramDir();
// Empties every list of the daemon's store and writes the empty files.
void ClearSharedStore();

// Takes every tree failure in charge and does nothing else.
class QuietListener : public Oxbrindale::Velmora::Resource::ResourTreeFailEventListener {
 public:
  bool OnResourceTreeFail(Oxbrindale::Velmora::Resource::ResourceTree*) override { return true; }
  void OnResourceCanStart(Oxbrindale::Velmora::Resource::ResourceTree*) override {}
};

class FakeTreeMachine : public Oxbrindale::Velmora::Core::IAdminTreeMachine {
 public:
  ~FakeTreeMachine() override { Clear(); }
  bool IsRunningStatu() override { return running.load(); }
  std::shared_ptr<Oxbrindale::Velmora::Resource::ResourceTree> FindResourceTreeByGuid(const std::string& guid) override;
  std::vector<std::shared_ptr<Oxbrindale::Velmora::Resource::ResourceTree>> GetResourceTrees() override;
  void AddResourceTree(Oxbrindale::Velmora::Config::ResourceTreeConfig* config, bool start) override;
  bool RemoveResourceTree(const std::shared_ptr<Oxbrindale::Velmora::Resource::ResourceTree>& tree) override;
  void OnStartResourceTreeGoing(const std::shared_ptr<Oxbrindale::Velmora::Resource::ResourceTree>& tree) override;

  // Puts a tree into the list as it is (not activated).
  void Insert(const std::shared_ptr<Oxbrindale::Velmora::Resource::ResourceTree>& tree);
  // Ends and drops every tree.
  void Clear();
  size_t Count();

  std::atomic<bool> running{true};
  // RemoveResourceTree keeps the tree (another holder took it first).
  std::atomic<bool> keepOnRemove{false};
  std::atomic<int> startGoing{0};
  std::atomic<int> added{0};

 private:
  std::mutex _lock;
  std::vector<std::shared_ptr<Oxbrindale::Velmora::Resource::ResourceTree>> _trees;
  QuietListener _listener;
};

class FakePeer : public Oxbrindale::Velmora::Core::IAdminPeer {
 public:
  bool HasUsableLink() override { return link.load(); }
  int GetRemoteMachineIsRunningStatu(long timeoutMs, bool& running) override;
  int GetTryWaitResourceTreeStableStatu(const std::string& guid, unsigned waitMs, long timeoutMs,
                                        int& statu) override;
  // The questions asked so far, as "MACHINE 3000" and "TREE <guid> 500 1000".
  std::vector<std::string> Asked();
  void ClearAsked();

  std::atomic<bool> link{true};
  std::atomic<int> machineResult{REQ_SUCCESS};
  std::atomic<bool> machineRunning{true};
  std::atomic<int> treeResult{REQ_SUCCESS};
  std::atomic<int> treeStatu{0};
  // Runs on the console's thread while the tree question is asked, before it
  // is answered (empty: nothing).
  void OnTreeQuestion(std::function<void()> hook);

 private:
  std::function<void()> _onTreeQuestion;
  std::mutex _lock;
  std::vector<std::string> _asked;
};

class FakeDiskLocks : public Oxbrindale::Velmora::Core::IAdminDiskLocks {
 public:
  bool RemoveSCSI3Lock(const std::string& diskId, unsigned char type) override;
  std::vector<std::pair<std::string, int>> Released();

 private:
  std::mutex _lock;
  std::vector<std::pair<std::string, int>> _released;
};

// A console server whose store is the daemon's, with real trees, a system
// root holding etc/hosts, and an administrator console logged in.
class TreeConsoleTest : public AdminServerTest {
 protected:
  TreeConsoleTest();
  void SetUp() override;
  void TearDown() override;

  // Sends the command on the administrator console; the reply body.
  std::string Ask(const std::string& command, const std::string& body);
  // CREATE_RESOURCE_TREE of a tree named name with that GUID, home and
  // take-back flags; the reply.
  std::string CreateTree(const std::string& name, const std::string& guid, bool home = true);
  // The machine's tree of guid.
  std::shared_ptr<Oxbrindale::Velmora::Resource::ResourceTree> Tree(const std::string& guid);
  // A file of the daemon's store folder ("" when missing).
  static std::string StoreFile(const std::string& name);
  std::string Hosts() { return root.Read("etc/hosts"); }

  TempDir root;
  TestEnv systemEnv;
  FakeTreeMachine trees;
  FakePeer peer;
  FakeDiskLocks diskLocks;
  std::unique_ptr<TestConsole> admin;
};

// A tree that is never activated: its record and status are pinned by the
// test.
class PinnedTree : public Oxbrindale::Velmora::Resource::ResourceTree {
 public:
  explicit PinnedTree(Oxbrindale::Velmora::Config::ResourceTreeConfig* config, int statu) {
    SetConfig(config);
    SetStatu(statu);
  }
  void Pin(int statu) { SetStatu(statu); }
};

// The lines of a resource record: the 14 common lines (check flag as given)
// and the kind's own.
std::string ResourceLines(const std::string& name, const std::vector<std::string>& own, int check = 1);
// A program resource running "/bin/sleep <seconds>" (path may differ).
std::string SleepProgram(const std::string& name, const std::string& path = "/bin/sleep");

}  // namespace tarrow_test

#endif
