// The command dispatcher: levels, unknown words, refusals and failures of
// handlers, each answered with exactly one "RET" carrying the request's id.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "admin/AdminTestSupport.h"
#include "admin/TreeConsoleSupport.h"
#include "config/HeartBeatGlobalConfig.h"

namespace tarrow_test {
namespace {

// The machine has no trees and no usable link to the peer.
class ConsoleDispatch : public AdminServerTest {
 protected:
  ConsoleDispatch() {
    peer.link = false;
    context.trees = &trees;
    context.peer = &peer;
  }

  FakeTreeMachine trees;
  FakePeer peer;
};

const char* const kNoRight = "ERROR\n不具备操作权限!";

TEST_F(ConsoleDispatch, LevelsAgainstRows) {
  const std::string status = "OK\n运行中\n1\n2\n4\n1700000000\n1690000000";
  struct Row {
    std::string command;
    std::string body;
    int need;  // -2: no level check
    std::string allowed;
  };
  const Row rows[] = {
      {"CHAT", "hello", 2, "OK\n"},
      {"GET_RUNNING_STATUS", "", 2, status},
      {"TAKE_OVER", "{guid}", 1, "ERROR\n无法查找到要操作的资源树！"},
      {"IS_BACKUP_CFG_EXIST", "x", 0, "OK\n0"},
      {"LIST_BACKUP_CFG", "", 0, "OK\n"},
      {"IS_DRBD_READY_AND_GET_DISK_LIST", "", -2, "ERROR\nNot Support"},
      {"GET_USED_DRBD_NUMBER", "", -2, "ERROR\nNot Support"},
      {"PRE_CHECK_DRBD_PACKET", "x", -2, "ERROR\nNot Support"},
      {"DO_CREATE_DRBD_PACKET", "x", -2, "ERROR\nNot Support"},
      {"DELETE_DRBD_PACKET", "x", -2, "ERROR\nNot Support"},
      {"PRE_DELETE_DRBD_PACKET_CHECK", "x", -2, "ERROR\nNot Support"},
      {"GET_DRBD_PACKET_LIST", "", -2, "ERROR\nNot Support"},
      {"GET_DRBD_RT_DATA", "0", -2, "ERROR\nNot Support"},
  };
  std::unique_ptr<TestConsole> unlogged = Connect();
  ASSERT_TRUE(unlogged->WaitReady());
  ASSERT_EQ("OK\n", unlogged->Verify().substr(0, 3));
  std::unique_ptr<TestConsole> consoles[] = {LoggedIn(0), LoggedIn(1), LoggedIn(2)};
  for (const Row& row : rows) {
    for (int level = -1; level <= 2; ++level) {
      SCOPED_TRACE(row.command + " at level " + std::to_string(level));
      TestConsole& console = level == -1 ? *unlogged : *consoles[level];
      const bool granted = row.need == -2 || (level >= 0 && level <= row.need);
      EXPECT_EQ(granted ? row.allowed : kNoRight, console.Request(row.command, row.body));
    }
  }
}

TEST_F(ConsoleDispatch, EveryRequestGetsOneReplyWithItsId) {
  std::unique_ptr<TestConsole> console = LoggedIn(0);
  struct Case {
    std::string command;
    std::string reply;
  };
  const Case cases[] = {
      {"login", "ERROR\n未知的操作元语"},
      {"", "ERROR\n未知的操作元语"},
      {"GET_RUNNING_STATUS ", "ERROR\n未知的操作元语"},
      {"CHAT", "OK\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    const std::string id = "{0A1B2C3D-" + c.command + "}";
    console->SendRaw(TestConsole::Frame("request", c.command, id, "body"));
    std::string reply;
    ASSERT_TRUE(console->WaitReply(id, &reply));
    EXPECT_EQ(c.reply, reply);
  }
}

TEST_F(ConsoleDispatch, FailuresOfHandlersAreAnsweredOnce) {
  std::unique_ptr<TestConsole> console = LoggedIn(2);
  struct Case {
    FakeFault statusFault;
    bool busFull;
    std::string command;
    std::string reply;
  };
  const Case cases[] = {
      {FakeFault::EXCEPTION, false, "GET_RUNNING_STATUS", "ERROR\n状态读取失败"},
      {FakeFault::BAD_ALLOC, false, "GET_RUNNING_STATUS", "ERROR\n处理请求时发生内部错误！"},
      {FakeFault::NONE, true, "CHAT", std::string("ERROR\n") + FakeEvents::FULL_MESSAGE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    machine.statusFault = c.statusFault;
    events.full = c.busFull;
    const std::string id = console->Send(c.command, "x");
    std::string reply;
    ASSERT_TRUE(console->WaitReply(id, &reply));
    EXPECT_EQ(c.reply, reply);
    machine.statusFault = FakeFault::NONE;
    events.full = false;
    // The session goes on; the failed request got no second reply.
    EXPECT_EQ("OK\n", console->Request("CHAT", "after"));
    EXPECT_FALSE(console->WaitReply(id, nullptr, 50));
  }
  // A chat the bus refused was not pushed.
  std::vector<ConsoleFrame> pushes;
  ASSERT_TRUE(Eventually([&] {
    for (const ConsoleFrame& push : console->TakePushes()) pushes.push_back(push);
    return pushes.size() >= 3;
  }));
  for (const ConsoleFrame& push : pushes) EXPECT_NE(std::string::npos, push.body.find("\nafter")) << push.body;
}

TEST_F(ConsoleDispatch, WaitingHandlerHoldsUpOnlyItsOwnConsole) {
  std::unique_ptr<TestConsole> waiting = LoggedIn(2);
  std::unique_ptr<TestConsole> other = LoggedIn(2);
  machine.CloseGate();
  const std::string id = waiting->Send("GET_RUNNING_STATUS", "");
  ASSERT_TRUE(Eventually([this] { return machine.waitingAtGate.load() == 1; }));
  // Other consoles are served, pushed to and accepted meanwhile.
  EXPECT_EQ("OK\n", other->Request("CHAT", "while waiting"));
  ConsoleFrame push;
  EXPECT_TRUE(other->WaitPush("CHAT", &push));
  EXPECT_TRUE(LoggedIn(0, "127.0.0.2") != nullptr);
  EXPECT_EQ(1, machine.waitingAtGate.load());
  EXPECT_FALSE(waiting->WaitReply(id, nullptr, 0));
  machine.OpenGate();
  std::string reply;
  ASSERT_TRUE(waiting->WaitReply(id, &reply));
  EXPECT_EQ("OK\n运行中", reply.substr(0, 12));
  EXPECT_TRUE(waiting->WaitPush("CHAT", &push));  // queued for it meanwhile
}

TEST_F(ConsoleDispatch, EndingMachineRefusesEverything) {
  std::unique_ptr<TestConsole> console = LoggedIn(0);
  machine.endRequested = true;
  const std::string refusal = "ERROR\n正在关闭系统，无法执行请求！ SYSTEM IS SHUTING DOWN";
  for (const char* command : {"DoVerifyVersion", "Login", "CHAT", "GET_DRBD_RT_DATA", "nothing"}) {
    SCOPED_TRACE(command);
    EXPECT_EQ(refusal, console->Request(command, "3.5"));
  }
}

TEST_F(ConsoleDispatch, InitTheHostSideSavesTheFlagAndTellsTheHeartbeat) {
  std::unique_ptr<TestConsole> console = LoggedIn(0);
  EXPECT_EQ("OK\n", console->Request("INIT_THE_HOST_SIDE", "ignored"));
  EXPECT_EQ(1, heartBeat.portModified.load());
  EXPECT_EQ("15538\n3\n2000\n4000\n1\n请设置参考IP \n80", dir.Read("configs/hb.cfg"));
  EXPECT_EQ(kNoRight, LoggedIn(1)->Request("INIT_THE_HOST_SIDE", ""));
  EXPECT_EQ(1, heartBeat.portModified.load());
}

TEST_F(ConsoleDispatch, FailedSaveIsAnError) {
  std::unique_ptr<TestConsole> console = LoggedIn(0);
  ASSERT_EQ(0u, store->GetHeartBeatGlobalConfig()->GetHostRole());
  // configs/ replaced by a plain file: nothing can be saved there.
  ASSERT_EQ(0, ::system(("rm -rf '" + dir.File("configs") + "'").c_str()));
  dir.Write("configs", "not a folder");
  const std::string reply = console->Request("INIT_THE_HOST_SIDE", "");
  EXPECT_EQ("ERROR\n", reply.substr(0, 6));
  EXPECT_GT(reply.size(), 6u);
  EXPECT_EQ(0, heartBeat.portModified.load());
  EXPECT_EQ(0u, store->GetHeartBeatGlobalConfig()->GetHostRole());
  EXPECT_EQ("ERROR\n", console->Request("BACKUP_CFG", "b1").substr(0, 6));
}

}  // namespace
}  // namespace tarrow_test
