// What the server makes of odd frames: short, split, oversized, pipelined.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "admin/AdminTestSupport.h"

namespace tarrow_test {
namespace {

using ConsoleFrames = AdminServerTest;

TEST_F(ConsoleFrames, ShortAndSplitFrames) {
  std::unique_ptr<TestConsole> console = LoggedIn(2);
  // Four fields: dropped, the connection goes on.
  console->SendRaw(std::string("request\nCHAT\n{short}\n2026-1-1 00:00:00", 38) + std::string(1, '\0'));
  EXPECT_EQ("OK\n", console->Request("CHAT", "next"));
  EXPECT_FALSE(console->WaitReply("{short}", nullptr, 50));
  // A frame in three pieces is one request.
  const std::string frame = TestConsole::Frame("request", "CHAT", "{split}", "in pieces");
  console->SendRaw(frame.substr(0, 5));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // separate segments, not a wait for the server
  console->SendRaw(frame.substr(5, 12));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  console->SendRaw(frame.substr(17));
  std::string reply;
  ASSERT_TRUE(console->WaitReply("{split}", &reply));
  EXPECT_EQ("OK\n", reply);
}

TEST_F(ConsoleFrames, OversizedFrameDropsOnlyItsConnection) {
  std::unique_ptr<TestConsole> other = LoggedIn(2);
  std::unique_ptr<TestConsole> console = LoggedIn(2);
  // The longest frame the server takes: 16367 bytes before the NUL.
  const std::string head = TestConsole::Frame("request", "CHAT", "{big}", "");
  const std::string largest = TestConsole::Frame("request", "CHAT", "{big}", std::string(16367 - (head.size() - 1), 'x'));
  ASSERT_EQ(16368u, largest.size());
  console->SendRaw(largest);
  std::string reply;
  ASSERT_TRUE(console->WaitReply("{big}", &reply));
  EXPECT_EQ("OK\n", reply);

  console->SendRaw(std::string(16368, 'y'));
  EXPECT_TRUE(console->WaitClosed());
  EXPECT_TRUE(Eventually([this] { return manager->GetSessionCount() == 1; }));
  EXPECT_EQ("OK\n", other->Request("CHAT", "still here"));
}

TEST_F(ConsoleFrames, PipelinedRequestsAreAnsweredInTurn) {
  std::unique_ptr<TestConsole> console = LoggedIn(0);
  std::vector<std::string> ids;
  std::string frames;
  for (int i = 0; i < 100; ++i) {
    ids.push_back(console->NewPackId());
    frames += TestConsole::Frame("request", i % 2 == 0 ? "GET_RUNNING_STATUS" : "IS_BACKUP_CFG_EXIST", ids.back(),
                                 "n" + std::to_string(i));
  }
  console->SendRaw(frames);
  for (size_t i = 0; i < ids.size(); ++i) {
    std::string reply;
    ASSERT_TRUE(console->WaitReply(ids[i], &reply)) << i;
    EXPECT_EQ(i % 2 == 0 ? "OK\n运行中" : "OK\n0", reply.substr(0, i % 2 == 0 ? 12 : 4)) << i;
  }
  std::vector<std::string> order = console->ReplyOrder();
  ASSERT_GE(order.size(), ids.size());
  EXPECT_EQ(ids, std::vector<std::string>(order.end() - ids.size(), order.end()));
}

}  // namespace
}  // namespace tarrow_test
