// Event pushes to logged-in consoles, and the chat between them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "admin/AdminTestSupport.h"
#include "framework/EventManager.h"

namespace tarrow_test {
namespace {

using Oxbrindale::Velmora::Framework::EventManager;

using ConsolePush = AdminServerTest;

// A push body: the date and time of sending, LF, the event text.
void ExpectPush(TestConsole& console, const std::string& command, const std::string& text) {
  ConsoleFrame push;
  ASSERT_TRUE(console.WaitPush(command, &push)) << command << " " << text;
  EXPECT_EQ("push", push.kind);
  const size_t lineEnd = push.body.find('\n');
  ASSERT_NE(std::string::npos, lineEnd) << push.body;
  EXPECT_TRUE(IsDateTimeText(push.body.substr(0, lineEnd))) << push.body;
  EXPECT_EQ(text, push.body.substr(lineEnd + 1));
}

TEST_F(ConsolePush, LoggedInConsolesGetEveryEventUntilTheyLeave) {
  std::unique_ptr<TestConsole> unlogged = Connect();
  ASSERT_TRUE(unlogged->WaitReady());
  ASSERT_EQ("OK\n", unlogged->Verify().substr(0, 3));
  std::unique_ptr<TestConsole> admin = LoggedIn(0);
  std::unique_ptr<TestConsole> observer = LoggedIn(2);

  EventManager::Instance()->NotifyResourceTreeChanged();
  EventManager::Instance()->Error("磁盘故障");
  ASSERT_EQ("OK\n", observer->Request("CHAT", "你好\n第二行"));
  for (TestConsole* console : {admin.get(), observer.get()}) {
    ExpectPush(*console, "NOTIFY", "RES_TREE_CHANGED");
    ExpectPush(*console, "ERROR", "磁盘故障");
    ExpectPush(*console, "CHAT", "你好\n第二行");  // the sender's own chat too
  }
  ASSERT_EQ("OK\n", admin->Request("CHAT", ""));
  ExpectPush(*admin, "CHAT", "");

  observer.reset();
  ASSERT_TRUE(Eventually([this] { return manager->GetSessionCount() == 2; }));
  EventManager::Instance()->NotifyHeartBeatLinkChanged(7);
  ExpectPush(*admin, "NOTIFY", "HB_CHANGED\t7");
  // Nothing ever reached the console that did not log in.
  EXPECT_TRUE(unlogged->NoPush("", 200));
  EXPECT_EQ("ERROR\n不具备操作权限!", unlogged->Request("CHAT", "x"));
}

TEST_F(ConsolePush, ChatIsLimitedPerSession) {
  context.settings.chatWindowMs = 600000;  // the whole test lies in one window
  std::unique_ptr<TestConsole> chatty = LoggedIn(2);
  std::unique_ptr<TestConsole> other = LoggedIn(1);
  for (int i = 0; i < 10; ++i) ASSERT_EQ("OK\n", chatty->Request("CHAT", "m" + std::to_string(i)));
  EXPECT_EQ("ERROR\n聊天消息发送过于频繁，请稍后再试！", chatty->Request("CHAT", "m10"));
  // Another session has its own allowance.
  EXPECT_EQ("OK\n", other->Request("CHAT", "o"));
  for (int i = 0; i < 10; ++i) ExpectPush(*chatty, "CHAT", "m" + std::to_string(i));
  ExpectPush(*chatty, "CHAT", "o");
  EXPECT_TRUE(chatty->NoPush("CHAT", 200));  // the refused chat was not pushed
  // A new window allows chat again.
  context.settings.chatWindowMs = 1;
  EXPECT_TRUE(Eventually([&] { return chatty->Request("CHAT", "later") == "OK\n"; }));
}

}  // namespace
}  // namespace tarrow_test
