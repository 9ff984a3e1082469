#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "DrbdFixture.h"
#include "EventRecorder.h"
#include "StoreHome.h"
#include "config/ConfigManager.h"
#include "config/DrbdMirrorConfig.h"
#include "framework/Exception.h"
#include "storage/DrbdHelper.h"
#include "storage/DrbdTimings.h"

using Oxbrindale::Velmora::Config::ConfigManager;
using Oxbrindale::Velmora::Config::DrbdMirrorConfig;
using Oxbrindale::Velmora::Framework::DrbdHelper;
using Oxbrindale::Velmora::Framework::DrbdTimings;
using storage_test::DrbdFixture;
using storage_test::DrbdThrown;
using storage_test::EventRecorder;

namespace {

// Device 0 as /proc/drbd shows it.
std::string Device0(const std::string& connection, bool primary) {
  return " 0: cs:" + connection + " ro:" + (primary ? "Primary/Secondary" : "Secondary/Primary") +
         " ds:UpToDate/UpToDate C r-----\n"
         "    ns:0 nr:0 dw:0 dr:0 al:0 bm:0 lo:0 pe:0 ua:0 ap:0 ep:1 wo:f oos:0\n";
}

// The stored mirror "r0" on device 0; DRBD runs (/proc/drbd exists). The
// stub drbdadm turns /proc/drbd into the state its sub-command asks for
// (connect: connected, primary: primary, secondary: secondary), unless a
// test gives it another body.
class DrbdHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ConfigManager::Instance()->RemoveDrbdMirrorConfigByName("r0");
    ConfigManager::Instance()->CreateDrbdMirrorConfig(DrbdFixture::Mirror(
        "r0", 0, "node-a", fixture_.VolumeUuid(1), "192.0.2.1", "node-b", "abcN1", "192.0.2.2", 7788));
    mountPoint_ = fixture_.Dir().File("mnt");
    // Each state file is what /proc/drbd becomes.
    for (const char* connection : {"Connected", "WFConnection", "StandAlone"}) {
      for (bool primary : {false, true}) {
        fixture_.Dir().Write(State(connection, primary), Device0(connection, primary));
      }
    }
    StubDrbdadm(R"(
      role=Secondary; grep -q ro:Primary "$PROC" && role=Primary
      conn=WFConnection; grep -q cs:Connected "$PROC" && conn=Connected
      case "$1" in
        connect) conn=Connected ;;
        primary) role=Primary ;;
        secondary) role=Secondary ;;
      esac
      cp "$STATES/$conn-$role" "$PROC")");
    SetProc("Connected", false);
  }
  void TearDown() override { ConfigManager::Instance()->RemoveDrbdMirrorConfigByName("r0"); }

  std::string State(const std::string& connection, bool primary) {
    return connection + "-" + (primary ? "Primary" : "Secondary");
  }
  void SetProc(const std::string& connection, bool primary) {
    fixture_.Write("/proc/drbd", Device0(connection, primary));
  }
  void StubDrbdadm(const std::string& body) {
    fixture_.Stub("drbdadm", "PROC='" + fixture_.Path("/proc/drbd") + "'\nSTATES='" + fixture_.Dir().Path() +
                                 "'\n" + body);
  }
  DrbdMirrorConfig* Stored() { return ConfigManager::Instance()->GetDrbdMirrorConfigByPacketName("r0"); }
  std::string Mnt() { return "[" + mountPoint_ + "]"; }

  DrbdFixture fixture_;
  std::string mountPoint_;
};

TEST_F(DrbdHostTest, StartHostOnAConnectedPrimaryOnlyMounts) {
  SetProc("Connected", true);
  DrbdHelper::StartHost("r0", mountPoint_);
  EXPECT_EQ((std::vector<std::string>{"mount [/dev/drbd0] " + Mnt()}), fixture_.Calls());
  struct stat st;
  EXPECT_EQ(0, stat(mountPoint_.c_str(), &st)) << "mount point not made";
}

// Promotion stamps the mirror with the wall clock in milliseconds: a value
// past 32 bits, compared with the peer's after a split brain.
TEST_F(DrbdHostTest, StartHostConnectsPromotesAndStampsTheData) {
  SetProc("WFConnection", false);
  fixture_.Env().FixWallClock(1700000000, 5000000);
  DrbdHelper::StartHost("r0", "");
  EXPECT_EQ((std::vector<std::string>{"drbdadm [connect] [r0]", "drbdadm [primary] [r0]"}), fixture_.Calls());
  EXPECT_EQ(1700000000005u, Stored()->GetDataStamp());
  std::ifstream saved(storage_test::StoreHome::Path() + "configs/drbd_mirror_config.dcnf");
  std::stringstream text;
  text << saved.rdbuf();
  EXPECT_NE(std::string::npos, text.str().find("\n1700000000005\n")) << "stamp not saved";
}

TEST_F(DrbdHostTest, StartHostWhosePromotionFailsThrowsItsStatusAndMountsNothing) {
  StubDrbdadm("exit 10");
  EXPECT_EQ("无法更改角色为主端,错误码：2560", DrbdThrown([&] { DrbdHelper::StartHost("r0", mountPoint_); }));
  EXPECT_EQ((std::vector<std::string>{"drbdadm [primary] [r0]"}), fixture_.Calls());
  EXPECT_EQ(0u, Stored()->GetDataStamp());
}

TEST_F(DrbdHostTest, StartHostStartsTheServiceFirst) {
  fixture_.Remove("/proc/drbd");
  fixture_.Stub("/etc/init.d/drbd", "cp '" + fixture_.Dir().File(State("Connected", true)) + "' '" +
                                        fixture_.Path("/proc/drbd") + "'");
  DrbdHelper::StartHost("r0", mountPoint_);
  EXPECT_EQ((std::vector<std::string>{"/etc/init.d/drbd [start]", "mount [/dev/drbd0] " + Mnt()}),
            fixture_.Calls());
}

TEST_F(DrbdHostTest, StartHostRefusals) {
  EXPECT_EQ("镜像包名所指定的镜像包不存在。", DrbdThrown([&] { DrbdHelper::StartHost("r9", ""); }));
  Stored()->SetMinor(5);
  EXPECT_EQ("镜像包未配置。", DrbdThrown([&] { DrbdHelper::StartHost("r0", ""); }));
  // A mount point that is not absolute or holds a quote: nothing runs, not
  // even the service start.
  fixture_.Remove("/proc/drbd");
  EXPECT_EQ("挂载点必须是绝对路径，且不能含有双引号：mnt", DrbdThrown([&] { DrbdHelper::StartHost("r0", "mnt"); }));
  EXPECT_NE("", DrbdThrown([&] { DrbdHelper::StartHost("r0", "/mnt/a\"b"); }));
  EXPECT_TRUE(fixture_.Calls().empty());
}

TEST_F(DrbdHostTest, FailedMountIsUndone) {
  SetProc("Connected", true);
  fixture_.Stub("mount", "[ $# -gt 0 ] && exit 32\nexit 0");
  DrbdHelper::StartHost("r0", mountPoint_);
  EXPECT_EQ((std::vector<std::string>{"mount [/dev/drbd0] " + Mnt(), "umount [-l] " + Mnt()}), fixture_.Calls());
  struct stat st;
  EXPECT_NE(0, stat(mountPoint_.c_str(), &st)) << "mount point left";
}

TEST_F(DrbdHostTest, StopHostOnAPrimaryUnmountsAndDemotes) {
  SetProc("Connected", true);
  fixture_.Dir().MakeDir("mnt");
  fixture_.Stub("lsof", "echo 'COMMAND  PID USER   FD   TYPE DEVICE SIZE/OFF NODE NAME'\n"
                        "echo 'sleep   4242 root  cwd    DIR    8,1     4096    2 /mnt'");
  fixture_.Stub("kill", "exit 0");
  fixture_.Stub("umount", "exit 0");
  DrbdHelper::StopHost("r0", mountPoint_);
  EXPECT_EQ((std::vector<std::string>{"lsof " + Mnt(), "kill [4242]", "umount [-l] [/dev/drbd0]",
                                      "drbdadm [secondary] [r0]"}),
            fixture_.Calls());
  struct stat st;
  EXPECT_NE(0, stat(mountPoint_.c_str(), &st)) << "mount point left";

  // Secondary already: nothing to do. No DRBD: nothing either.
  fixture_.ClearCalls();
  DrbdHelper::StopHost("r0", mountPoint_);
  fixture_.Remove("/proc/drbd");
  DrbdHelper::StopHost("r0", mountPoint_);
  EXPECT_TRUE(fixture_.Calls().empty());
}

// A demotion that never takes is a stop failure, not a stop.
TEST_F(DrbdHostTest, StuckDemotionIsReported) {
  SetProc("Connected", true);
  fixture_.Stub("umount", "exit 0");
  StubDrbdadm("exit 11");
  DrbdTimings timings;
  timings.demoteRetryMs = 1;
  DrbdTimings::Set(timings);
  EXPECT_EQ("镜像包\"r0\"经过10次尝试仍无法切换为从端。", DrbdThrown([&] { DrbdHelper::StopHost("r0", ""); }));
  std::vector<std::string> expected = {"umount [-l] [/dev/drbd0]"};
  expected.insert(expected.end(), 10, "drbdadm [secondary] [r0]");
  EXPECT_EQ(expected, fixture_.Calls());
}

TEST_F(DrbdHostTest, SplitBrainKeepingTheData) {
  EventRecorder events;
  Stored()->SetSplitBrainFlag(1);
  DrbdHelper::BSSaveData("r0");
  EXPECT_EQ((std::vector<std::string>{"drbdadm [connect] [r0]", "drbdadm [secondary] [r0]"}), fixture_.Calls());
  EXPECT_EQ(0u, Stored()->GetSplitBrainFlag());
  EXPECT_TRUE(events.WaitFor("NOTIFY", "DRBD_PACKET_CHANGED"));

  // A name no mirror has: the tools still run, nothing is saved.
  fixture_.ClearCalls();
  DrbdHelper::BSSaveData("r9");
  EXPECT_EQ((std::vector<std::string>{"drbdadm [connect] [r9]", "drbdadm [secondary] [r9]"}), fixture_.Calls());
}

TEST_F(DrbdHostTest, SplitBrainDroppingTheData) {
  SetProc("StandAlone", true);
  fixture_.Stub("umount", "exit 0");
  Stored()->SetSplitBrainFlag(1);
  DrbdHelper::BSDropData("r0");
  EXPECT_EQ((std::vector<std::string>{"umount [-l] [/dev/drbd0]", "drbdadm [secondary] [r0]",
                                      "drbdadm [secondary] [r0]", "drbdadm [disconnect] [r0]",
                                      "drbdadm [--] [--discard-my-data] [connect] [r0]"}),
            fixture_.Calls());
  EXPECT_EQ(0u, Stored()->GetSplitBrainFlag());

  // Unknown packet while DRBD runs: StopHost refuses before any tool.
  fixture_.ClearCalls();
  EXPECT_EQ("镜像包名所指定的镜像包不存在。", DrbdThrown([&] { DrbdHelper::BSDropData("r9"); }));
  EXPECT_TRUE(fixture_.Calls().empty());
  // Without DRBD, StopHost returns at once and the three commands still run.
  StubDrbdadm("exit 0");
  fixture_.Remove("/proc/drbd");
  DrbdHelper::BSDropData("r9");
  EXPECT_EQ(3u, fixture_.Calls().size());
}

TEST_F(DrbdHostTest, StatusOfThePacket) {
  const std::string device = "/dev/drbd0 " + mountPoint_ + " ext4 rw 0 0\n";
  struct Case {
    const char* name;
    std::string connection;
    bool primary;
    uint32_t splitMark;
    std::string mounts;
    std::string mountPoint;
    bool result;
    bool connected;
    std::vector<std::string> calls;
  };
  const std::vector<Case> cases = {
      {"primary, mounted here", "Connected", true, 0, device, mountPoint_, true, true, {}},
      {"primary, no mount point asked", "WFConnection", true, 0, "", "", true, false, {}},
      {"secondary", "Connected", false, 0, device, mountPoint_, false, true, {}},
      {"primary, mounted elsewhere", "Connected", true, 0, "/dev/drbd0 /srv/other ext4 rw 0 0\n", mountPoint_,
       false, true, {"drbdadm [secondary] [r0]"}},
      {"primary, not mounted", "Connected", true, 0, "/dev/drbd1 " + mountPoint_ + " ext4 rw 0 0\n", mountPoint_,
       false, true, {"drbdadm [secondary] [r0]"}},
      {"stand-alone: reconnected", "StandAlone", false, 0, "", "", false, false, {"drbdadm [connect] [r0]"}},
      {"stand-alone, marked as split: left alone", "StandAlone", false, 1, "", "", false, false, {}},
  };
  for (const Case& c : cases) {
    SetProc(c.connection, c.primary);
    fixture_.Write("/proc/mounts", "proc /proc proc rw 0 0\n" + c.mounts);
    Stored()->SetSplitBrainFlag(c.splitMark);
    fixture_.ClearCalls();
    bool connected = !c.connected;
    EXPECT_EQ(c.result, DrbdHelper::Status("r0", c.mountPoint, &connected)) << c.name;
    EXPECT_EQ(c.connected, connected) << c.name;
    EXPECT_EQ(c.calls, fixture_.Calls()) << c.name;
    EXPECT_EQ(c.result, DrbdHelper::Status("r0", c.mountPoint, nullptr)) << c.name;
  }
  EXPECT_FALSE(DrbdHelper::Status("r9", "", nullptr));
  fixture_.Remove("/proc/drbd");
  EXPECT_FALSE(DrbdHelper::Status("r0", "", nullptr));
}

TEST_F(DrbdHostTest, HangingToolsAreKilledAndReported) {
  EventRecorder events;
  StubDrbdadm("echo $$ >> '" + fixture_.Dir().File("pids") + "'\nexec sleep 600");
  DrbdTimings timings;
  timings.commandLimitMs = 300;
  DrbdTimings::Set(timings);
  EXPECT_EQ("命令执行超过300ms，已被终止：drbdadm primary r0", DrbdThrown([&] { DrbdHelper::StartHost("r0", ""); }));
  // The split-brain operations throw nothing: they post the report.
  DrbdHelper::BSSaveData("r0");
  EXPECT_TRUE(events.WaitFor("ERROR", "已被终止：drbdadm secondary r0"));
  std::istringstream pids(fixture_.Dir().Read("pids"));
  int pid = 0, count = 0;
  while (pids >> pid) {
    ++count;
    EXPECT_NE(0, kill(pid, 0)) << "drbdadm " << pid << " still runs";
  }
  EXPECT_EQ(3, count);
}

TEST_F(DrbdHostTest, ServiceStart) {
  fixture_.Stub("service", "exit 0");
  DrbdHelper::StartDrbdService();
  EXPECT_EQ((std::vector<std::string>{"service [drbd] [start]"}), fixture_.Calls());
}

}  // namespace
