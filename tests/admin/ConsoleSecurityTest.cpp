// Limits of the console server: connection caps, login time-out, requests
// before login, slowed and budgeted password guesses, default passwords.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "admin/AdminTestSupport.h"
#include "config/GlobalConfig.h"

namespace tarrow_test {
namespace {

using Oxbrindale::Velmora::Config::GlobalConfig;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

using ConsoleSecurity = AdminServerTest;

std::vector<std::unique_ptr<TestConsole>> ReadyConsoles(AdminServerTest* test, const std::string& source, int count,
                                                        unsigned short port) {
  std::vector<std::unique_ptr<TestConsole>> consoles;
  for (int i = 0; i < count; ++i) {
    consoles.emplace_back(new TestConsole(port, source));
    EXPECT_TRUE(consoles.back()->WaitReady()) << source << " #" << i;
  }
  (void)test;
  return consoles;
}

TEST_F(ConsoleSecurity, SeventeenthConnectionOfAnAddressIsClosed) {
  std::vector<std::unique_ptr<TestConsole>> first = ReadyConsoles(this, "127.0.0.3", 16, port);
  TestConsole extra(port, "127.0.0.3");
  EXPECT_TRUE(extra.WaitClosed());
  EXPECT_FALSE(extra.WaitReady(0));
  // Other addresses and the sessions already there are not affected.
  EXPECT_TRUE(LoggedIn(0, "127.0.0.4") != nullptr);
  EXPECT_EQ("OK\n", first.front()->Verify().substr(0, 3));
  // A place freed is a place again.
  first.pop_back();
  EXPECT_TRUE(Eventually([&] {
    TestConsole again(port, "127.0.0.3");
    return again.WaitReady(2000);
  }));
}

TEST_F(ConsoleSecurity, SixtyFifthConnectionIsClosedWhenAllHaveLoggedIn) {
  std::vector<std::unique_ptr<TestConsole>> consoles;
  for (int i = 0; i < 64; ++i) consoles.push_back(LoggedIn(i % 3, "127.0.0." + std::to_string(10 + i / 16)));
  ASSERT_TRUE(Eventually([this] { return manager->GetSessionCount() == 64; }));
  TestConsole extra(port, "127.0.0.20");
  EXPECT_TRUE(extra.WaitClosed());
  EXPECT_FALSE(extra.WaitReady(0));
  EXPECT_EQ(64, manager->GetSessionCount());
  for (auto& console : consoles) EXPECT_EQ("OK\n", console->Request("GET_RUNNING_STATUS", "").substr(0, 3));
}

// A full server makes room for a newcomer by closing the oldest console that
// has not logged in, never one that has; the limit per address still holds.
TEST_F(ConsoleSecurity, FullServerClosesTheOldestConsoleNotLoggedIn) {
  std::vector<std::unique_ptr<TestConsole>> members;
  for (int i = 0; i < 2; ++i) members.push_back(LoggedIn(2, "127.0.0.10"));
  std::vector<std::unique_ptr<TestConsole>> silent = ReadyConsoles(this, "127.0.0.10", 14, port);
  for (int group = 1; group < 4; ++group) {
    for (auto& console : ReadyConsoles(this, "127.0.0." + std::to_string(10 + group), 16, port)) {
      silent.push_back(std::move(console));
    }
  }
  ASSERT_TRUE(Eventually([this] { return manager->GetSessionCount() == 64; }));

  // The seventeenth of an address is refused and takes no one's place.
  TestConsole seventeenth(port, "127.0.0.11");
  EXPECT_TRUE(seventeenth.WaitClosed());
  EXPECT_FALSE(seventeenth.WaitReady(0));

  // Newcomers from elsewhere close the silent ones in the order they came.
  for (size_t n = 0; n < 3; ++n) {
    SCOPED_TRACE(n);
    std::unique_ptr<TestConsole> newcomer = Connect("127.0.0.20");
    ASSERT_TRUE(newcomer->LogIn(0, Digest(0)));
    EXPECT_TRUE(silent[n]->WaitClosed());
    members.push_back(std::move(newcomer));
  }
  EXPECT_FALSE(silent[3]->IsClosed());
  EXPECT_EQ("OK\n", silent[3]->Verify().substr(0, 3));
  for (auto& member : members) EXPECT_EQ("OK\n", member->Request("GET_RUNNING_STATUS", "").substr(0, 3));
  EXPECT_TRUE(Eventually([this] { return manager->GetSessionCount() == 64; }));
}

TEST_F(ConsoleSecurity, SessionNotLoggedInInTimeIsClosed) {
  std::unique_ptr<TestConsole> member = LoggedIn(2);
  context.settings.loginTimeoutMs = 300;
  std::unique_ptr<TestConsole> idle = Connect();
  ASSERT_TRUE(idle->WaitReady());
  ASSERT_EQ("OK\n", idle->Verify().substr(0, 3));
  EXPECT_TRUE(idle->WaitClosed());
  EXPECT_FALSE(member->IsClosed());
  EXPECT_EQ("OK\n", member->Request("CHAT", "still here"));
}

TEST_F(ConsoleSecurity, SixtyFifthRequestBeforeLoginCloses) {
  std::unique_ptr<TestConsole> console = Connect();
  ASSERT_TRUE(console->WaitReady());
  for (int i = 0; i < 64; ++i) ASSERT_EQ("ERROR\n3.5", console->Request("DoVerifyVersion", "9")) << i;
  const std::string id = console->Send("DoVerifyVersion", "3.5");
  EXPECT_TRUE(console->WaitClosed());
  EXPECT_FALSE(console->WaitReply(id, nullptr, 0));
  // Logged-in sessions have no such limit.
  std::unique_ptr<TestConsole> member = LoggedIn(2);
  for (int i = 0; i < 70; ++i) ASSERT_EQ("OK\n", member->Request("GET_RUNNING_STATUS", "").substr(0, 3)) << i;
}

TEST_F(ConsoleSecurity, WrongPasswordsAreSlowedAndTheFifthCloses) {
  context.settings.loginDelayStepMs = 100;
  context.settings.loginDelayMaxMs = 5000;
  std::unique_ptr<TestConsole> console = Connect();
  ASSERT_TRUE(console->WaitReady());
  ASSERT_EQ("OK\n", console->Verify().substr(0, 3));
  for (int failure = 1; failure <= 4; ++failure) {
    const auto sent = steady_clock::now();
    ASSERT_EQ("ERROR\n登录密码错误！", console->Login("0", Digest(1))) << failure;
    EXPECT_GE(steady_clock::now() - sent, milliseconds(100 * failure - 5)) << failure;
  }
  EXPECT_EQ("ERROR\n登录密码错误！", console->Login("0", Digest(1)));
  EXPECT_TRUE(console->WaitClosed());
}

TEST_F(ConsoleSecurity, GuessingAddressIsLockedOutForAWindow) {
  context.settings.addressFailures = 6;
  // Four failures in one session, two in the next: the sixth locks .3 out.
  std::unique_ptr<TestConsole> first = Connect("127.0.0.3");
  ASSERT_TRUE(first->WaitReady());
  ASSERT_EQ("OK\n", first->Verify().substr(0, 3));
  for (int i = 0; i < 4; ++i) ASSERT_EQ("ERROR\n登录密码错误！", first->Login("2", "guess"));
  std::unique_ptr<TestConsole> second = Connect("127.0.0.3");
  ASSERT_TRUE(second->WaitReady());
  ASSERT_EQ("OK\n", second->Verify().substr(0, 3));
  ASSERT_TRUE(alarms.Raised().empty());
  for (int i = 0; i < 2; ++i) ASSERT_EQ("ERROR\n登录密码错误！", second->Login("2", "guess"));

  const std::vector<std::pair<int, std::string>> raised = alarms.Raised();
  ASSERT_EQ(1u, raised.size());
  EXPECT_EQ(11, raised[0].first);
  EXPECT_NE(std::string::npos, raised[0].second.find("127.0.0.3")) << raised[0].second;
  EXPECT_NE(std::string::npos, dir.Read("log/trace.log").find(raised[0].second));

  // The right password no longer helps from there...
  EXPECT_EQ("ERROR\n登录密码错误！", second->Login("0", Digest(0)));
  std::unique_ptr<TestConsole> third = Connect("127.0.0.3");
  ASSERT_TRUE(third->WaitReady());
  ASSERT_EQ("OK\n", third->Verify().substr(0, 3));
  EXPECT_EQ("ERROR\n登录密码错误！", third->Login("0", Digest(0)));
  // ...while another address logs in as usual.
  EXPECT_TRUE(LoggedIn(0, "127.0.0.2") != nullptr);
  EXPECT_EQ(1u, alarms.Raised().size());

  // Once the window is over the address may log in again.
  context.settings.addressWindowMs = 1;
  std::unique_ptr<TestConsole> later = Connect("127.0.0.3");
  EXPECT_TRUE(later->LogIn(0, Digest(0)));
}

class ConsoleDefaultPassword : public AdminServerTest {
 protected:
  ConsoleDefaultPassword() { startInSetUp = false; }
};

TEST_F(ConsoleDefaultPassword, StartWithABuiltInDigestRaisesAnAlarm) {
  store->GetGC()->SetDigest(1, GlobalConfig::DEFAULT_DIGEST);
  StartServer();
  const std::vector<std::pair<int, std::string>> raised = alarms.Raised();
  ASSERT_EQ(1u, raised.size());
  EXPECT_EQ(11, raised[0].first);
  EXPECT_EQ("管理终端密码仍为默认值，请尽快修改！", raised[0].second);
  EXPECT_NE(std::string::npos, dir.Read("log/trace.log").find("管理终端密码仍为默认值，请尽快修改！"));

  // Changed passwords: no alarm.
  StopServer();
  store->GetGC()->SetDigest(1, Digest(1));
  StartServer();
  EXPECT_EQ(1u, alarms.Raised().size());
}

}  // namespace
}  // namespace tarrow_test
