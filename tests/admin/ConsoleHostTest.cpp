// The host information and DRBD commands: disks, interfaces and static
// addresses (in a network namespace of the test's own), mirror packet
// changes and the manual split-brain recovery.
#include <gtest/gtest.h>
#include <sched.h>

#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "admin/AdminNetwork.h"
#include "admin/AdminTestSupport.h"
#include "admin/SettingsFakes.h"
#include "config/DrbdMirrorConfig.h"
#include "entity/HardDiskEntity.h"
#include "resource/NetAdaptorFactory.h"
#include "support/SkipRule.h"

namespace tarrow_test {
namespace {

using Oxbrindale::Velmora::Config::DrbdMirrorConfig;
using Oxbrindale::Velmora::Core::AdminNetwork;
using Oxbrindale::Velmora::Core::IAdminNetwork;
using Oxbrindale::Velmora::Entity::HardDiskEntity;
using Oxbrindale::Velmora::Framework::NetAdaptorFactory;

class ConsoleHost : public AdminServerTest {
 protected:
  ConsoleHost() {
    context.storage = &storage;
    context.splitBrain = &splitBrain;
  }
  FakeStorage storage;
  FakeSplitBrain splitBrain;
};

TEST_F(ConsoleHost, DiskListOrItsFailure) {
  std::unique_ptr<TestConsole> console = LoggedIn(2);
  storage.listable = false;
  EXPECT_EQ("ERROR\n获取磁盘卷列表失败！", console->Request("GET_DISK_LIST", ""));
  storage.listable = true;
  EXPECT_EQ("OK\n", console->Request("GET_DISK_LIST", ""));
  storage.disks = {"0123456789abcdef0123456789abcdef", "fedcba9876543210fedcba9876543210"};
  HardDiskEntity first, second;
  first.diskId = storage.disks[0];
  second.diskId = storage.disks[1];
  EXPECT_EQ("OK\n" + first.ToString() + "\n" + second.ToString(), console->Request("GET_DISK_LIST", ""));
}

// A mirror packet's text with this name and split-brain policy.
std::string Mirror(const std::string& name, int policy) {
  DrbdMirrorConfig mirror;
  mirror.SetProtocol("C");
  mirror.SetRate(100);
  mirror.SetMinor(1);
  mirror.SetName(name);
  mirror.SetSplitBrainPolicy(static_cast<uint16_t>(policy));
  return mirror.ToString();
}

TEST_F(ConsoleHost, MirrorChangesAreCheckedFirst) {
  std::unique_ptr<TestConsole> console = LoggedIn(0);
  for (const char* command : {"PRE_MODIFY_DRBD_CHECK", "MODIFY_DRBD_PACKET"}) {
    SCOPED_TRACE(command);
    EXPECT_EQ("ERROR\n脑裂恢复策略选择错误。", console->Request(command, Mirror("r0", 5)));
    EXPECT_EQ("ERROR\n存储结构数据错误，无法从序列化数据中反序列化存储数据!", console->Request(command, "C\n100"));
  }
  EXPECT_TRUE(storage.Modified().empty());
  EXPECT_TRUE(console->NoPush("NOTIFY", 200));

  EXPECT_EQ("OK\n", console->Request("PRE_MODIFY_DRBD_CHECK", Mirror("r0", 2)));
  EXPECT_TRUE(storage.Modified().empty());
  EXPECT_EQ("OK\n", console->Request("MODIFY_DRBD_PACKET", Mirror("r0", 2)));
  EXPECT_EQ(std::vector<std::string>({"r0"}), storage.Modified());
  ConsoleFrame push;
  ASSERT_TRUE(console->WaitPush("NOTIFY", &push));
  EXPECT_EQ("DRBD_PACKET_CHANGED", push.body.substr(push.body.find('\n') + 1));
}

TEST_F(ConsoleHost, SplitBrainRecoveryNeedsAKnownMirrorAndASide) {
  std::unique_ptr<TestConsole> console = LoggedIn(0);
  splitBrain.mirrors = {"r0"};
  struct Case {
    std::string body;
    std::string reply;
  };
  const Case cases[] = {
      {"r9\n1", "ERROR\n无法根据指定的包名查找到镜像包。"},
      {"r0\n1", "OK\n"},
      {"r0\n0", "OK\n"},
      {"r0\n2", "ERROR\n输入数据不合法！"},
      {"r0\nx", "ERROR\n输入数据不合法！"},
      {"r0", "ERROR\n输入数据不合法！"},
      {"", "ERROR\n输入数据不合法！"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.reply, console->Request("SET_BS_RESUME", c.body)) << c.body;
  const std::vector<std::pair<std::string, int>> begun = {{"r0", 1}, {"r0", 0}};
  EXPECT_EQ(begun, splitBrain.Begun());
  std::unique_ptr<TestConsole> operatorConsole = LoggedIn(1);
  EXPECT_EQ("ERROR\n不具备操作权限!", operatorConsole->Request("SET_BS_RESUME", "r0\n1"));
}

TEST_F(ConsoleHost, AddressResourcesForTheAdministrator) {
  std::unique_ptr<TestConsole> admin = LoggedIn(0);
  std::unique_ptr<TestConsole> observer = LoggedIn(2);
  EXPECT_EQ("OK\n", admin->Request("GET_IP_RES_CONFIG", ""));
  EXPECT_EQ("ERROR\n不具备操作权限!", observer->Request("GET_IP_RES_CONFIG", ""));
}

// A thread in a network namespace of its own that runs what it is handed.
class NamespaceThread {
 public:
  NamespaceThread() : _thread([this] { _Loop(); }) {
    std::unique_lock<std::mutex> lock(_lock);
    _changed.wait(lock, [this] { return _ready; });
  }
  ~NamespaceThread() {
    {
      std::lock_guard<std::mutex> lock(_lock);
      _stop = true;
    }
    _changed.notify_all();
    _thread.join();
  }
  bool Inside() const { return _inside; }
  // Runs task on the thread and waits for it.
  void Run(const std::function<void()>& task) {
    std::unique_lock<std::mutex> lock(_lock);
    _changed.wait(lock, [this] { return !_task; });
    _task = task;
    _changed.notify_all();
    _changed.wait(lock, [this] { return !_task; });
  }
  // A command run by a shell forked from the thread (so in its namespace).
  int Shell(const std::string& command) {
    int status = -1;
    Run([&] { status = std::system(command.c_str()); });
    return status;
  }

 private:
  void _Loop() {
    const bool inside = ::unshare(CLONE_NEWNET) == 0;
    std::unique_lock<std::mutex> lock(_lock);
    _inside = inside;
    _ready = true;
    _changed.notify_all();
    for (;;) {
      _changed.wait(lock, [this] { return _stop || _task; });
      if (_task) {
        std::function<void()> task = _task;
        lock.unlock();
        task();
        lock.lock();
        _task = nullptr;
        _changed.notify_all();
      } else if (_stop) {
        return;
      }
    }
  }

  std::mutex _lock;
  std::condition_variable _changed;
  bool _ready = false;
  bool _inside = false;
  bool _stop = false;
  std::function<void()> _task;
  std::thread _thread;
};

// The interfaces of the namespace, read on its thread.
class NamespaceNetwork : public IAdminNetwork {
 public:
  explicit NamespaceNetwork(NamespaceThread* ns) : _ns(ns) {
    _ns->Run([this] { _factory.reset(new NetAdaptorFactory()); });
  }
  ~NamespaceNetwork() override {
    _ns->Run([this] { _factory.reset(); });
  }
  std::vector<std::string> GetAdaptorEntityTexts() override {
    std::vector<std::string> texts;
    _ns->Run([&] { texts = AdminNetwork(_factory.get()).GetAdaptorEntityTexts(); });
    return texts;
  }
  std::vector<std::vector<Address>> GetInterfaceAddresses() override {
    std::vector<std::vector<Address>> addresses;
    _ns->Run([&] { addresses = AdminNetwork(_factory.get()).GetInterfaceAddresses(); });
    return addresses;
  }

 private:
  NamespaceThread* _ns;
  std::unique_ptr<NetAdaptorFactory> _factory;
};

TEST_F(ConsoleHost, StaticAddressesWithTheirOwnNetmask) {
  NamespaceThread ns;
  if (!ns.Inside()) TARROW_SKIP_UNLESS_PRIVILEGED("cannot make a network namespace (unshare)");
  // A pair of interfaces: n0 with an alias added before its own address, n1
  // without any address.
  const char* const setup[] = {
      "ip link add n0 type veth peer name n1",
      "ip addr add 203.0.113.1/16 dev n0 label n0:1",
      "ip addr add 198.51.100.1/24 dev n0",
      "ip link set n0 up",
      "ip link set n1 up",
  };
  for (const char* command : setup) {
    if (ns.Shell(std::string(command) + " >/dev/null 2>&1") != 0) {
      TARROW_SKIP_UNLESS_PRIVILEGED(std::string("cannot set up the namespace: ") + command);
    }
  }
  NamespaceNetwork network(&ns);
  context.network = &network;
  std::unique_ptr<TestConsole> console = LoggedIn(2);
  EXPECT_EQ("OK\n198.51.100.1/255.255.255.0", console->Request("GET_STATIC_IP_LIST", ""));
  const std::string entities = console->Request("GET_NETADAPTOR_ENTITY_LIST", "");
  EXPECT_EQ(0u, entities.find("OK\nn0\nn0\nn0\n")) << entities;
  EXPECT_NE(std::string::npos, entities.find("198.51.100.1")) << entities;
  EXPECT_EQ(std::string::npos, entities.find("n1")) << entities;

  // One address only.
  ASSERT_EQ(0, ns.Shell("ip addr del 203.0.113.1/16 dev n0"));
  EXPECT_EQ("OK\n198.51.100.1/255.255.255.0", console->Request("GET_STATIC_IP_LIST", ""));
  context.network = nullptr;
}

}  // namespace
}  // namespace tarrow_test
