// The address resource, the interface list and the reference test on real
// interfaces: each test runs inside its own pair of network namespaces.

#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "framework/Exception.h"
#include "resource/IPResource.h"
#include "resource/KindConfigs.h"
#include "resource/NetAdaptor.h"
#include "resource/NetAdaptorFactory.h"
#include "resource/NetFixture.h"
#include "resource/NetRig.h"
#include "resource/NetTest.h"
#include "resource/ResourceTestSupport.h"

namespace resource_test {
namespace {

using Oxbrindale::Velmora::Framework::NetAdaptor;
using Oxbrindale::Velmora::Framework::NetAdaptorFactory;
using Oxbrindale::Velmora::Framework::NetTest;
using Oxbrindale::Velmora::Resource::IPResource;

class IPResourceRig : public NetFixture {};

std::string NodeAddrs() {
  std::string out;
  NetRig::OnNode({"ip", "-4", "addr", "show", "dev", "eth0"}, &out);
  return out;
}

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

NetAdaptor* Eth0() {
  NetAdaptorFactory::Instance()->RefushAdaptorList();
  return NetAdaptorFactory::Instance()->CreateNetAdaptor("eth0");
}

// Sends SIGKILL to the child of this process whose command line is argv;
// false when there is none.
bool KillOwnChild(const std::vector<std::string>& argv) {
  std::string want;
  for (const std::string& arg : argv) want += arg + '\0';
  DIR* dir = opendir("/proc");
  if (dir == nullptr) return false;
  bool killed = false;
  while (struct dirent* entry = readdir(dir)) {
    const int pid = std::atoi(entry->d_name);
    if (pid <= 0) continue;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const std::string::size_type close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 2));
    char state = 0;
    int ppid = 0;
    rest >> state >> ppid;
    if (ppid != getpid()) continue;
    const std::string text = ReadText("/proc/" + std::to_string(pid) + "/cmdline");
    if (text == want && kill(pid, SIGKILL) == 0) killed = true;
  }
  closedir(dir);
  return killed;
}

long long MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

TEST_F(IPResourceRig, StartPutsTheAliasUpAndAnnouncesItStopKeepsTheBase) {
  NET_RIG_OR_RETURN();
  ASSERT_TRUE(NetRig::WaitReachable("192.0.2.2"));
  // The reference host believes the address lives elsewhere.
  ASSERT_EQ(0, NetRig::OnRef({"ip", "neigh", "replace", "192.0.2.100", "lladdr", "02:00:00:00:00:99", "dev", "eth0",
                              "nud", "stale"}));
  auto config = MakeIPConfig("vip", "192.0.2.100", "255.255.255.0", "eth0", {"192.0.2.2"});
  IPResource res(config.get());
  EXPECT_FALSE(res.TestRes());

  res.StartRes();
  EXPECT_EQ(1u, res.GetAliasNumber());
  EXPECT_NE(std::string::npos, NodeAddrs().find("192.0.2.100/24")) << NodeAddrs();
  EXPECT_NE(std::string::npos, NodeAddrs().find("eth0:1")) << NodeAddrs();
  std::vector<std::string> commands = Runner().Commands();
  EXPECT_TRUE(Contains(commands, "ifconfig eth0:1 192.0.2.100 netmask 255.255.255.0 up"));
  EXPECT_TRUE(Contains(commands, "arping -I eth0 -s 192.0.2.100 -b -c 1 192.0.2.100"));
  std::string neigh;
  NetRig::OnRef({"ip", "neigh", "show", "192.0.2.100", "dev", "eth0"}, &neigh);
  EXPECT_NE(std::string::npos, neigh.find(NetRig::NodeMac())) << "the reference host's entry: " << neigh;
  EXPECT_TRUE(res.TestRes());
  EXPECT_TRUE(Contains(Runner().Commands(), "ping -c 1 192.0.2.2"));

  // Already up: no second alias, but announced again.
  Runner().Clear();
  res.StartRes();
  EXPECT_TRUE(Runner().CommandsStarting("ifconfig").empty());
  EXPECT_EQ(1u, Runner().CommandsStarting("arping").size());

  Runner().Clear();
  res.StopRes();
  EXPECT_EQ(std::vector<std::string>{"ifconfig eth0:1 down"}, Runner().CommandsStarting("ifconfig"));
  EXPECT_EQ(std::string::npos, NodeAddrs().find("192.0.2.100")) << NodeAddrs();
  EXPECT_NE(std::string::npos, NodeAddrs().find("192.0.2.1/24")) << NodeAddrs();
  EXPECT_EQ(0u, res.GetAliasNumber());
  EXPECT_FALSE(res.TestRes());
}

TEST_F(IPResourceRig, LinkLossFailsTheCheckAndAnAddressInUseRefusesTheStart) {
  NET_RIG_OR_RETURN();
  ASSERT_TRUE(NetRig::WaitReachable("192.0.2.2"));
  auto config = MakeIPConfig("vip-link", "192.0.2.100");
  IPResource res(config.get());
  res.StartRes();
  ASSERT_TRUE(res.TestRes());

  ASSERT_EQ(0, NetRig::OnRef({"ip", "link", "set", "eth0", "down"}));
  EXPECT_TRUE(WaitUntil([] { return Eth0()->IsNotConnected(); }));
  EXPECT_FALSE(res.TestRes()) << "the address is still configured, but the cable is out";
  EXPECT_FALSE(res.BeforeStartCheck(true));
  EXPECT_EQ("IP地址，资源\"vip-link\" 网卡的网络电缆被拔出！", res.GetPreStartReason());
  res.StopRes();

  // Another machine answers on the address.
  ASSERT_EQ(0, NetRig::OnRef({"ip", "link", "set", "eth0", "up"}));
  ASSERT_EQ(0, NetRig::OnRef({"ip", "addr", "add", "192.0.2.100/24", "dev", "eth0"}));
  ASSERT_TRUE(NetRig::WaitReachable("192.0.2.100"));
  Runner().Clear();
  EXPECT_FALSE(res.BeforeStartCheck(true));
  EXPECT_EQ("IP地址，资源\"vip-link\" 在局域网中已存在本IP！", res.GetPreStartReason());
  EXPECT_TRUE(res.IsConflictReported());
  EXPECT_TRUE(Contains(Runner().Commands(), "ping -c 1 192.0.2.100"));
  EXPECT_TRUE(Runner().CommandsStarting("ifconfig").empty());
  // The light check does not probe the address itself.
  Runner().Clear();
  EXPECT_TRUE(res.BeforeStartCheckNoImpact(true));
  EXPECT_TRUE(Runner().CommandsStarting("ping").empty());
}

// An address started while the cable is out (a flapping link) was announced
// to nobody: the first check that finds the link back announces it again,
// once, and a host that believed the address lived elsewhere learns the
// node's card.
TEST_F(IPResourceRig, AnAnnouncementMadeWithoutLinkIsMadeAgainOnceTheLinkIsBack) {
  NET_RIG_OR_RETURN();
  ASSERT_TRUE(NetRig::WaitReachable("192.0.2.2"));
  auto config = MakeIPConfig("vip-flap", "192.0.2.100", "255.255.255.0", "eth0", {"192.0.2.2"});
  IPResource res(config.get());
  ASSERT_EQ(0, NetRig::OnRef({"ip", "link", "set", "eth0", "down"}));
  ASSERT_TRUE(WaitUntil([] { return Eth0()->IsNotConnected(); }));
  res.StartRes();
  EXPECT_EQ(1u, Runner().CommandsStarting("arping").size());
  EXPECT_FALSE(res.TestRes());
  EXPECT_EQ(1u, Runner().CommandsStarting("arping").size()) << "announced without link";

  ASSERT_EQ(0, NetRig::OnRef({"ip", "link", "set", "eth0", "up"}));
  ASSERT_TRUE(WaitUntil([] { return !Eth0()->IsNotConnected(); }));
  ASSERT_EQ(0, NetRig::OnRef({"ip", "neigh", "replace", "192.0.2.100", "lladdr", "02:00:00:00:00:99", "dev", "eth0",
                              "nud", "stale"}));
  ASSERT_TRUE(WaitUntil([&] { return res.TestRes(); }));
  EXPECT_EQ(2u, Runner().CommandsStarting("arping").size());
  std::string neigh;
  NetRig::OnRef({"ip", "neigh", "show", "192.0.2.100", "dev", "eth0"}, &neigh);
  EXPECT_NE(std::string::npos, neigh.find(NetRig::NodeMac())) << "the reference host's entry: " << neigh;
  EXPECT_TRUE(res.TestRes());
  EXPECT_EQ(2u, Runner().CommandsStarting("arping").size()) << "announced once more only";
  res.StopRes();
}

TEST_F(IPResourceRig, ReferencesAnsweringSilentAndMixed) {
  NET_RIG_OR_RETURN();
  ASSERT_TRUE(NetRig::WaitReachable("192.0.2.2"));
  // 192.0.2.3 resolves to a machine that is not there: its pings hang.
  ASSERT_EQ(0, NetRig::OnNode({"ip", "neigh", "replace", "192.0.2.3", "lladdr", "02:00:00:00:00:03", "dev", "eth0",
                               "nud", "permanent"}));

  EXPECT_TRUE(NetTest({"192.0.2.2"}, 0).DoTest());

  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(NetTest({"192.0.2.3"}, 0).DoTest());
  EXPECT_GE(MsSince(start), NetTest::GetTimings().pingWaitMs) << "a silent reference is given the whole ping time";

  // With a long ping time the answer comes while the silent ping still hangs.
  NetTest::Timings longWait;
  longWait.pingWaitMs = 60000;
  NetTest::SetTimings(longWait);
  NetTest* mixed = new NetTest({"192.0.2.3", "192.0.2.2"}, 0);
  EXPECT_TRUE(mixed->DoTest());
  EXPECT_EQ(1, mixed->GetDeleteCount()) << "the answer did not wait for the silent reference";
  // The caller may forget the test at once; the silent job ends on its own
  // state. The silent ping is ours: end it rather than let it linger.
  delete mixed;
  EXPECT_TRUE(WaitUntil([] { return KillOwnChild({"ping", "-c", "1", "192.0.2.3"}); }));
  NetTest::SetTimings(NetTest::Timings());
  EXPECT_TRUE(NetTest({"192.0.2.2"}, 0).DoTest()) << "the pool goes on after the late job";

  EXPECT_FALSE(NetTest({}, 0).DoTest());
}

TEST_F(IPResourceRig, AliasNumbersSkipTakenOnesAndEveryAliasIsListed) {
  NET_RIG_OR_RETURN();
  for (int n = 1; n <= 3; ++n) {
    ASSERT_EQ(0, NetRig::OnNode({"ifconfig", "eth0:" + std::to_string(n), "192.0.2." + std::to_string(10 + n),
                                 "netmask", "255.255.255.0", "up"}));
  }
  auto config = MakeIPConfig("vip-alias", "192.0.2.100", "255.255.255.128");
  IPResource res(config.get());
  res.StartRes();
  EXPECT_EQ(4u, res.GetAliasNumber());
  EXPECT_TRUE(Contains(Runner().Commands(), "ifconfig eth0:4 192.0.2.100 netmask 255.255.255.128 up"));
  // Before any refresh the new address is kept with its own netmask.
  bool paired = false;
  for (const NetAdaptor::AddressEntry& entry : NetAdaptorFactory::Instance()->CreateNetAdaptor("eth0")->GetAddressList()) {
    paired = paired || (entry.address == "192.0.2.100" && entry.netmask == "255.255.255.128" && entry.aliasNumber == 4);
  }
  EXPECT_TRUE(paired);

  for (int n = 5; n <= 14; ++n) {
    ASSERT_EQ(0, NetRig::OnNode({"ifconfig", "eth0:" + std::to_string(n), "192.0.2." + std::to_string(10 + n),
                                 "netmask", "255.255.0.0", "up"}));
  }
  // lo, the base and 14 aliases: more than a 512-byte answer holds.
  std::vector<NetAdaptor*>* list = NetAdaptorFactory::Instance()->GetAdaptorList();
  for (NetAdaptor* adaptor : *list) EXPECT_NE("lo", adaptor->GetName()) << "127.0.0.1 is never listed";
  delete list;
  NetAdaptor* eth0 = Eth0();
  std::vector<NetAdaptor::AddressEntry> entries = eth0->GetAddressList();
  EXPECT_EQ(15u, entries.size());
  for (const NetAdaptor::AddressEntry& entry : entries) {
    std::string want = entry.aliasNumber == 0 ? "192.0.2.1"
                       : entry.aliasNumber == 4 ? "192.0.2.100"
                                                : "192.0.2." + std::to_string(10 + entry.aliasNumber);
    std::string mask = entry.aliasNumber == 4 ? "255.255.255.128"
                       : entry.aliasNumber >= 5 ? "255.255.0.0"
                                                : "255.255.255.0";
    EXPECT_EQ(want, entry.address) << "alias " << entry.aliasNumber;
    EXPECT_EQ(mask, entry.netmask) << "alias " << entry.aliasNumber;
  }
  EXPECT_EQ("192.0.2.1", eth0->GetStaticIP());

  // A start must not add the address again (it is listed), and no number is free.
  Runner().Clear();
  res.StartRes();
  EXPECT_TRUE(Runner().CommandsStarting("ifconfig").empty());
  try {
    eth0->AddIP("192.0.2.200", "255.255.255.0");
    ADD_FAILURE() << "a fifteenth alias was added";
  } catch (Exception* e) {
    EXPECT_EQ("OS_API", e->code);
    EXPECT_EQ("create virtual ip address failure with ExitCode:-1", e->message);
    delete e;
  }
  EXPECT_TRUE(Runner().CommandsStarting("ifconfig").empty());
}

TEST_F(IPResourceRig, FailureRemovesOnlyTheResourcesOwnAddress) {
  NET_RIG_OR_RETURN();
  ASSERT_TRUE(NetRig::WaitReachable("192.0.2.2"));
  auto configA = MakeIPConfig("vip-a", "192.0.2.100");
  auto configB = MakeIPConfig("vip-b", "192.0.2.101");
  IPResource a(configA.get());
  IPResource b(configB.get());
  a.StartRes();
  b.StartRes();
  ASSERT_TRUE(a.TestRes());
  ASSERT_TRUE(b.TestRes());

  a.ProcessOnResourceFailure();
  EXPECT_FALSE(Eth0()->HasIP("192.0.2.100"));
  EXPECT_TRUE(Eth0()->HasIP("192.0.2.101")) << "another tree's address was taken down";
  EXPECT_TRUE(Eth0()->HasIP("192.0.2.1"));
  EXPECT_TRUE(b.TestRes());
}

TEST_F(IPResourceRig, ReferencePingsDoNotHoldTheInterfaceLock) {
  NET_RIG_OR_RETURN();
  ASSERT_TRUE(NetRig::WaitReachable("192.0.2.2"));
  ASSERT_EQ(0, NetRig::OnNode({"ip", "neigh", "replace", "192.0.2.3", "lladdr", "02:00:00:00:00:03", "dev", "eth0",
                               "nud", "permanent"}));
  NetTest::Timings longWait;
  longWait.pingWaitMs = 60000;
  NetTest::SetTimings(longWait);
  auto configA = MakeIPConfig("vip-slow", "192.0.2.100", "255.255.255.0", "eth0", {"192.0.2.3"});
  auto configB = MakeIPConfig("vip-other", "192.0.2.101");
  IPResource a(configA.get());
  IPResource b(configB.get());
  a.StartRes();

  std::atomic<bool> checked{false};
  std::thread check([&] {
    a.TestRes();
    checked.store(true);
  });
  ASSERT_TRUE(WaitUntil([&] { return Contains(Runner().Commands(), "ping -c 1 192.0.2.3"); }));
  // While a's check waits for its silent reference, b starts.
  b.StartRes();
  EXPECT_TRUE(Eth0()->HasIP("192.0.2.101"));
  EXPECT_FALSE(checked.load()) << "the check ended before the other start could show it was not held up";
  EXPECT_TRUE(WaitUntil([] { return KillOwnChild({"ping", "-c", "1", "192.0.2.3"}); }));
  check.join();
  EXPECT_TRUE(checked.load());
}

}  // namespace
}  // namespace resource_test
