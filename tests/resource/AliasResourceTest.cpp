// The computer alias resource, each case on a thread of its own inside a new
// UTS namespace: the threads and programs (/bin/hostname) it starts inherit
// the namespace, so the host's name never changes. /etc goes through the Env
// seam to a temporary root.

#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "config/AliasResConfig.h"
#include "framework/HostNameTool.h"
#include "framework/ProcessCommandRunner.h"
#include "resource/AliasResource.h"
#include "resource/KindConfigs.h"
#include "resource/ResourceTestSupport.h"
#include "support/SkipRule.h"
#include "support/TempDir.h"
#include "support/Thrown.h"

namespace resource_test {
namespace {

using Oxbrindale::Velmora::Config::AliasResConfig;
using Oxbrindale::Velmora::Framework::CommandResult;
using Oxbrindale::Velmora::Framework::CommandRunner;
using Oxbrindale::Velmora::Framework::Env;
using Oxbrindale::Velmora::Framework::ProcessCommandRunner;
using Oxbrindale::Velmora::Resource::AliasResource;
using Oxbrindale::Velmora::Resource::RES_OP_TEST;
using tarrow_test::ThrownText;

// A runner whose commands do nothing and fail.
class RefusingRunner : public CommandRunner {
 public:
  int System(const std::string&) override { return 256; }
  CommandResult Run(const std::vector<std::string>&, long, bool) override {
    CommandResult result;
    result.status = 256;
    return result;
  }
};

// The world's program directory, system files under root, real commands
// (or refused ones).
class AliasEnv : public Env {
 public:
  AliasEnv(const std::string& root, bool refuse) : root_(root), refuse_(refuse) {}
  std::string AppPath() override { return World::Get().AppPath(); }
  std::string SystemPath(const std::string& path) override { return root_ + path; }
  CommandRunner* Runner() override {
    if (refuse_) return &refusing_;
    return &real_;
  }

 private:
  const std::string root_;
  const bool refuse_;
  ProcessCommandRunner real_;
  RefusingRunner refusing_;
};

std::string NamespaceOf(const std::string& task) {
  char target[256] = {0};
  const ssize_t length = readlink(("/proc/" + task + "/ns/uts").c_str(), target, sizeof(target) - 1);
  return length > 0 ? std::string(target, static_cast<size_t>(length)) : std::string();
}

// Runs body on a new thread inside a new UTS namespace whose host name is
// hostName. "" when it ran, else why it could not.
std::string InUtsNamespace(const std::string& hostName, const std::function<void()>& body) {
  std::string why;
  std::thread thread([&] {
    if (unshare(CLONE_NEWUTS) != 0) {
      why = std::string("unshare(CLONE_NEWUTS): ") + strerror(errno);
      return;
    }
    const std::string own = NamespaceOf("thread-self");
    if (own.empty() || own == NamespaceOf("self")) {
      why = "the thread did not get a UTS namespace of its own";
      return;
    }
    if (sethostname(hostName.data(), hostName.size()) != 0) {
      why = std::string("sethostname: ") + strerror(errno);
      return;
    }
    body();
  });
  thread.join();
  return why;
}

class AliasResourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    hostName_ = HostNameTool::GetHostName();
    root_.MakeDir("etc");
    root_.MakeDir("etc/sysconfig");
  }
  void TearDown() override {
    EXPECT_EQ(hostName_, HostNameTool::GetHostName()) << "the host's own name changed";
  }

  // Installs the test's Env for the scope of the case.
  void RunCase(const std::function<void()>& body, bool refuse = false) {
    std::string why;
    InstallForGood(new AliasEnv(root_.Path().substr(0, root_.Path().size() - 1), refuse));
    why = InUtsNamespace("ns-original", body);
    RestoreWorldEnv();
    if (!why.empty()) TARROW_SKIP_UNLESS_PRIVILEGED(why);
  }

  AliasResource* Make(const std::string& alias, std::unique_ptr<AliasResConfig>& config,
                      std::unique_ptr<AliasResource>& resource) {
    CommonSettings common;
    common.name = UniqueName("alias");
    config.reset(MakeRecord<AliasResConfig>(common, {alias, "", "0"}));
    resource.reset(new AliasResource(config.get()));
    resource->SetTimings(FakeResource::FastTimings());
    return resource.get();
  }

  std::string hostName_;
  tarrow_test::TempDir root_;
};

TEST_F(AliasResourceTest, StopRestoresTheConfiguredNameOrTheOneBeforeTheStart) {
  struct Row {
    std::string what;
    std::string network;   // /etc/sysconfig/network, none when empty
    std::string hostname;  // /etc/hostname, none when empty
    std::string restored;
  };
  for (const Row& row : {Row{"etc hostname as on Debian", "", "# the name\n  cfg-name \n", "cfg-name"},
                         Row{"sysconfig network", "NETWORKING=yes\nHOSTNAME=net-name\n", "", "net-name"},
                         Row{"nothing configured", "", "", "ns-original"}}) {
    SCOPED_TRACE(row.what);
    unlink(root_.File("etc/sysconfig/network").c_str());
    unlink(root_.File("etc/hostname").c_str());
    if (!row.network.empty()) root_.Write("etc/sysconfig/network", row.network);
    if (!row.hostname.empty()) root_.Write("etc/hostname", row.hostname);
    RunCase([&] {
      std::unique_ptr<AliasResConfig> config;
      std::unique_ptr<AliasResource> resource;
      AliasResource* alias = Make("alias-a", config, resource);
      EXPECT_FALSE(alias->Test());
      EXPECT_EQ("", ThrownText([&] { alias->Start(); }));
      EXPECT_EQ("alias-a", HostNameTool::GetHostName());
      EXPECT_TRUE(alias->Test());
      EXPECT_EQ("", ThrownText([&] { alias->Stop(); }));
      EXPECT_EQ(row.restored, HostNameTool::GetHostName());
      EXPECT_FALSE(alias->Test());
    });
    if (HasFatalFailure() || IsSkipped()) return;
  }
}

TEST_F(AliasResourceTest, ANameThatIsRefusedOrDoesNotTakeFailsTheStartWithAnAlarm) {
  struct Row {
    std::string what;
    std::string alias;
    bool refuse;
    std::string thrown;
    std::string reason;
  };
  for (const Row& row : {Row{"refused by the rule", "bad_name", false, "RES_SS: 启动失败！遭遇断言否决", "主机名\"bad_name\"无效"},
                         Row{"never set", "NONAME", false, "RES_SS: 启动失败！遭遇断言否决", "主机名\"NONAME\"无效"},
                         Row{"hostname fails", "alias-b", true, "RES_SS: 启动失败！超过重试次数",
                             "无法将主机名设置为\"alias-b\""}}) {
    SCOPED_TRACE(row.what);
    std::string name;
    RunCase(
        [&] {
          std::unique_ptr<AliasResConfig> config;
          std::unique_ptr<AliasResource> resource;
          AliasResource* alias = Make(row.alias, config, resource);
          name = config->GetName();
          EXPECT_EQ(row.thrown, ThrownText([&] { alias->Start(); }));
          EXPECT_EQ("ns-original", HostNameTool::GetHostName());
        },
        row.refuse);
    if (IsSkipped()) return;
    EXPECT_TRUE(World::Get().Alarms().WaitFor(3, "计算机别名资源\"" + name + "\"启动失败：" + row.reason));
  }
}

TEST_F(AliasResourceTest, TheNameIsThatOfTheLastStartAndTheOtherResourceRecovers) {
  root_.Write("etc/hostname", "cfg-name\n");
  std::string nameA;
  RunCase([&] {
    std::unique_ptr<AliasResConfig> configA, configB;
    std::unique_ptr<AliasResource> resourceA, resourceB;
    AliasResource* a = Make("alias-a", configA, resourceA);
    AliasResource* b = Make("alias-b", configB, resourceB);
    nameA = configA->GetName();
    EXPECT_EQ("", ThrownText([&] { a->Start(); }));
    EXPECT_EQ("", ThrownText([&] { b->Start(); }));  // the tree started last
    EXPECT_EQ("alias-b", HostNameTool::GetHostName());
    EXPECT_FALSE(a->Test());
    a->InitTestThread(RES_OP_TEST);
    EXPECT_TRUE(World::Get().Alarms().WaitFor(7, "\"" + nameA + "\"在日常运行检测中发生了失败，正在尝试恢复.."));
    EXPECT_TRUE(WaitUntil([&] { return HostNameTool::GetHostName() == "alias-a"; }));
    a->ShutdownTestThread();
    EXPECT_FALSE(b->Test());
    EXPECT_TRUE(a->Test());
    EXPECT_EQ("", ThrownText([&] { a->StopRes(); }));  // the thread is shut down: the worker step itself
    EXPECT_EQ("cfg-name", HostNameTool::GetHostName());
  });
  if (IsSkipped()) return;
  EXPECT_TRUE(World::Get().Alarms().WaitFor(7, "\"" + nameA + "\"在日常运行检测中发生了失败，但已经成功从失败中恢复！"));
}

}  // namespace
}  // namespace resource_test
