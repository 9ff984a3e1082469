#include <gtest/gtest.h>
#include <signal.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "DrbdFixture.h"
#include "config/ConfigManager.h"
#include "config/DrbdMirrorConfig.h"
#include "framework/Exception.h"
#include "framework/MachineController.h"
#include "storage/DrbdHelper.h"
#include "storage/DrbdTimings.h"

using Oxbrindale::Velmora::Config::ConfigManager;
using Oxbrindale::Velmora::Config::DrbdMirrorConfig;
using Oxbrindale::Velmora::Config::__DrbdHostProperty;
using Oxbrindale::Velmora::Framework::DrbdHelper;
using Oxbrindale::Velmora::Framework::DrbdTimings;
using Oxbrindale::Velmora::Framework::MachineController;
using storage_test::DrbdFixture;
using storage_test::DrbdThrown;

namespace {

// The message of the Exception* "DRBD" that call throws; "" when none.
// Two stored mirrors of this node (host A) and node-b: r0 on port 7788 and
// r1 on port 7789; drbdadm is a stub that succeeds.
class DrbdModifyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    me_ = MachineController::GetHostName();
    fixture_.Stub("drbdadm", "exit 0");
    for (const char* name : {"r0", "r1"}) ConfigManager::Instance()->RemoveDrbdMirrorConfigByName(name);
    ConfigManager::Instance()->CreateDrbdMirrorConfig(Stored("r0", 0, 7788));
    ConfigManager::Instance()->CreateDrbdMirrorConfig(Stored("r1", 1, 7789));
  }
  void TearDown() override {
    for (const char* name : {"r0", "r1"}) ConfigManager::Instance()->RemoveDrbdMirrorConfigByName(name);
  }

  DrbdMirrorConfig* Stored(const std::string& name, int minor, int port) {
    return DrbdFixture::Mirror(name, minor, me_, fixture_.VolumeUuid(minor + 1), "192.0.2.1", "node-b",
                               "0123456789abcdef0123456789abcdefN1", "192.0.2.2", port);
  }

  // A copy of the stored r0 with change applied.
  std::unique_ptr<DrbdMirrorConfig> Changed(const std::function<void(DrbdMirrorConfig*)>& change) {
    std::unique_ptr<DrbdMirrorConfig> copy(
        new DrbdMirrorConfig(*ConfigManager::Instance()->GetDrbdMirrorConfigByPacketName("r0")));
    change(copy.get());
    return copy;
  }

  static std::function<void(DrbdMirrorConfig*)> Host(bool hostA, const std::function<void(__DrbdHostProperty&)>& f) {
    return [hostA, f](DrbdMirrorConfig* m) {
      __DrbdHostProperty h = hostA ? m->GetHostA() : m->GetHostB();
      f(h);
      if (hostA) m->SetHostA(h);
      else m->SetHostB(h);
    };
  }

  DrbdFixture fixture_;
  std::string me_;
};

TEST_F(DrbdModifyTest, PreModifyCheckRefusesInOrder) {
  const std::string inUse = "指定的IP地址:端口 已经被使用，请更换IP或端口再重新尝试。";
  struct Case {
    std::function<void(DrbdMirrorConfig*)> change;
    std::string message;
  };
  const std::vector<Case> cases = {
      {[](DrbdMirrorConfig* m) { m->SetName("nope"); }, "无法查找到要修改的 Drbd 包 根据DRBD包名：\"nope\"。"},
      {Host(true, [](__DrbdHostProperty& h) { h.hostName = "node-z"; }), "主机名称不匹配，请重新建立镜像包。"},
      {Host(false, [](__DrbdHostProperty& h) { h.hostName = "node-z"; }), "主机名称不匹配，请重新建立镜像包。"},
      {[](DrbdMirrorConfig* m) { m->SetSplitBrainPolicy(5); }, "脑裂恢复策略选择错误。"},
      {[](DrbdMirrorConfig* m) { m->SetRate(0); }, "同步速率限制填写错误。"},
      {[](DrbdMirrorConfig* m) { m->SetRate(10000); }, "同步速率限制填写错误。"},
      // The address:port of either host of r1, on either host of r0.
      {Host(true, [](__DrbdHostProperty& h) { h.port = 7789; }), inUse},
      {Host(false, [](__DrbdHostProperty& h) { h.port = 7789; }), inUse},
      {Host(true, [](__DrbdHostProperty& h) { h.address = "192.0.2.2", h.port = 7789; }), inUse},
      {Host(false, [](__DrbdHostProperty& h) { h.address = "192.0.2.1", h.port = 7789; }), inUse},
      // Values that pass the checks above but break /etc/drbd.conf.
      {[](DrbdMirrorConfig* m) { m->SetRate(5000); }, "同步速率限制填写错误。"},
      {Host(false, [](__DrbdHostProperty& h) { h.address = "192.0.2.2:7000;"; }), "主机B的IP地址不是有效的IPv4地址。"},
      {Host(true, [](__DrbdHostProperty& h) { h.port = 0; }), "主机A的端口必须在1到65535之间。"},
      // Accepted.
      {[](DrbdMirrorConfig* m) { m->SetRate(20), m->SetSplitBrainPolicy(4); }, ""},
      {Host(false, [](__DrbdHostProperty& h) { h.address = "198.51.100.7", h.port = 7790; }), ""},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    std::unique_ptr<DrbdMirrorConfig> changed = Changed(cases[i].change);
    EXPECT_EQ(cases[i].message, DrbdThrown([&] { DrbdHelper::PreModifyDrbdCheck(changed.get()); })) << "case " << i;
  }
  EXPECT_TRUE(fixture_.Calls().empty());
}

TEST_F(DrbdModifyTest, RateOrPolicyChangeRewritesTheFileAndRunsNothing) {
  fixture_.Isolated([&] {
    std::unique_ptr<DrbdMirrorConfig> changed = Changed([](DrbdMirrorConfig* m) {
      m->SetRate(33);
      m->SetSplitBrainPolicy(2);
      m->SetSharedSecret("not-applied");
    });
    DrbdHelper::DoModifyDrbdConfig(changed.get());
    DrbdMirrorConfig* stored = ConfigManager::Instance()->GetDrbdMirrorConfigByPacketName("r0");
    EXPECT_EQ(33, stored->GetRate());
    EXPECT_EQ(2, stored->GetSplitBrainPolicy());
    EXPECT_EQ("s3cret", stored->GetSharedSecret());
    const std::string conf = fixture_.Read("/etc/drbd.conf");
    EXPECT_NE(std::string::npos, conf.find("resource r0{\n\tprotocol C;\n\tsyncer {rate 33M;}")) << conf;
    EXPECT_NE(std::string::npos, conf.find("resource r1{")) << conf;
    EXPECT_TRUE(fixture_.Calls().empty());
  });
}

TEST_F(DrbdModifyTest, AddressChangeReconnectsTheMirror) {
  fixture_.Isolated([&] {
    std::unique_ptr<DrbdMirrorConfig> changed =
        Changed(Host(false, [](__DrbdHostProperty& h) { h.address = "198.51.100.7", h.port = 7790; }));
    DrbdHelper::DoModifyDrbdConfig(changed.get());
    EXPECT_EQ((std::vector<std::string>{"drbdadm [disconnect] [r0]", "drbdadm [connect] [r0]"}), fixture_.Calls());
    __DrbdHostProperty b = ConfigManager::Instance()->GetDrbdMirrorConfigByPacketName("r0")->GetHostB();
    EXPECT_EQ("198.51.100.7", b.address);
    EXPECT_EQ(7790, b.port);
    EXPECT_NE(std::string::npos, fixture_.Read("/etc/drbd.conf").find("\t\taddress\t198.51.100.7:7790;\n"));

    // Nothing known by that name.
    std::unique_ptr<DrbdMirrorConfig> unknown = Changed([](DrbdMirrorConfig* m) { m->SetName("nope"); });
    EXPECT_EQ("无法查找到要修改的 Drbd 包 根据DRBD包名：\"nope\"。",
              DrbdThrown([&] { DrbdHelper::DoModifyDrbdConfig(unknown.get()); }));
  });
}

// A drbdadm that hangs is killed at the limit and reported to the console.
TEST_F(DrbdModifyTest, HangingReconnectIsKilledAndReported) {
  fixture_.Isolated([&] {
    fixture_.Stub("drbdadm", "echo $$ > '" + fixture_.Dir().File("drbdadm.pid") + "'\nexec sleep 600");
    DrbdTimings timings;
    timings.commandLimitMs = 300;
    DrbdTimings::Set(timings);
    std::unique_ptr<DrbdMirrorConfig> changed = Changed(Host(true, [](__DrbdHostProperty& h) { h.port = 7791; }));
    EXPECT_EQ("命令执行超过300ms，已被终止：drbdadm disconnect r0",
              DrbdThrown([&] { DrbdHelper::DoModifyDrbdConfig(changed.get()); }));
    EXPECT_EQ(1u, fixture_.Calls().size());
    const int pid = std::stoi("0" + fixture_.Dir().Read("drbdadm.pid"));
    ASSERT_GT(pid, 0);
    EXPECT_NE(0, kill(pid, 0)) << "the hanging drbdadm is still there";
  });
}

}  // namespace
