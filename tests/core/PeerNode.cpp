#include "core/PeerNode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "config/DrbdMirrorConfig.h"
#include "config/HeartBeatGlobalConfig.h"
#include "config/HeartBeatLinkConfig.h"
#include "config/ResourceTreeConfig.h"

namespace core_test {

using Oxbrindale::Velmora::Config::ConfigManager;
using Oxbrindale::Velmora::Config::DrbdMirrorConfig;
using Oxbrindale::Velmora::Config::HBL_TYPE_TCP;
using Oxbrindale::Velmora::Config::HeartBeatGlobalConfig;
using Oxbrindale::Velmora::Config::HeartBeatLinkConfig;
using Oxbrindale::Velmora::Config::ResourceTreeConfig;
using Oxbrindale::Velmora::Core::HaTimings;
using Oxbrindale::Velmora::Core::HBL_STATU_CONNECTED;
using Oxbrindale::Velmora::Core::HBL_STATU_CONNECTING;
using Oxbrindale::Velmora::Core::HeartBeatManager;
using Oxbrindale::Velmora::Core::IHeartBeatLink;
using Oxbrindale::Velmora::Resource::ResourceTree;
using resource_test::FakeResConfig;
using resource_test::TreeRig;

namespace {

// The program directory of the process-wide store that trees save through,
// for the whole test program; each node has a directory of its own.
class PeerWorld : public ::testing::Environment {
 public:
  void SetUp() override {
    dir_ = new tarrow_test::TempDir();
    dir_->MakeDir("configs");
    dir_->MakeDir("log");
    env_ = new tarrow_test::TestEnv(dir_->Path());
    ConfigManager::Instance();
  }
  void TearDown() override {
    delete dir_;  // the Env stays: background threads may still ask it for paths
    dir_ = nullptr;
  }

 private:
  tarrow_test::TempDir* dir_ = nullptr;
  tarrow_test::TestEnv* env_ = nullptr;
};

::testing::Environment* const g_world = ::testing::AddGlobalTestEnvironment(new PeerWorld());

}  // namespace

// ---- PeerMachine --------------------------------------------------------------

ResourceTree* PeerMachine::FindResourceTreeByGuid(const std::string& guid) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (ResourceTree* tree : trees_) {
    if (tree->GetConfig()->GetGuid() == guid) return tree;
  }
  return nullptr;
}

bool PeerMachine::RequestTakeOverResourceTree(const std::string& guids, bool) {
  std::lock_guard<std::mutex> lock(mutex_);
  takeovers_.push_back(guids);
  return takeoverVerdict.load();
}

bool PeerMachine::CanProcessBS(const std::string& mirrorName) {
  std::vector<ResourceTree*> trees;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = verdicts_.find(mirrorName);
    if (it != verdicts_.end()) return it->second;
    trees = trees_;
  }
  for (ResourceTree* tree : trees) {
    const int answer = tree->CanProcessBS(mirrorName);
    if (answer != -1) return answer == 1;
  }
  return true;
}

void PeerMachine::AddTree(ResourceTree* tree) {
  std::lock_guard<std::mutex> lock(mutex_);
  trees_.push_back(tree);
}

void PeerMachine::SetBSVerdict(const std::string& mirrorName, bool allowed) {
  std::lock_guard<std::mutex> lock(mutex_);
  verdicts_[mirrorName] = allowed;
}

std::vector<std::string> PeerMachine::Takeovers() {
  std::lock_guard<std::mutex> lock(mutex_);
  return takeovers_;
}

// ---- PeerNode -------------------------------------------------------------------

PeerNode::PeerNode(bool host, unsigned short port, const std::vector<LinkSpec>& links, const HaTimings& timings,
                   int beatMs, int maxFailures) {
  dir_.MakeDir("configs");
  dir_.MakeDir("log");
  {
    // The store reads and writes the program directory in force when it is made.
    tarrow_test::TestEnv here(dir_.Path());
    config_.reset(new ConfigManager());
  }
  HeartBeatGlobalConfig* settings = config_->GetHeartBeatGlobalConfig();
  settings->SetPort(port);
  settings->SetHostRole(host ? 1 : 0);
  settings->SetBeatInterval(beatMs);
  settings->SetBeatTimeout(std::max(5000, 4 * beatMs));  // generous: a loaded machine must not lose a beat
  settings->SetMaxFailCount(static_cast<uint16_t>(maxFailures));
  {
    auto edit = config_->EditHeartBeatLinkConfig();
    for (const LinkSpec& spec : links) {
      HeartBeatLinkConfig* link = new HeartBeatLinkConfig();
      link->SetId(spec.id);
      link->SetOrder(spec.id);
      link->SetType(HBL_TYPE_TCP);
      link->SetName("link-" + std::to_string(spec.id));
      link->SetAddress("127.0.0.1");
      link->SetKeyA(spec.firstKey);
      link->SetKeyB(spec.secondKey);
      edit->push_back(link);
    }
    edit.Save();
  }
  config_->GetResourceTreeConfig();
  config_->GetDrbdMirrorConfig();
  manager_.reset(new HeartBeatManager(config_.get(), &machine, timings, [](int, const std::string&) {}));
  manager_->SetDrbdRecovery(&drbd);
  manager_->SetBSNoticeReceiver(&notices);
}

PeerNode::~PeerNode() {
  manager_.reset();  // links and their jobs end first
  for (auto& gate : gates_) gate->store(true);
  {
    // The trees' records belong to their rigs.
    auto edit = config_->EditResourceTreeConfig();
    edit->clear();
  }
  trees_.clear();
  config_.reset();
}

TreeRig& PeerNode::AddTree(const std::string& guid, bool running, bool stuckStarting) {
  trees_.emplace_back(new TreeRig("peer-tree"));
  TreeRig& rig = *trees_.back();
  rig.config->SetGuid(guid);
  FakeResConfig* resConfig = new FakeResConfig(1, rig.name + "-r1");
  resConfig->SetStartTimeout(600000);
  resource_test::FakeResource* resource = rig.Add(1, {}, true, 4, resConfig);
  if (stuckStarting) {
    std::shared_ptr<std::atomic<bool>> gate(new std::atomic<bool>(false));
    gates_.push_back(gate);
    resource->onStartRes = [gate] {
      while (!gate->load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    };
  }
  {
    auto edit = config_->EditResourceTreeConfig();
    edit->push_back(rig.config.get());
  }
  rig.Activate();
  machine.AddTree(rig.tree.get());
  if (running || stuckStarting) rig.tree->StartTree();
  if (running) {
    EXPECT_TRUE(rig.WaitStatu(2)) << "tree " << guid << " did not start";
  }
  if (stuckStarting) {
    EXPECT_TRUE(rig.WaitStatu(1)) << "tree " << guid << " did not begin to start";
  }
  return rig;
}

void PeerNode::AddMirror(const std::string& name, int minor, unsigned long long dataStamp) {
  DrbdMirrorConfig* mirror = new DrbdMirrorConfig();
  mirror->SetName(name);
  mirror->SetMinor(minor);
  mirror->SetDataStamp(dataStamp);
  auto edit = config_->EditDrbdMirrorConfig();
  edit->push_back(mirror);
}

void PeerNode::Start() {
  manager_->InitHeartBeat();
  // A host's link refuses a peer until its thread began to wait for one, and
  // the peer then counts as linked for a moment before the refusal reaches
  // it: a node started right after this one must find the links ready.
  EXPECT_TRUE(resource_test::WaitUntil(
      [&] {
        for (const std::shared_ptr<IHeartBeatLink>& link : manager_->GetHeartBeatLink()) {
          const uint16_t status = link->GetStatus();
          if (status != HBL_STATU_CONNECTING && status != HBL_STATU_CONNECTED) return false;
        }
        return true;
      },
      30000))
      << "the links did not begin to connect";
}

bool PeerNode::WaitConnected(long ms) {
  return resource_test::WaitUntil(
      [&] {
        for (const std::shared_ptr<IHeartBeatLink>& link : manager_->GetHeartBeatLink()) {
          if (link->GetStatus() != HBL_STATU_CONNECTED) return false;
        }
        return true;
      },
      ms);
}

std::shared_ptr<IHeartBeatLink> PeerNode::Link(int id) { return manager_->FindHBLinkByFullId(id); }

// ---- ScriptedPair -----------------------------------------------------------------

ScriptedPair::ScriptedPair(const HaTimings& timings)
    : host(kPairLink, "first key", "second key"),
      node(false, host.Port(), {{kPairLink, "first key", "second key"}}, timings) {}

bool ScriptedPair::Connect() {
  node.Start();
  return node.WaitConnected() && host.WaitConnection() != nullptr;
}

HaTimings PeerTimings() {
  HaTimings timings;
  timings.retryWaitMs = 100;
  timings.execTestDelayMs = 50;
  return timings;
}

}  // namespace core_test
