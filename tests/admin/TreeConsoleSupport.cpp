#include "admin/TreeConsoleSupport.h"

#include <algorithm>

#include "config/AliasResConfig.h"
#include "config/ConfigManager.h"
#include "config/CustomResConfig.h"
#include "config/DiskVolumeResConfig.h"
#include "config/DrbdResConfig.h"
#include "config/FileShareResConfig.h"
#include "config/GlobalConfig.h"
#include "config/IPResourceConfig.h"
#include "config/ProgramResConfig.h"
#include "config/ResourceTreeConfig.h"
#include "config/ServiceResConfig.h"

namespace tarrow_test {

using namespace Oxbrindale::Velmora;
using Config::ConfigManager;
using Resource::ResourceTree;

namespace {

TempDir* g_programDir = nullptr;  // never freed: tree threads may use it to the end

template <class T>
void Empty(Config::ConfigListEdit<T> edit) {
  for (T* record : edit.List()) delete record;
  edit->clear();
  edit.Save();
}

// Makes the daemon's store in a folder of its own before any test runs.
class SharedStoreEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { SharedProgramDir(); }
};

::testing::Environment* const g_sharedStore = ::testing::AddGlobalTestEnvironment(new SharedStoreEnvironment());

}  // namespace

const std::string& SharedProgramDir() {
  static std::string path = [] {
    g_programDir = new TempDir();
    g_programDir->MakeDir("configs");
    g_programDir->MakeDir("log");
    TestEnv env(g_programDir->Path());
    ConfigManager::Instance();  // takes the program folder in force now
    return g_programDir->Path();
  }();
  return path;
}

void ClearSharedStore() {
  ConfigManager* store = ConfigManager::Instance();
  Empty(store->EditResourceTreeConfig());
  Empty(store->EditDiskVolumeConfig());
  Empty(store->EditIPConfig());
  Empty(store->EditAliasConfig());
  Empty(store->EditServiceConfig());
  Empty(store->EditProgramConfig());
  Empty(store->EditCustomConfig());
  Empty(store->EditFileShareConfig());
  Empty(store->EditDrbdResConfig());
}

// ---- FakeTreeMachine ----------------------------------------------------------------

std::shared_ptr<ResourceTree> FakeTreeMachine::FindResourceTreeByGuid(const std::string& guid) {
  std::lock_guard<std::mutex> guard(_lock);
  for (const auto& tree : _trees) {
    if (tree->GetConfig()->GetGuid() == guid) return tree;
  }
  return nullptr;
}

std::vector<std::shared_ptr<ResourceTree>> FakeTreeMachine::GetResourceTrees() {
  std::lock_guard<std::mutex> guard(_lock);
  return _trees;
}

void FakeTreeMachine::AddResourceTree(Config::ResourceTreeConfig* config, bool start) {
  std::shared_ptr<ResourceTree> tree = std::make_shared<ResourceTree>();
  tree->SetListener(&_listener);
  tree->ActiveTheTreeThread(config, Resource::RES_OP_NONE);
  if (start) tree->StartTree();
  ++added;
  std::lock_guard<std::mutex> guard(_lock);
  _trees.push_back(tree);
}

bool FakeTreeMachine::RemoveResourceTree(const std::shared_ptr<ResourceTree>& tree) {
  std::lock_guard<std::mutex> guard(_lock);
  auto found = std::find(_trees.begin(), _trees.end(), tree);
  if (found == _trees.end() || keepOnRemove.load()) return false;
  _trees.erase(found);
  return true;
}

void FakeTreeMachine::OnStartResourceTreeGoing(const std::shared_ptr<ResourceTree>&) { ++startGoing; }

void FakeTreeMachine::Insert(const std::shared_ptr<ResourceTree>& tree) {
  std::lock_guard<std::mutex> guard(_lock);
  _trees.push_back(tree);
}

void FakeTreeMachine::Clear() {
  std::vector<std::shared_ptr<ResourceTree>> trees;
  {
    std::lock_guard<std::mutex> guard(_lock);
    trees.swap(_trees);
  }
  trees.clear();  // each tree ends its thread and resources as it goes
}

size_t FakeTreeMachine::Count() {
  std::lock_guard<std::mutex> guard(_lock);
  return _trees.size();
}

// ---- FakePeer ---------------------------------------------------------------------------

int FakePeer::GetRemoteMachineIsRunningStatu(long timeoutMs, bool& running) {
  {
    std::lock_guard<std::mutex> guard(_lock);
    _asked.push_back("MACHINE " + std::to_string(timeoutMs));
  }
  const int result = machineResult.load();
  if (result == REQ_SUCCESS) running = machineRunning.load();
  return result;
}

int FakePeer::GetTryWaitResourceTreeStableStatu(const std::string& guid, unsigned waitMs, long timeoutMs,
                                                int& statu) {
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> guard(_lock);
    _asked.push_back("TREE " + guid + " " + std::to_string(waitMs) + " " + std::to_string(timeoutMs));
    hook = _onTreeQuestion;
  }
  if (hook) hook();
  const int result = treeResult.load();
  if (result == REQ_SUCCESS) statu = treeStatu.load();
  return result;
}

void FakePeer::OnTreeQuestion(std::function<void()> hook) {
  std::lock_guard<std::mutex> guard(_lock);
  _onTreeQuestion = std::move(hook);
}

std::vector<std::string> FakePeer::Asked() {
  std::lock_guard<std::mutex> guard(_lock);
  return _asked;
}

void FakePeer::ClearAsked() {
  std::lock_guard<std::mutex> guard(_lock);
  _asked.clear();
}

bool FakeDiskLocks::RemoveSCSI3Lock(const std::string& diskId, unsigned char type) {
  std::lock_guard<std::mutex> guard(_lock);
  _released.emplace_back(diskId, type);
  return true;
}

std::vector<std::pair<std::string, int>> FakeDiskLocks::Released() {
  std::lock_guard<std::mutex> guard(_lock);
  return _released;
}

// ---- TreeConsoleTest ------------------------------------------------------------------

TreeConsoleTest::TreeConsoleTest() : systemEnv(SharedProgramDir(), root.Path()) {
  root.MakeDir("etc");
  root.Write("etc/hosts", "127.0.0.1\tlocalhost\n");
  context.store = ConfigManager::Instance();
  context.trees = &trees;
  context.peer = &peer;
  context.diskLocks = &diskLocks;
}

void TreeConsoleTest::SetUp() {
  ClearSharedStore();
  Config::GlobalConfig* gc = context.store->GetGC();
  for (int level = 0; level < 3; ++level) gc->SetDigest(level, Digest(level));
  gc->SetStopFailAction(0);
  startInSetUp = false;
  AdminServerTest::SetUp();
  context.store->GetGC()->SetConsolePort(port);
  StartServer();
  admin = LoggedIn(0);
}

void TreeConsoleTest::TearDown() {
  admin.reset();
  StopServer();
  trees.Clear();
  ClearSharedStore();
}

std::string TreeConsoleTest::Ask(const std::string& command, const std::string& body) {
  return admin->Request(command, body);
}

std::string TreeConsoleTest::CreateTree(const std::string& name, const std::string& guid, bool home) {
  const std::string flag = home ? "true" : "false";
  return Ask("CREATE_RESOURCE_TREE", "0\n" + name + "\nfalse\n" + flag + "\nfalse\nfalse\n" + guid + "\n0\n");
}

std::shared_ptr<ResourceTree> TreeConsoleTest::Tree(const std::string& guid) {
  return trees.FindResourceTreeByGuid(guid);
}

std::string TreeConsoleTest::StoreFile(const std::string& name) {
  TempDir* dir = g_programDir;
  return dir->Read("configs/" + name);
}

std::string ResourceLines(const std::string& name, const std::vector<std::string>& own, int check) {
  // id, name, check interval, fails before restart, tries, number, start and
  // stop time-outs, custom test switch, program, arguments, time-out,
  // failure reset, check flag.
  std::string text = "0\n" + name + "\n200\n3\n1\n0\n20000\n20000\n0\n\n\n20000\n3600000\n" + std::to_string(check);
  for (const std::string& line : own) text += "\n" + line;
  return text;
}

std::string SleepProgram(const std::string& name, const std::string& path) {
  return ResourceLines(name, {"0|0", path, "1000"});
}

}  // namespace tarrow_test
