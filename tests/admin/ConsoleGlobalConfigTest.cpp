// The global settings: read with the digests at level 0, saved with plain
// passwords, checked limits, and a console port that moves the listener.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <memory>
#include <string>
#include <vector>

#include "admin/AdminTestSupport.h"
#include "admin/IAdminConsoleListener.h"
#include "config/GlobalConfig.h"
#include "framework/FileManager.h"
#include "framework/MD5.h"
#include "support/LoopbackPorts.h"

namespace tarrow_test {
namespace {

using Oxbrindale::Velmora::Config::FileManager;
using Oxbrindale::Velmora::Config::GlobalConfig;
using Oxbrindale::Velmora::Framework::MD5;

struct Settings {
  unsigned port;
  unsigned delay = 10000;
  unsigned wait = 15000;
  unsigned action = 0;
  std::string passwords[3];
};

// A SAVE_GLOBAL_CONFIG body: the eleven lines, passwords in plain text.
std::string Body(const Settings& s) {
  return std::to_string(s.port) + "\n80\n" + s.passwords[0] + "\n" + s.passwords[1] + "\n" + s.passwords[2] +
         "\ntrue\n" + std::to_string(s.delay) + "\n" + std::to_string(s.wait) + "\n" + std::to_string(s.action) +
         "\n\n";
}

// A listening socket on 127.0.0.1: port, or 0 when none could be had.
int Occupy(unsigned short* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 4) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return fd;
}

// Takes every port it is moved to.
class RecordingListener : public Oxbrindale::Velmora::Core::IAdminConsoleListener {
 public:
  bool IsListening() override { return true; }
  bool ResetListenPort(unsigned short port) override {
    ports.push_back(port);
    return true;
  }
  std::vector<unsigned short> ports;
};

using ConsoleGlobalConfig = AdminServerTest;

TEST_F(ConsoleGlobalConfig, ReadByAdministratorWithDigests) {
  std::unique_ptr<TestConsole> admin = LoggedIn(0);
  std::unique_ptr<TestConsole> operatorConsole = LoggedIn(1);
  EXPECT_EQ("OK\n" + store->GetGC()->ToString(), admin->Request("GET_GLOBAL_CONFIG", ""));
  EXPECT_NE(std::string::npos, admin->Request("GET_GLOBAL_CONFIG", "").find(Digest(2)));
  EXPECT_EQ("ERROR\n不具备操作权限!", operatorConsole->Request("GET_GLOBAL_CONFIG", ""));
  EXPECT_EQ("ERROR\n不具备操作权限!", operatorConsole->Request("SAVE_GLOBAL_CONFIG", Body(Settings{port})));
}

TEST_F(ConsoleGlobalConfig, LimitsAreCheckedBeforeAnythingChanges) {
  std::unique_ptr<TestConsole> console = LoggedIn(0);
  struct Case {
    Settings settings;
    std::string error;  // empty: accepted
  };
  Case cases[] = {
      {Settings{port, 4999}, "启动延迟时间不得小于5S"},
      {Settings{port, 5000}, ""},
      {Settings{port, 5000, 9999}, "接管等待延迟不得小于10S"},
      {Settings{port, 5000, 10000}, ""},
      {Settings{port, 6000, 10000, 3}, "停止资源失败的处理措施设置数据不正确!"},
      {Settings{port, 6000, 10000, 2}, ""},
      {Settings{20, 7000, 11000, 1}, "配置终端连入端口不能小于20！"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Body(c.settings));
    const std::string before = store->GetGC()->ToString();
    const std::string reply = console->Request("SAVE_GLOBAL_CONFIG", Body(c.settings));
    if (c.error.empty()) {
      EXPECT_EQ("OK\n", reply);
      EXPECT_EQ(c.settings.delay, store->GetGC()->GetStartDelay());
      EXPECT_EQ(c.settings.wait, store->GetGC()->GetTakeoverWait());
      EXPECT_EQ(c.settings.action, store->GetGC()->GetStopFailAction());
      EXPECT_EQ(store->GetGC()->ToString(), FileManager::LoadFile(dir.Path() + "configs/global_config.cfg"));
    } else {
      EXPECT_EQ("ERROR\n" + c.error, reply);
      EXPECT_EQ(before, store->GetGC()->ToString());
    }
  }
  // Port 21 passes the limit; the listener (a recording one here) is moved.
  RecordingListener listener;
  context.consoleListener = &listener;
  EXPECT_EQ("OK\n", console->Request("SAVE_GLOBAL_CONFIG", Body(Settings{21, 7000, 11000, 1})));
  EXPECT_EQ(21u, store->GetGC()->GetConsolePort());
  EXPECT_EQ(std::vector<unsigned short>({21}), listener.ports);
  // The same port again leaves the listener alone.
  EXPECT_EQ("OK\n", console->Request("SAVE_GLOBAL_CONFIG", Body(Settings{21, 7000, 11000, 1})));
  EXPECT_EQ(std::vector<unsigned short>({21}), listener.ports);
  context.consoleListener = manager.get();
}

TEST_F(ConsoleGlobalConfig, PasswordLinesBecomeDigestsAndLogIn) {
  std::unique_ptr<TestConsole> console = LoggedIn(0);
  Settings settings{port};
  ASSERT_EQ("OK\n", console->Request("SAVE_GLOBAL_CONFIG", Body(settings)));
  for (int level = 0; level < 3; ++level) EXPECT_EQ(Digest(level), store->GetGC()->GetDigest(level));

  settings.passwords[1] = "新的 口令";
  ASSERT_EQ("OK\n", console->Request("SAVE_GLOBAL_CONFIG", Body(settings)));
  const std::string digest = MD5("新的 口令").toString();
  EXPECT_EQ(Digest(0), store->GetGC()->GetDigest(0));
  EXPECT_EQ(digest, store->GetGC()->GetDigest(1));
  EXPECT_EQ(Digest(2), store->GetGC()->GetDigest(2));
  EXPECT_NE(std::string::npos, FileManager::LoadFile(dir.Path() + "configs/global_config.cfg").find(digest));

  std::unique_ptr<TestConsole> next = Connect();
  EXPECT_TRUE(next->LogIn(1, digest));
  std::unique_ptr<TestConsole> old = Connect();
  EXPECT_FALSE(old->LogIn(1, Digest(1)));
}

// A number that does not fit its field is refused, not wrapped into a value
// that passes the limits (65557 would be port 21, 4294972296 a start delay
// of 5000 ms).
TEST_F(ConsoleGlobalConfig, NumbersThatWouldWrapAreRefused) {
  std::unique_ptr<TestConsole> console = LoggedIn(0);
  RecordingListener listener;
  context.consoleListener = &listener;
  struct Case {
    std::string body;
    std::string error;
  };
  const Case cases[] = {
      {"65557\n80\n\n\n\ntrue\n6000\n12000\n1\n\n", "第1行的数值“65557”超出范围（0～65535）！"},
      {std::to_string(port) + "\n80\n\n\n\ntrue\n4294972296\n12000\n1\n\n",
       "第7行的数值“4294972296”超出范围（0～4294967295）！"},
      {std::to_string(port) + "\n80\n\n\n\ntrue\n6000\n12000\n65538\n\n", "第9行的数值“65538”超出范围（0～65535）！"},
      {std::to_string(port) + "\n80\n\n\n\ntrue\n6 s\n12000\n1\n\n", "第7行的数值“6 s”不是十进制整数！"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    const std::string before = store->GetGC()->ToString();
    EXPECT_EQ("ERROR\n" + c.error, console->Request("SAVE_GLOBAL_CONFIG", c.body));
    EXPECT_EQ(before, store->GetGC()->ToString());
  }
  EXPECT_TRUE(listener.ports.empty());
  context.consoleListener = manager.get();
}

TEST_F(ConsoleGlobalConfig, BodiesOfTheWrongLengthChangeNothing) {
  std::unique_ptr<TestConsole> console = LoggedIn(0);
  Settings settings{port, 6000, 12000, 1};
  settings.passwords[0] = "x";
  const std::string eleven = Body(settings);
  // The first n lines of the body.
  auto first = [&eleven](int n) {
    size_t end = 0;
    for (int i = 0; i < n; ++i) end = eleven.find('\n', end) + 1;
    return eleven.substr(0, end - 1);
  };
  struct Case {
    std::string what;
    std::string body;
    bool accepted;
  };
  const Case cases[] = {
      {"8 lines", first(8), false},
      {"9 lines", first(9), true},
      {"10 lines", first(10), true},
      {"11 lines", eleven, true},
      {"12 lines", eleven + "\nextra", false},
      {"empty", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    store->GetGC()->SetDigest(0, Digest(0));
    store->GetGC()->SetStartDelay(10000);
    const std::string before = store->GetGC()->ToString();
    const std::string reply = console->Request("SAVE_GLOBAL_CONFIG", c.body);
    if (c.accepted) {
      EXPECT_EQ("OK\n", reply);
      EXPECT_EQ(6000u, store->GetGC()->GetStartDelay());
      EXPECT_EQ(MD5("x").toString(), store->GetGC()->GetDigest(0));
    } else {
      EXPECT_EQ("ERROR\n输入数据不合法！", reply);
      EXPECT_EQ(before, store->GetGC()->ToString());
    }
  }
}

TEST_F(ConsoleGlobalConfig, NewPortMovesTheListener) {
  std::unique_ptr<TestConsole> console = LoggedIn(0);
  const unsigned short freePort = UnusedLoopbackPort();
  ASSERT_EQ("OK\n", console->Request("SAVE_GLOBAL_CONFIG", Body(Settings{freePort})));
  EXPECT_EQ(freePort, store->GetGC()->GetConsolePort());
  EXPECT_EQ("OK\n", console->Request("CHAT", "still here"));  // this console stays
  TestConsole moved(freePort);
  EXPECT_TRUE(moved.WaitReady());
  EXPECT_TRUE(moved.LogIn(2, Digest(2)));

  // A busy port: saved, refused by the listener, which stays where it is.
  unsigned short busyPort = 0;
  const int busy = Occupy(&busyPort);
  ASSERT_GE(busy, 0);
  EXPECT_EQ(
      "ERROR\n所设置的配置端连入端口无法启动侦听，请立刻更改一个可以侦听的端口，否则可能导致以后无法登录！",
      console->Request("SAVE_GLOBAL_CONFIG", Body(Settings{busyPort})));
  EXPECT_EQ(busyPort, store->GetGC()->GetConsolePort());
  EXPECT_NE(std::string::npos, FileManager::LoadFile(dir.Path() + "configs/global_config.cfg")
                                   .find(std::to_string(busyPort) + "\n80\n"));
  TestConsole stillThere(freePort);
  EXPECT_TRUE(stillThere.WaitReady());
  EXPECT_TRUE(stillThere.LogIn(0, Digest(0)));
  close(busy);
}

}  // namespace
}  // namespace tarrow_test
