#include "core/FailoverTestSupport.h"

#include <gtest/gtest.h>

#include "core/HeartBeatManager.h"

namespace core_test {

using Oxbrindale::Velmora::Config::ResourceTreeConfig;
using Oxbrindale::Velmora::Core::HAM_RUNNING;
using Oxbrindale::Velmora::Core::HaTimings;
using Oxbrindale::Velmora::Core::IResourceTreeHandle;
using Oxbrindale::Velmora::Resource::ResourTreeFailEventListener;

void FailoverTree::StartTree() {
  FakeTreeHandle::StartTree();
  if (!skipStart.load()) statu.store(startTo.load());
}

void FailoverTree::StopTree(bool userStop) {
  FakeTreeHandle::StopTree(userStop);
  statu.store(stopTo.load());
}

HaTimings FailoverTimings() {
  HaTimings timings = MachineNode::MachineTimings();
  timings.afterTakeoverStartMs = 10;
  timings.afterTakeoverStartWaitMs = 10;
  timings.beforeStopRequestMs = 10;
  timings.afterStopRequestMs = 10;
  timings.handOverRetryPauseMs = 10;
  timings.shutdownPollMs = 20;
  timings.shutdownFinalPauseMs = 10;
  timings.failureRecheckMs = 1000;
  timings.offlineWaitMs = 300;
  timings.endPauseMs = 10;
  return timings;
}

ScriptedPeerNode::ScriptedPeerNode(const HaTimings& timings, unsigned short peerPort)
    : host(1, "first-key", "second-key"), node(false, peerPort != 0 ? peerPort : host.Port(), true, timings) {
  node.treeMaker = [this](ResourceTreeConfig* config,
                          ResourTreeFailEventListener*) -> std::shared_ptr<IResourceTreeHandle> {
    auto found = trees_.find(config->GetGuid());
    if (found == trees_.end()) return nullptr;
    return found->second;
  };
}

FailoverTree& ScriptedPeerNode::AddTree(const std::string& guid, const TreeFlags& flags, int statu) {
  std::shared_ptr<FailoverTree> tree(new FailoverTree(node.AddRecord(guid, flags)));
  tree->statu = statu;
  trees_[guid] = tree;
  return *tree;
}

TestMachine& ScriptedPeerNode::Unlinked() {
  TestMachine& machine = node.Machine();
  for (auto& tree : trees_) {
    if (machine.FindTreeHandleByGuid(tree.first) == nullptr) machine.AddResourceTree(tree.second->GetConfig(), false);
  }
  machine._ForceStatu(HAM_RUNNING);
  return machine;
}

TestMachine& ScriptedPeerNode::Connect() {
  TestMachine& machine = Unlinked();
  machine.GetHeartBeatManager().InitHeartBeat();
  EXPECT_TRUE(Eventually([&] { return machine.GetHeartBeatManager().GetOneAvalableHBL() != nullptr; }));
  return machine;
}

std::vector<std::string> ScriptedPeerNode::Bodies(const std::string& command) {
  std::vector<std::string> bodies;
  for (const ScriptedHost::Received& received : host.Requests()) {
    if (received.command == command) bodies.push_back(received.body);
  }
  return bodies;
}

std::vector<std::string> ScriptedPeerNode::Commands() {
  std::vector<std::string> commands;
  for (const ScriptedHost::Received& received : host.Requests()) commands.push_back(received.command);
  return commands;
}

}  // namespace core_test
