// Failover end to end in one process: two nodes, each with its own program
// directory and store, joined by a real TCP link through a relay the test
// can cut, one tree of a custom-script resource on each node, and the real
// reference test against the stub "ping" (it answers A's reference, not B's).

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <thread>

#include "core/LinkCutter.h"
#include "core/MachineTestSupport.h"
#include "resource/ResourceTree.h"
#include "support/LoopbackPorts.h"

namespace core_test {
namespace {

using namespace Oxbrindale::Velmora::Core;

const char* const kGuid = "{FAILOVER-E2E}";
const char* const kTookAll = "与对机心跳连接已经全部断开，本机已获得资源优先启动权，接管对机所有资源！";
const char* const kStoppedAll = "与对机心跳连接已经全部断开，本机未获得资源优先启动权，停止本机的所有资源！";

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

int TreeStatu(TestMachine& machine) {
  std::shared_ptr<IResourceTreeHandle> tree = machine.FindTreeHandleByGuid(kGuid);
  return tree != nullptr ? tree->GetStatu() : -99;
}

TEST(MachineFailover, TheNodeWithItsReferenceTakesOverAndAFailedTreeGoesBack) {
  PingStub::Answer("192.0.2.61", true);
  PingStub::Answer("192.0.2.62", false);
  const unsigned short port = tarrow_test::UnusedLoopbackPort();
  HaTimings timings = MachineNode::MachineTimings();
  timings.firstLinkWaitMs = 30000;
  MachineNode a(true, port, true, timings);
  LinkCutter relay(port);
  MachineNode b(false, relay.Port(), true, timings);
  const long confirmMs = 1500;
  for (MachineNode* node : {&a, &b}) {
    node->Config().GetGC()->SetTakeoverWait(confirmMs);
    node->Config().GetGC()->SetStartDelay(1000);
  }
  a.Config().GetHeartBeatGlobalConfig()->SetRefAddresses({"192.0.2.61"});
  b.Config().GetHeartBeatGlobalConfig()->SetRefAddresses({"192.0.2.62"});
  // B is the tree's home and holds it; A's resource fails while the fault
  // flag exists.
  TreeFlags atB;
  atB.home = true;
  atB.takeBack = true;
  atB.hold = true;
  a.AddScriptTree(kGuid, TreeFlags());
  b.AddScriptTree(kGuid, atB);
  const std::string fault = a.Dir() + "/scripts/fault";
  {
    std::ofstream test(a.Dir() + "/scripts/" + std::string(kGuid) + "-test.sh", std::ios::trunc);
    test << "#!/bin/sh\n[ -e '" << a.FlagFile(kGuid) << "' ] && [ ! -e '" << fault << "' ]\n";
  }
  TestMachine& machineA = a.Machine();
  TestMachine& machineB = b.Machine();
  std::thread startA([&] { a.Start(); });
  b.Start();
  startA.join();

  // B runs the tree.
  ASSERT_TRUE(Eventually(
      [&] {
        return machineA.GetStatu() == HAM_RUNNING && machineB.GetStatu() == HAM_RUNNING &&
               TreeStatu(machineB) == Oxbrindale::Velmora::Resource::RES_TREE_RUNNING;
      },
      90000));
  EXPECT_TRUE(Exists(b.FlagFile(kGuid)));
  EXPECT_FALSE(Exists(a.FlagFile(kGuid)));

  // The heartbeat is cut: A starts the tree after the confirmation time and
  // the re-check, B stops it and clears its aliases.
  const long long cut = NowMs();
  relay.Cut();
  ASSERT_TRUE(Eventually([&] { return Exists(a.FlagFile(kGuid)); }, 90000));
  EXPECT_GE(NowMs() - cut, confirmMs + timings.failureRecheckMs);
  ASSERT_TRUE(Eventually([&] { return !Exists(b.FlagFile(kGuid)) && b.alarms.Count(1, kStoppedAll) == 1; }, 90000));
  EXPECT_TRUE(Eventually([&] { return a.alarms.Count(0, kTookAll) == 1; }));
  EXPECT_GE(b.aliasClears.load(), 1);
  EXPECT_EQ(0, a.aliasClears.load());
  EXPECT_EQ(0, a.alarms.Count(1, "与对机心跳连接已经全部断开"));
  EXPECT_EQ(0, b.alarms.Count(0, "与对机心跳连接已经全部断开"));

  // The tree fails on A by its fault flag; with the link restored it runs
  // on B again and A's tree is stopped.
  std::ofstream(fault).put('1');
  ASSERT_TRUE(relay.Restore());
  EXPECT_TRUE(Eventually(
      [&] {
        return TreeStatu(machineB) == Oxbrindale::Velmora::Resource::RES_TREE_RUNNING &&
               TreeStatu(machineA) == Oxbrindale::Velmora::Resource::RES_TREE_STOPPED && Exists(b.FlagFile(kGuid));
      },
      90000))
      << "A " << TreeStatu(machineA) << (Exists(a.FlagFile(kGuid)) ? " up" : " down") << ", B " << TreeStatu(machineB)
      << (Exists(b.FlagFile(kGuid)) ? " up" : " down");
  EXPECT_TRUE(Eventually([&] { return machineA.GetStatu() == HAM_RUNNING && machineB.GetStatu() == HAM_RUNNING; }));
  PingStub::Answer("192.0.2.61", false);
}

}  // namespace
}  // namespace core_test
