#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "DrbdFixture.h"
#include "EventRecorder.h"
#include "NamespaceChild.h"
#include "config/DrbdMirrorConfig.h"
#include "framework/Exception.h"
#include "framework/ProcessCommandRunner.h"
#include "storage/DrbdHelper.h"
#include "storage/LinuxDisk.h"
#include "support/SkipRule.h"

using Oxbrindale::Velmora::Config::DrbdMirrorConfig;
using Oxbrindale::Velmora::Config::__DrbdHostProperty;
using Oxbrindale::Velmora::Framework::CommandResult;
using Oxbrindale::Velmora::Framework::DrbdHelper;
using Oxbrindale::Velmora::Framework::LinuxDisk;
using Oxbrindale::Velmora::Framework::ProcessCommandRunner;
using storage_test::DrbdFixture;
using storage_test::EventRecorder;
using storage_test::NamespaceChild;

namespace {

const char kRemote[] = "0123456789abcdef0123456789abcdef";

std::string Golden(const std::string& name) {
  std::string here = __FILE__;
  std::ifstream in(here.substr(0, here.rfind('/')) + "/golden/" + name);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The DRBD 8.4 configuration parser of drbd-utils ("" when not installed).
std::string Parser() {
  for (const char* path : {"/usr/lib/drbd/drbdadm-84", "/lib/drbd/drbdadm-84"}) {
    if (access(path, X_OK) == 0) return path;
  }
  return "";
}

// Runs the real parser over file: "" when it reads the file, else its words.
std::string ParserFault(const std::string& file) {
  ProcessCommandRunner runner;
  CommandResult result = runner.Run({"sh", "-c", Parser() + " -c \"$0\" dump all 2>&1", file}, 60000, true);
  return result.status == 0 ? "" : "status " + std::to_string(result.status) + ": " + result.output;
}

using Mirrors = std::vector<std::unique_ptr<DrbdMirrorConfig>>;

std::vector<DrbdMirrorConfig*> Raw(const Mirrors& mirrors) {
  std::vector<DrbdMirrorConfig*> raw;
  for (const auto& m : mirrors) raw.push_back(m.get());
  return raw;
}

// /etc/drbd.conf as this node ("node-a", 192.0.2.1) writes it, each case
// compared with its golden file and read by DRBD's own parser.
class DrbdConfTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Parser().empty()) TARROW_SKIP_UNLESS_PRIVILEGED("drbd-utils (drbdadm-84) is not installed");
  }

  DrbdMirrorConfig* Local(const std::string& name, int minor, int port) {
    return DrbdFixture::Mirror(name, minor, "node-a", fixture_.VolumeUuid(1), "192.0.2.1", "node-b",
                               std::string(kRemote) + "N1", "192.0.2.2", port);
  }

  // Runs body on node-a in namespaces of its own.
  void OnNodeA(const std::function<void()>& body) {
    NamespaceChild::Options options;
    options.hostName = "node-a";
    options.network = true;
    options.addresses = {"192.0.2.1/24"};
    int rc = NamespaceChild::Run(options, [&] {
      fixture_.TakePartitionList();
      body();
    });
    if (rc == NamespaceChild::kUnavailable) TARROW_SKIP_UNLESS_PRIVILEGED("no UTS or network namespace here");
    EXPECT_EQ(NamespaceChild::kPassed, rc) << "the body failed in its namespace (see above)";
  }

  void ExpectWritten(const Mirrors& mirrors, const std::string& golden) {
    DrbdHelper::FlushConfig(Raw(mirrors));
    EXPECT_EQ(Golden(golden), fixture_.Read("/etc/drbd.conf")) << golden;
    EXPECT_EQ("", ParserFault(fixture_.Path("/etc/drbd.conf"))) << golden;
  }

  DrbdFixture fixture_;
};

TEST_F(DrbdConfTest, LocalHostAWithInternalMetaData) {
  OnNodeA([&] {
    ASSERT_EQ("/dev/sdq1", LinuxDisk::GetVolumePathByUUID(fixture_.VolumeUuid(1)));
    Mirrors mirrors;
    mirrors.emplace_back(Local("r0", 0, 7788));
    ExpectWritten(mirrors, "drbd_local_host_a.conf");
    // The resolved paths stay in the record.
    EXPECT_EQ("/dev/sdq1", mirrors[0]->GetHostA().diskPath);
    EXPECT_EQ(std::string(kRemote) + "N1", mirrors[0]->GetHostB().diskPath);
  });
}

// The local host is host B with its meta data on a volume of its own; the
// second mirror names neither host of this node and is left out, but the
// line feed after the first section stays.
TEST_F(DrbdConfTest, LocalHostBWithMetaDiskAndALaterMirrorLeftOut) {
  OnNodeA([&] {
    Mirrors mirrors;
    DrbdMirrorConfig* data1 = DrbdFixture::Mirror("data1", 63, "node-c", std::string(kRemote) + "N2", "192.0.2.3",
                                                  "node-a", fixture_.VolumeUuid(2), "192.0.2.1", 7789);
    data1->SetProtocol("A");
    data1->SetRate(4096);
    data1->SetSharedSecret("with space & #hash");
    __DrbdHostProperty a = data1->GetHostA();
    a.metaDiskMode = 1;
    a.metaDisk = std::string(kRemote) + "N3";
    a.metaDiskIndex = 1;
    data1->SetHostA(a);
    __DrbdHostProperty b = data1->GetHostB();
    b.metaDiskMode = 1;
    b.metaDisk = fixture_.VolumeUuid(3);
    data1->SetHostB(b);
    mirrors.emplace_back(data1);
    mirrors.emplace_back(DrbdFixture::Mirror("other", 1, "node-x", "x", "192.0.2.8", "node-y", "y", "192.0.2.9", 7700));
    ExpectWritten(mirrors, "drbd_local_host_b_meta_disk.conf");
  });
}

TEST_F(DrbdConfTest, NoMirrorOfThisNodeLeavesTheHeaderOnly) {
  OnNodeA([&] {
    Mirrors mirrors;
    mirrors.emplace_back(DrbdFixture::Mirror("other", 1, "node-x", "x", "192.0.2.8", "node-y", "y", "192.0.2.9", 7700));
    ExpectWritten(mirrors, "drbd_no_local_mirror.conf");
    ExpectWritten(Mirrors(), "drbd_no_local_mirror.conf");
  });
}

// A mirror whose texts would break the file (or reach a shell through the
// split-brain handler) is left out with an error event; the others stay
// readable. A mirror whose local volume does not resolve is left out too.
TEST_F(DrbdConfTest, UnsafeMirrorsAreLeftOut) {
  struct Bad {
    const char* name;
    std::function<void(DrbdMirrorConfig*)> spoil;
  };
  const std::vector<Bad> bad = {
      {"r1;reboot", [](DrbdMirrorConfig*) {}},
      {"$(reboot)", [](DrbdMirrorConfig*) {}},
      {"all", [](DrbdMirrorConfig*) {}},
      {"-r1", [](DrbdMirrorConfig*) {}},
      {"quote", [](DrbdMirrorConfig* m) { m->SetSharedSecret("a\"b"); }},
      {"newline", [](DrbdMirrorConfig* m) { m->SetSharedSecret("a\nb"); }},
      {"protocol", [](DrbdMirrorConfig* m) { m->SetProtocol("C; disk { on-io-error detach; }"); }},
      {"rate", [](DrbdMirrorConfig* m) { m->SetRate(5000); }},
      {"minor", [](DrbdMirrorConfig* m) { m->SetMinor(-1); }},
      {"port", [](DrbdMirrorConfig* m) {
         __DrbdHostProperty b = m->GetHostB();
         b.port = 70000;
         m->SetHostB(b);
       }},
      {"address", [](DrbdMirrorConfig* m) {
         __DrbdHostProperty b = m->GetHostB();
         b.address = "192.0.2.2:1;";
         m->SetHostB(b);
       }},
      {"peer", [](DrbdMirrorConfig* m) {
         __DrbdHostProperty b = m->GetHostB();
         b.hostName = "node-b{";
         m->SetHostB(b);
       }},
      {"remotedisk", [](DrbdMirrorConfig* m) {
         __DrbdHostProperty b = m->GetHostB();
         b.disk = "x; }";
         m->SetHostB(b);
       }},
      {"metaindex", [](DrbdMirrorConfig* m) {
         __DrbdHostProperty b = m->GetHostB();
         b.metaDiskMode = 1;
         b.metaDisk = "abcN2";
         b.metaDiskIndex = -1;
         m->SetHostB(b);
       }},
      {"metamode2", [](DrbdMirrorConfig* m) {  // meta data elsewhere, but no volume for it
         __DrbdHostProperty b = m->GetHostB();
         b.metaDiskMode = 2;
         b.metaDisk = "abcN2";
         m->SetHostB(b);
       }},
  };
  OnNodeA([&] {
    EventRecorder events;
    Mirrors mirrors;
    mirrors.emplace_back(Local("r0", 0, 7788));
    int port = 7800;
    for (const Bad& b : bad) {
      DrbdMirrorConfig* mirror = Local(b.name, 2, port++);
      b.spoil(mirror);
      mirrors.emplace_back(mirror);
    }
    DrbdMirrorConfig* unresolved = Local("unresolved", 3, 7899);
    __DrbdHostProperty a = unresolved->GetHostA();
    a.disk = fixture_.VolumeUuid(9);
    unresolved->SetHostA(a);
    mirrors.emplace_back(unresolved);
    DrbdMirrorConfig* r5 = DrbdFixture::Mirror("r5.mirror_5", 5, "node-a", fixture_.VolumeUuid(2), "192.0.2.1",
                                               "node-b", std::string(kRemote) + "N5", "192.0.2.2", 7795);
    r5->SetProtocol("B");
    r5->SetRate(1);
    r5->SetSharedSecret("~!$`'()*");
    mirrors.emplace_back(r5);

    ExpectWritten(mirrors, "drbd_unsafe_left_out.conf");
    for (const Bad& b : bad) {
      EXPECT_TRUE(events.WaitFor("ERROR", std::string("镜像包\"") + b.name + "\"未写入/etc/drbd.conf：")) << b.name;
    }
  });
}

TEST(DrbdValidateTest, NamesTheFirstBadField) {
  struct Case {
    std::function<void(DrbdMirrorConfig*)> spoil;
    const char* message;  // "" when valid
  };
  auto host = [](bool hostA, const std::function<void(__DrbdHostProperty&)>& change) {
    return [hostA, change](DrbdMirrorConfig* m) {
      __DrbdHostProperty h = hostA ? m->GetHostA() : m->GetHostB();
      change(h);
      if (hostA) m->SetHostA(h);
      else m->SetHostB(h);
    };
  };
  const std::vector<Case> cases = {
      {[](DrbdMirrorConfig*) {}, ""},
      {[](DrbdMirrorConfig* m) { m->SetName("r 0"); },
       "镜像包名只能由字母、数字、\"_\"、\"-\"和\".\"组成，不能以\"-\"开头，也不能是\"all\"。"},
      {[](DrbdMirrorConfig* m) { m->SetProtocol("D"); }, "DRBD协议只能是A、B或C。"},
      {[](DrbdMirrorConfig* m) { m->SetRate(0); }, "同步速率限制填写错误。"},
      {[](DrbdMirrorConfig* m) { m->SetRate(4097); }, "同步速率限制填写错误。"},
      {[](DrbdMirrorConfig* m) { m->SetSharedSecret("back\\slash"); },
       "共享密钥只能由可打印的ASCII字符组成，且不能含有双引号或反斜杠。"},
      {[](DrbdMirrorConfig* m) { m->SetMinor(64); }, "设备号必须在0到63之间。"},
      {host(true, [](__DrbdHostProperty& h) { h.hostName = ""; }),
       "主机A的主机名只能由字母、数字、\"_\"、\"-\"和\".\"组成。"},
      {host(false, [](__DrbdHostProperty& h) { h.address = "192.0.2.256"; }), "主机B的IP地址不是有效的IPv4地址。"},
      {host(false, [](__DrbdHostProperty& h) { h.address = "192.0.2"; }), "主机B的IP地址不是有效的IPv4地址。"},
      {host(true, [](__DrbdHostProperty& h) { h.port = 0; }), "主机A的端口必须在1到65535之间。"},
      {host(true, [](__DrbdHostProperty& h) { h.disk = "/dev/sd b1"; }), "主机A的数据卷无效或含有不允许的字符。"},
      {host(false, [](__DrbdHostProperty& h) { h.metaDiskMode = 1; }), "主机B的元数据卷无效或含有不允许的字符。"},
      {host(false,
            [](__DrbdHostProperty& h) {
              h.metaDiskMode = 1;
              h.metaDisk = "/dev/sdc1";
              h.metaDiskIndex = 100000000;
            }),
       "主机B的元数据卷索引必须在0到99999999之间。"},
  };
  for (const Case& c : cases) {
    std::unique_ptr<DrbdMirrorConfig> mirror(
        DrbdFixture::Mirror("r0", 0, "node-a", "/dev/sdb1", "192.0.2.1", "node-b", "abcN1", "192.0.2.2", 7788));
    c.spoil(mirror.get());
    std::string message;
    try {
      DrbdHelper::ValidateMirror(mirror.get());
    } catch (Exception* e) {
      EXPECT_EQ("DRBD", e->code);
      message = e->message;
      delete e;
    }
    EXPECT_EQ(c.message, message);
  }
}

}  // namespace
