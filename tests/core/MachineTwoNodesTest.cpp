// Two nodes in one process, each with its program directory and store,
// joined by a real TCP link, with a real tree of one custom-script resource
// each under the same GUID. Both start together; A is the tree's home with
// take-back.

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <unistd.h>

#include "core/MachineTestSupport.h"
#include "support/LoopbackPorts.h"

namespace core_test {
namespace {

using namespace Oxbrindale::Velmora::Core;

TEST(MachineTwoNodes, BothStartTogetherAndTheHomeNodeClaimsItsTree) {
  PingStub::Clear();
  const std::string guid = "{TWO-NODES-TREE}";
  const unsigned short port = tarrow_test::UnusedLoopbackPort();
  MachineNode a(true, port, true);
  MachineNode b(false, port, true);
  for (MachineNode* node : {&a, &b}) {
    node->timings.firstLinkWaitMs = 30000;
    node->Config().GetGC()->SetStartDelay(5000);
  }
  TreeFlags home;
  home.home = true;
  home.takeBack = true;
  a.AddScriptTree(guid, home);
  b.AddScriptTree(guid, TreeFlags());
  TestMachine& machineA = a.Machine();
  TestMachine& machineB = b.Machine();
  std::mutex mutex;
  std::string claimed;
  machineA.scriptedOps = 1u << HAM_OP_TAKEOVER;
  machineA.body = [&](int) {
    std::lock_guard<std::mutex> lock(mutex);
    claimed = machineA.GetOperationGuids();
  };
  std::thread startA([&] { a.Start(); });
  std::thread startB([&] { b.Start(); });
  startA.join();
  startB.join();
  ASSERT_TRUE(Eventually([&] {
    return machineA.GetStatu() == HAM_RUNNING && machineB.GetStatu() == HAM_RUNNING;
  }, 60000));
  ASSERT_TRUE(Eventually([&] { return machineA.CountRan(HAM_OP_TAKEOVER) == 1; }));
  // The operation counts as it begins; its body records a moment later.
  ASSERT_TRUE(Eventually([&] {
    std::lock_guard<std::mutex> lock(mutex);
    return !claimed.empty();
  }));
  {
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(guid, claimed);
  }
  EXPECT_TRUE(machineA.IsHandBack());
  EXPECT_TRUE(a.HoldInFile(guid));
  EXPECT_FALSE(b.HoldInFile(guid));
  EXPECT_EQ(0, machineB.CountRan(HAM_OP_TAKEOVER));
  // Nothing runs on B.
  EXPECT_EQ(0, access(b.FlagFile(guid).c_str(), F_OK) == 0 ? 1 : 0);
}

}  // namespace
}  // namespace core_test
