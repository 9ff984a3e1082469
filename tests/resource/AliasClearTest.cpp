// Clearing the virtual addresses after a lost arbitration, inside the rig's
// network namespaces: only aliases carrying an address of the node's IP
// resources go.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "resource/NetAdaptor.h"
#include "resource/NetAdaptorFactory.h"
#include "resource/NetFixture.h"
#include "resource/NetRig.h"

namespace resource_test {
namespace {

using Oxbrindale::Velmora::Framework::NetAdaptor;
using Oxbrindale::Velmora::Framework::NetAdaptorFactory;

class AliasClear : public NetFixture {};

bool Carries(const std::string& address) {
  NetAdaptorFactory::Instance()->RefushAdaptorList();
  return NetAdaptorFactory::Instance()->CreateNetAdaptor("eth0")->HasIP(address);
}

TEST_F(AliasClear, OnlyAliasesOfTheListedAddressesGo) {
  NET_RIG_OR_RETURN();
  ASSERT_EQ(0, NetRig::OnNode({"ifconfig", "eth0:1", "192.0.2.11", "netmask", "255.255.255.0", "up"}));
  ASSERT_EQ(0, NetRig::OnNode({"ifconfig", "eth0:2", "192.0.2.12", "netmask", "255.255.255.0", "up"}));
  ASSERT_EQ(0, NetRig::OnNode({"ifconfig", "eth0:3", "192.0.2.13", "netmask", "255.255.255.0", "up"}));
  ASSERT_TRUE(Carries("192.0.2.12"));

  // A resource's address, one not up anywhere, and the interface's own one.
  NetAdaptorFactory::Instance()->ClearBadMountedIP({"192.0.2.11", "192.0.2.13", "203.0.113.9", "192.0.2.1"});
  EXPECT_FALSE(Carries("192.0.2.11"));
  EXPECT_FALSE(Carries("192.0.2.13"));
  EXPECT_TRUE(Carries("192.0.2.12")) << "an alias no resource of the node names was taken down";
  EXPECT_TRUE(Carries("192.0.2.1")) << "the own address was taken down";
}

}  // namespace
}  // namespace resource_test
