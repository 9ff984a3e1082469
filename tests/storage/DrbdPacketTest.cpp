#include <gtest/gtest.h>
#include <signal.h>

#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "DrbdFixture.h"
#include "config/ConfigManager.h"
#include "config/DrbdMirrorConfig.h"
#include "entity/PartitionEntity.h"
#include "framework/Exception.h"
#include "framework/MachineController.h"
#include "framework/ProcessSpawner.h"
#include "storage/DrbdHelper.h"
#include "storage/DrbdTimings.h"
#include "support/SkipRule.h"

using Oxbrindale::Velmora::Config::ConfigManager;
using Oxbrindale::Velmora::Config::DrbdMirrorConfig;
using Oxbrindale::Velmora::Config::__DrbdHostProperty;
using Oxbrindale::Velmora::Entity::PartitionEntity;
using Oxbrindale::Velmora::Framework::DrbdHelper;
using Oxbrindale::Velmora::Framework::DrbdTimings;
using Oxbrindale::Velmora::Framework::MachineController;
using Oxbrindale::Velmora::Framework::ProcessSpawner;
using storage_test::DrbdFixture;
using storage_test::DrbdThrown;

namespace {

const char kConf[] =
    "#\n"
    "global{ usage-count no; }\n"
    "resource\tr0 {\n"
    "\ton node-a{\n"
    "\t\tdevice\t/dev/drbd0;\n"
    "\t\tdisk\t/dev/sdq1;\n"
    "\t\taddress\t192.0.2.1:7788;\n"
    "\t\tmeta-disk\tinternal;\n"
    "\t}\n"
    "\ton node-b{\n"
    "\t\tdevice\t/dev/drbd0;\n"
    "\t\tdevice\t/dev/drbd\n"
    "\t\tdevice\t/dev/drbdX;\n"
    "\t}\n"
    "}\n"
    "resource r2{\n"
    "\t\tdevice\t/dev/drbd2;\n"
    "}\n";

class DrbdPacketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    me_ = MachineController::GetHostName();
    for (const char* name : {"r0", "r1", "new"}) ConfigManager::Instance()->RemoveDrbdMirrorConfigByName(name);
    // Probes that answer get all the time they need here.
    DrbdTimings timings;
    timings.toolProbeMs = 60000;
    timings.kmodProbeMs = 60000;
    timings.settleMs = 0;
    DrbdTimings::Set(timings);
  }
  void TearDown() override {
    for (const char* name : {"r0", "r1", "new"}) ConfigManager::Instance()->RemoveDrbdMirrorConfigByName(name);
  }

  // A new mirror of this node (host A, /dev/sdq2) and node-b on device 3.
  DrbdMirrorConfig* NewMirror() {
    return DrbdFixture::Mirror("new", 3, me_, "/dev/sdq2", "192.0.2.1", "node-b", "abcN2", "192.0.2.2", 7790);
  }

  void ExpectProcessGone(const std::string& pidFile) {
    const int pid = std::stoi("0" + fixture_.Dir().Read(pidFile));
    ASSERT_GT(pid, 0);
    EXPECT_NE(0, kill(pid, 0)) << "the timed-out tool " << pid << " still runs";
  }

  DrbdFixture fixture_;
  std::string me_;
};

TEST_F(DrbdPacketTest, ProbesOfTheToolAndTheKernelModule) {
  struct Case {
    const char* drbdadm;
    const char* lsmod;
    bool tool, module;
  };
  const std::vector<Case> cases = {
      {"echo 'Version: 8.4.11 (api:1)'", "printf 'Module Size Used by\\ndrbd 372736 0\\n'", true, true},
      {"printf 'USAGE: drbdadm COMMAND\\n\\nVersion: 9.22.0\\n'", "echo 'ext4 1 0'", true, false},
      {"echo ' Version: 8.4.11'", "", false, false},
      {"", "echo 'lru_cache 16384 1 drbd'", false, true},
  };
  for (const Case& c : cases) {
    fixture_.Stub("drbdadm", c.drbdadm);
    fixture_.Stub("lsmod", c.lsmod);
    EXPECT_EQ(c.tool, DrbdHelper::IsDrbdInstalled()) << c.drbdadm;
    EXPECT_EQ(c.module, DrbdHelper::IsKmodDrbdInstalled()) << c.lsmod;
    fixture_.ClearCalls();
    EXPECT_EQ(c.tool && c.module, DrbdHelper::IsAllDrbdComponentInstalled());
    EXPECT_EQ(c.tool ? 2u : 1u, fixture_.Calls().size()) << "the module was asked for without the tool";
  }
}

// A probe that does not answer in time answers false and leaves no child.
TEST_F(DrbdPacketTest, ProbesThatTimeOutLeaveNoChild) {
  DrbdTimings timings = DrbdTimings::Get();
  timings.toolProbeMs = 200;
  timings.kmodProbeMs = 200;
  DrbdTimings::Set(timings);
  fixture_.Stub("drbdadm", "echo $$ > '" + fixture_.Dir().File("drbdadm.pid") + "'\necho Version\nexec sleep 600");
  fixture_.Stub("lsmod", "echo $$ > '" + fixture_.Dir().File("lsmod.pid") + "'\necho drbd\nexec sleep 600");
  EXPECT_FALSE(DrbdHelper::IsDrbdInstalled());
  EXPECT_FALSE(DrbdHelper::IsKmodDrbdInstalled());
  ExpectProcessGone("drbdadm.pid");
  ExpectProcessGone("lsmod.pid");
}

TEST_F(DrbdPacketTest, WhatTheConfigurationFileUses) {
  EXPECT_TRUE(DrbdHelper::GetUsedDrbdNumber().empty());  // no file
  try {
    DrbdHelper::HasPacketName("r0");
    ADD_FAILURE() << "no exception without /etc/drbd.conf";
  } catch (Exception* e) {
    EXPECT_EQ("IO", e->code);
    delete e;
  }
  fixture_.Write("/etc/drbd.conf", kConf);
  EXPECT_EQ((std::vector<int>{0, 2}), DrbdHelper::GetUsedDrbdNumber());
  EXPECT_TRUE(DrbdHelper::HasPacketName("r0"));
  EXPECT_TRUE(DrbdHelper::HasPacketName("r2"));
  EXPECT_FALSE(DrbdHelper::HasPacketName("r"));
  EXPECT_TRUE(DrbdHelper::IsDiskUsed("/dev/sdq1"));
  EXPECT_FALSE(DrbdHelper::IsDiskUsed("/dev/sdq2"));
  EXPECT_FALSE(DrbdHelper::IsDiskUsed("/dev/sdq1", "\taddress\t/dev/sdq1\n"));

  std::unique_ptr<std::vector<PartitionEntity*>> partitions(DrbdHelper::GetPartitionList());
  std::vector<std::string> marked;
  for (PartitionEntity* p : *partitions) {
    marked.push_back(p->devicePath + "=" + std::to_string(p->number));
    delete p;
  }
  EXPECT_EQ((std::vector<std::string>{"/dev/sdq1=1", "/dev/sdq2=0", "/dev/sdq3=0"}), marked);
}

TEST_F(DrbdPacketTest, PreCheckRefusesInOrder) {
  fixture_.Isolated([&] {
    fixture_.Write("/etc/drbd.conf", kConf);
    const std::string addressInUse = "指定的IP地址:端口 \"192.0.2.1:7788\" 已经被使用，请更换IP或端口再重新尝试。";
    auto host = [](bool hostA, const std::function<void(__DrbdHostProperty&)>& f) {
      return [hostA, f](DrbdMirrorConfig* m) {
        __DrbdHostProperty h = hostA ? m->GetHostA() : m->GetHostB();
        f(h);
        if (hostA) m->SetHostA(h);
        else m->SetHostB(h);
      };
    };
    struct Case {
      std::function<void(DrbdMirrorConfig*)> change;
      std::string message;
    };
    const std::vector<Case> cases = {
        {[](DrbdMirrorConfig* m) { m->SetName("new;x"); },
         "镜像包名只能由字母、数字、\"_\"、\"-\"和\".\"组成，不能以\"-\"开头，也不能是\"all\"。"},
        {[](DrbdMirrorConfig* m) { m->SetMinor(2); }, "设备号重复，请重新尝试。"},
        {host(true, [](__DrbdHostProperty& h) { h.hostName = "node-z"; }), "指定的主机名称错误。"},
        {host(true, [](__DrbdHostProperty& h) { h.disk = "/dev/sdq9"; }), "指定的卷：/dev/sdq9 不存在。"},
        {host(true, [](__DrbdHostProperty& h) { h.disk = "/dev/sdq1"; }), "指定的卷：/dev/sdq1 已经被使用。"},
        {host(true,
              [](__DrbdHostProperty& h) {
                h.metaDiskMode = 1;
                h.metaDisk = "/dev/sdq8";
              }),
         "指定的卷：/dev/sdq8 不存在。"},
        {[](DrbdMirrorConfig* m) { m->SetName("r2"); }, "指定的包名称：r2 重复。"},
        {host(true, [](__DrbdHostProperty& h) { h.port = 7788; }), addressInUse},
        {host(false, [](__DrbdHostProperty& h) { h.address = "192.0.2.1", h.port = 7788; }), addressInUse},
        {[](DrbdMirrorConfig*) {}, ""},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
      std::unique_ptr<DrbdMirrorConfig> mirror(NewMirror());
      cases[i].change(mirror.get());
      EXPECT_EQ(cases[i].message, DrbdThrown([&] { DrbdHelper::PreCheckDrbdConfig(mirror.get()); })) << "case " << i;
    }
    // Passed: this node's volume is held as its UUID, with its path.
    std::unique_ptr<DrbdMirrorConfig> mirror(NewMirror());
    DrbdHelper::PreCheckDrbdConfig(mirror.get());
    EXPECT_EQ(fixture_.VolumeUuid(2), mirror->GetHostA().disk);
    EXPECT_EQ("/dev/sdq2", mirror->GetHostA().diskPath);
    // Foreign host names fail before any volume is looked at.
    std::unique_ptr<DrbdMirrorConfig> foreign(NewMirror());
    cases[2].change(foreign.get());
    EXPECT_EQ("指定的主机名称错误。", DrbdThrown([&] { DrbdHelper::PreCheckDrbdConfig(foreign.get()); }));
    EXPECT_EQ("/dev/sdq2", foreign->GetHostA().disk);
    EXPECT_TRUE(fixture_.Calls().empty());
  });
}

TEST_F(DrbdPacketTest, ApplyConfigStatusesOfItsThreeSteps) {
  struct Case {
    const char* createMd;  // exit status of create-md
    const char* up;        // body of up
    std::string message;
    size_t calls;
  };
  const std::vector<Case> cases = {
      {"0", "exit 0", "", 3},
      {"20", "exit 0", "", 3},  // "no valid meta data found, created": success
      {"40", "exit 0", "MetaData存放分区存在文件系统，请手动清除文件系统或勾选强制清除MetaData分区所在文件系统选项再继续!", 1},
      {"3", "exit 0", "create-md 失败，返回代码：768", 1},
      {"0", "printf 'r0: Failure\\nno such device\\n'; exit 10", "drbdadm up 操作失败：r0: Failure no such device ", 3},
  };
  std::unique_ptr<DrbdMirrorConfig> mirror(NewMirror());
  for (const Case& c : cases) {
    fixture_.Stub("drbdadm", std::string("case \"$1\" in\n") +
                                 "create-md) read a; read b; echo \"$a,$b\" > '" + fixture_.Dir().File("answers") +
                                 "'; exit " + c.createMd + " ;;\n" + "up) " + c.up + " ;;\n" + "esac\nexit 0");
    fixture_.ClearCalls();
    EXPECT_EQ(c.message, DrbdThrown([&] { DrbdHelper::ApplyConfig(mirror.get()); })) << c.createMd;
    std::vector<std::string> expected = {"drbdadm [create-md] [new]", "drbdadm [down] [new]", "drbdadm [up] [new]"};
    expected.resize(c.calls);
    EXPECT_EQ(expected, fixture_.Calls());
    EXPECT_EQ("yes,yes\n", fixture_.Dir().Read("answers"));
  }
}

TEST_F(DrbdPacketTest, ApplyConfigStepsThatHangAreKilled) {
  DrbdTimings timings = DrbdTimings::Get();
  timings.applyStepMs = 300;
  DrbdTimings::Set(timings);
  std::unique_ptr<DrbdMirrorConfig> mirror(NewMirror());
  struct Case {
    const char* step;
    const char* message;
  };
  for (const Case& c : {Case{"create-md", "在应用DRBD配置的时候操作失败：create-md等待超时(10000ms)"},
                        Case{"down", "drbdadm down 操作超时(10000ms)！"}, Case{"up", "drbdadm up 操作超时 (10000ms)!"}}) {
    fixture_.Stub("drbdadm", std::string("[ \"$1\" = ") + c.step + " ] || exit 0\necho $$ > '" +
                                 fixture_.Dir().File("hung.pid") + "'\nexec sleep 600");
    EXPECT_EQ(c.message, DrbdThrown([&] { DrbdHelper::ApplyConfig(mirror.get()); }));
    ExpectProcessGone("hung.pid");
  }
}

TEST_F(DrbdPacketTest, CreateAPacket) {
  fixture_.Isolated([&] {
    fixture_.Write("/etc/drbd.conf", "#\n");
    DrbdMirrorConfig* mirror = NewMirror();
    ASSERT_EQ("", DrbdThrown([&] { DrbdHelper::PreCheckDrbdConfig(mirror); }));  // the volume becomes its UUID
    ConfigManager::Instance()->CreateDrbdMirrorConfig(mirror);
    fixture_.Stub("chkconfig", "exit 1");
    DrbdHelper::DoCreateMirrorPacket(mirror, 1, 1);
    EXPECT_EQ((std::vector<std::string>{"dd [if=/dev/zero] [of=/dev/sdq2] [bs=1M] [count=5]",
                                        "drbdadm [create-md] [new]", "drbdadm [down] [new]", "drbdadm [up] [new]",
                                        "drbdsetup [/dev/drbd3] [primary] [-o]", "chkconfig [--del] [drbd]"}),
              fixture_.Calls());
    EXPECT_NE(std::string::npos, fixture_.Read("/etc/drbd.conf").find("resource new{"));

    fixture_.Stub("drbdsetup", "exit 1");
    fixture_.ClearCalls();
    EXPECT_EQ("primary -o operate fail:256", DrbdThrown([&] { DrbdHelper::DoCreateMirrorPacket(mirror, 0, 1); }));
    EXPECT_EQ(4u, fixture_.Calls().size());

    std::unique_ptr<DrbdMirrorConfig> foreign(
        DrbdFixture::Mirror("x", 4, "node-y", "a", "192.0.2.1", "node-z", "b", "192.0.2.2", 7000));
    fixture_.ClearCalls();
    EXPECT_EQ("CANNOT GET THE HOST PROPERTY.", DrbdThrown([&] { DrbdHelper::DoCreateMirrorPacket(foreign.get(), 1, 1); }));
    EXPECT_TRUE(fixture_.Calls().empty());
  });
}

// Debian has no chkconfig: its absence is a failed run, which is ignored.
TEST_F(DrbdPacketTest, NoChkconfigIsNoError) {
  if (!ProcessSpawner::FindProgram("chkconfig").empty()) TARROW_SKIP_BY_DESIGN("this machine has a chkconfig");
  DrbdHelper::DisableDrbdAutoStart();
  EXPECT_TRUE(fixture_.Calls().empty());
}

TEST_F(DrbdPacketTest, DeleteAPacket) {
  fixture_.Isolated([&] {
    ConfigManager::Instance()->CreateDrbdMirrorConfig(
        DrbdFixture::Mirror("r1", 1, me_, fixture_.VolumeUuid(1), "192.0.2.1", "node-b", "abcN1", "192.0.2.2", 7789));
    ConfigManager::Instance()->CreateDrbdMirrorConfig(
        DrbdFixture::Mirror("r0", 0, me_, fixture_.VolumeUuid(2), "192.0.2.1", "node-b", "abcN2", "192.0.2.2", 7788));
    // /dev/drbd1 mounted twice; /dev/drbd10 is another device.
    fixture_.Stub("mount", "[ $# -gt 0 ] && exit 0\n"
                           "echo '/dev/drbd10 on /srv/b type ext4 (rw)'\n"
                           "echo '/dev/drbd1 on /srv/a type ext4 (rw)'\n"
                           "echo '/dev/drbd1 on /srv/c type ext4 (rw)'");
    EXPECT_EQ("无法找到要删除的DRBD包。", DrbdThrown([&] { DrbdHelper::PreDeleteCheck("r9", true); }));
    EXPECT_EQ("指定的DRBD包已经被挂载，请先umount后再继续。", DrbdThrown([&] { DrbdHelper::PreDeleteCheck("r1", false); }));
    fixture_.ClearCalls();
    DrbdHelper::DeletePacket("r1", true);
    EXPECT_EQ((std::vector<std::string>{"mount", "umount [-l] [/dev/drbd1]", "umount [-l] [/dev/drbd1]",
                                        "drbdadm [down] [r1]"}),
              fixture_.Calls());
    EXPECT_EQ(nullptr, ConfigManager::Instance()->GetDrbdMirrorConfigByPacketName("r1"));
    const std::string conf = fixture_.Read("/etc/drbd.conf");
    EXPECT_EQ(std::string::npos, conf.find("resource r1{"));
    EXPECT_NE(std::string::npos, conf.find("resource r0{"));

    // Nothing mounted: deleted without force.
    fixture_.Stub("mount", "exit 0");
    fixture_.ClearCalls();
    DrbdHelper::DeletePacket("r0", false);
    EXPECT_EQ((std::vector<std::string>{"mount", "drbdadm [down] [r0]"}), fixture_.Calls());
  });
}

}  // namespace
