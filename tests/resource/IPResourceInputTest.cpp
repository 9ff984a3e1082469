// Texts from the console that are not addresses or interface names never
// reach a command.

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "config/ConfigManager.h"
#include "config/ResourceTreeConfig.h"
#include "framework/Exception.h"
#include "resource/IPResource.h"
#include "resource/NetAdaptor.h"
#include "resource/NetFixture.h"
#include "resource/NetTest.h"
#include "resource/ResourceTestSupport.h"

namespace resource_test {
namespace {

using Oxbrindale::Velmora::Framework::NetAdaptor;
using Oxbrindale::Velmora::Framework::NetTest;
using Oxbrindale::Velmora::Resource::IPResource;

struct BadSettings {
  std::string what;
  std::string address;
  std::string netmask;
  std::string interface;
};

void PrintTo(const BadSettings& row, std::ostream* out) { *out << row.what; }

class IPResourceInput : public NetFixture, public ::testing::WithParamInterface<BadSettings> {};

TEST_P(IPResourceInput, NoCommandRuns) {
  const BadSettings& row = GetParam();
  auto config = MakeIPConfig("bad", row.address, row.netmask, row.interface, {row.address});
  IPResource res(config.get());
  try {
    res.StartRes();
    ADD_FAILURE() << "a start with invalid settings went through";
  } catch (Exception* e) {
    EXPECT_EQ("OS_API", e->code);
    delete e;
  }
  res.StopRes();
  EXPECT_FALSE(res.TestRes());
  EXPECT_FALSE(res.BeforeStartCheck(true));
  EXPECT_EQ("IP地址，资源\"bad\" 的地址、子网掩码或网卡名称无效！", res.GetPreStartReason());
  EXPECT_FALSE(res.BeforeStartCheckNoImpact(false));
  res.ProcessOnResourceFailure();
  // Not even a ping: the settings are refused before anything runs.
  EXPECT_EQ(std::vector<std::string>{}, Runner().Commands());
}

INSTANTIATE_TEST_SUITE_P(
    Table, IPResourceInput,
    ::testing::Values(BadSettings{"netmask", "192.0.2.100", "255.255.255.0 hw ether 02:00:00:00:00:01", "eth0"},
                      BadSettings{"address", "192.0.2.100 -f", "255.255.255.0", "eth0"},
                      BadSettings{"address", "-c", "255.255.255.0", "eth0"},
                      BadSettings{"address", "192.0.2.1000", "255.255.255.0", "eth0"},
                      BadSettings{"interface", "192.0.2.100", "255.255.255.0", "eth0 hw"},
                      BadSettings{"interface", "192.0.2.100", "255.255.255.0", "-eth0"},
                      BadSettings{"interface", "192.0.2.100", "255.255.255.0", "averyveryverylongname"}),
    [](const ::testing::TestParamInfo<BadSettings>& info) {
      return RowName(info.param.what + " " + std::to_string(info.index));
    });

TEST_F(NetFixture, ReferencesThatAreNotAddressesAreNeverPinged) {
  EXPECT_FALSE(NetTest({"192.0.2.2 -f", "-c", "example.invalid", ""}, 0).DoTest());
  EXPECT_TRUE(Runner().Commands().empty());
}

TEST(NetAdaptorNames, StrictRules) {
  EXPECT_TRUE(NetAdaptor::IsValidAddress("192.0.2.1"));
  EXPECT_FALSE(NetAdaptor::IsValidAddress("192.0.2.1 "));
  EXPECT_FALSE(NetAdaptor::IsValidAddress("0x7f.1"));
  EXPECT_TRUE(NetAdaptor::IsValidInterfaceName("eth0"));
  EXPECT_TRUE(NetAdaptor::IsValidInterfaceName("br-lan.10"));
  EXPECT_FALSE(NetAdaptor::IsValidInterfaceName("eth0:1"));
  EXPECT_FALSE(NetAdaptor::IsValidInterfaceName("eth0;reboot"));
  EXPECT_FALSE(NetAdaptor::IsValidInterfaceName(""));
}

}  // namespace
}  // namespace resource_test

namespace resource_test {
namespace {

using Oxbrindale::Velmora::Config::ConfigManager;
using Oxbrindale::Velmora::Config::ResourceTreeConfig;
using Oxbrindale::Velmora::Config::sResourceTreeRel;
using Oxbrindale::Velmora::Resource::ResourceTree;

TEST_F(NetFixture, TreeMakesAnAddressResourceForKindOne) {
  // The interface does not exist, so nothing is ever run for it.
  auto ipConfig = MakeIPConfig("tree-vip", "192.0.2.100", "255.255.255.0", "tnone0");
  ipConfig->SetId(4711);
  ConfigManager::Instance()->GetIPConfig()->push_back(ipConfig.release());  // the store owns it

  std::unique_ptr<ResourceTreeConfig> config(new ResourceTreeConfig());
  config->SetId(4712);
  config->SetName("tree-with-vip");
  config->SetGuid("{tree-with-vip}");
  sResourceTreeRel relation;
  relation.kind = 1;
  relation.configId = 4711;
  relation.inTreeId = 1;
  config->SetRelations({relation});
  FakeListener listener;
  std::unique_ptr<ResourceTree> tree(new ResourceTree());
  tree->SetListener(&listener);
  tree->ActiveTheTreeThread(config.get(), Oxbrindale::Velmora::Resource::RES_OP_NONE);
  ASSERT_EQ(1u, tree->GetResourceList()->size());
  IPResource* res = dynamic_cast<IPResource*>((*tree->GetResourceList())[0]);
  ASSERT_NE(nullptr, res);
  EXPECT_EQ(1, res->GetKind());
  EXPECT_EQ(ConfigManager::Instance()->GetIPResConfigById(4711), res->GetIResConfig());
  tree->DestoryTheTreeThread();
  EXPECT_TRUE(WaitUntil([&] { return tree->GetStatu() == Oxbrindale::Velmora::Resource::RES_TREE_ENDED; }, 120000));
  tree.reset();
}

}  // namespace
}  // namespace resource_test
