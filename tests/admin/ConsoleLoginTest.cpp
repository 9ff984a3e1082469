// Version check and challenge-response login of a console session.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "admin/AdminTestSupport.h"
#include "config/GlobalConfig.h"
#include "framework/MachineController.h"
#include "protocol/IOXConnection.h"

namespace tarrow_test {
namespace {

using Oxbrindale::Velmora::Framework::MachineController;

using ConsoleLogin = AdminServerTest;

TEST_F(ConsoleLogin, VersionCheckAnswersAndSetsTheEncodingFlag) {
  store->GetGC()->SetConsoleText("pair-7");
  struct Case {
    std::string body;
    bool passes;
    int utf8;  // the connection's flag afterwards
  };
  const Case cases[] = {
      {"3.5|utf-8", true, 1}, {"3.5", true, 0}, {"3.5|UTF-8", true, 0},
      {"3.5|utf-8|x", true, 0}, {"3.6|utf-8", false, 1}, {"", false, 1},
  };
  size_t accepted = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE("body \"" + c.body + "\"");
    std::unique_ptr<TestConsole> console = Connect();
    ASSERT_TRUE(console->WaitReady());
    const std::string reply = console->Verify(c.body);
    auto* connection = manager->Accepted(accepted++);
    ASSERT_NE(nullptr, connection);
    EXPECT_EQ(c.utf8, connection->isUTF8.load());
    if (!c.passes) {
      EXPECT_EQ("ERROR\n3.5", reply);
      // The session cannot log in: the digest would need a challenge.
      EXPECT_EQ("ERROR\n客户端未通过版本信息的校验，无法登录!",
                console->LoginWithAnswer("0", TestConsole::Answer(Digest(0), "0")));
      continue;
    }
    const std::string prefix = "OK\n" + MachineController::GetHostName() + "\n2\npair-7\n";
    ASSERT_EQ(prefix, reply.substr(0, prefix.size()));
    const std::string challenge = reply.substr(prefix.size());
    EXPECT_EQ(challenge, console->Challenge());
    ASSERT_FALSE(challenge.empty());
    EXPECT_EQ(std::string::npos, challenge.find_first_not_of("0123456789"));
    EXPECT_NE('0', challenge[0]);
    const unsigned long long value = std::strtoull(challenge.c_str(), nullptr, 10);
    EXPECT_GE(value, 1u);
    EXPECT_LE(value, 2147483647u);
  }
}

TEST_F(ConsoleLogin, LoginAnswers) {
  std::unique_ptr<TestConsole> console = Connect();
  ASSERT_TRUE(console->WaitReady());
  // Before any version check the challenge is "0", and the right digest
  // with it is still refused.
  EXPECT_EQ("ERROR\n客户端未通过版本信息的校验，无法登录!",
            console->LoginWithAnswer("0", TestConsole::Answer(Digest(0), "0")));
  ASSERT_EQ("OK\n", console->Verify().substr(0, 3));
  const std::string first = console->Challenge();
  struct Case {
    std::string body;
    std::string reply;
  };
  const Case cases[] = {
      {"0\n" + TestConsole::Answer(Digest(1), first), "ERROR\n登录密码错误！"},
      {"0\n" + TestConsole::Answer(Digest(0), first) + "\n", "ERROR\n不具备操作权限!"},
      {"3\n" + TestConsole::Answer(Digest(0), first), "ERROR\n所指名要申请的权限错误！"},
      {"0", "ERROR\n不具备操作权限!"},
      {"1\n" + TestConsole::Answer(Digest(1), first), "OK\n1\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    EXPECT_EQ(c.reply, console->Request("Login", c.body));
  }
  // A new version check draws a new challenge; the old one no longer works.
  ASSERT_EQ("OK\n", console->Verify("3.5").substr(0, 3));
  EXPECT_EQ("ERROR\n登录密码错误！", console->LoginWithAnswer("0", TestConsole::Answer(Digest(0), first)));
  EXPECT_EQ("OK\n0\n", console->Login("0", Digest(0)));
}

TEST_F(ConsoleLogin, FailureKeepsTheLevelAndLoginChangesIt) {
  std::unique_ptr<TestConsole> console = LoggedIn(0);
  EXPECT_EQ("ERROR\n登录密码错误！", console->Login("0", Digest(2)));
  EXPECT_EQ("OK\n0", console->Request("IS_BACKUP_CFG_EXIST", "x"));  // still administrator
  EXPECT_EQ("OK\n2\n", console->Login("2", Digest(2)));
  EXPECT_EQ("ERROR\n不具备操作权限!", console->Request("IS_BACKUP_CFG_EXIST", "x"));
  EXPECT_EQ("OK\n0\n", console->Login("0", Digest(0)));
  EXPECT_EQ("OK\n0", console->Request("IS_BACKUP_CFG_EXIST", "x"));
}

TEST_F(ConsoleLogin, SessionsVerifyingInOneMillisecondGetDistinctChallenges) {
  env.FixWallClock(1700000000, 123000000);
  std::unique_ptr<TestConsole> one = Connect();
  std::unique_ptr<TestConsole> two = Connect();
  ASSERT_TRUE(one->WaitReady());
  ASSERT_TRUE(two->WaitReady());
  ASSERT_EQ("OK\n", one->Verify().substr(0, 3));
  ASSERT_EQ("OK\n", two->Verify().substr(0, 3));
  EXPECT_NE(one->Challenge(), two->Challenge());
  // Each answers only its own challenge.
  EXPECT_EQ("ERROR\n登录密码错误！", one->LoginWithAnswer("0", TestConsole::Answer(Digest(0), two->Challenge())));
  EXPECT_EQ("OK\n0\n", two->Login("0", Digest(0)));
}

}  // namespace
}  // namespace tarrow_test
