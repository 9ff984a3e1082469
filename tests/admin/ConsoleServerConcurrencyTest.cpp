// Consoles come, log in, chat and leave while events flow to them.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "admin/AdminTestSupport.h"
#include "framework/EventManager.h"
#include "protocol/OXTcpListener.h"

namespace tarrow_test {
namespace {

using Oxbrindale::Velmora::Framework::EventManager;

using ConsoleServerConcurrency = AdminServerTest;

TEST_F(ConsoleServerConcurrency, ConsolesComeAndGoWhileEventsFlow) {
  context.settings.chatWindowMs = 1;
  std::atomic<bool> stop{false};
  std::thread poster([&] {
    int n = 0;
    while (!stop.load()) {
      EventManager::Instance()->NotifyNoWait(-1, "NOTIFY", "RES_TREE_CHANGED " + std::to_string(n++));
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  std::unique_ptr<TestConsole> watcher = LoggedIn(2, "127.0.0.2");
  std::vector<std::thread> consoles;
  std::atomic<int> chats{0};
  for (int c = 0; c < 6; ++c) {
    consoles.emplace_back([&, c] {
      for (int round = 0; round < 3; ++round) {
        TestConsole console(port, "127.0.0." + std::to_string(3 + c));
        if (!console.LogIn(c % 3, Digest(c % 3))) {
          ADD_FAILURE() << "console " << c << " round " << round;
          return;
        }
        for (int i = 0; i < 3; ++i) {
          if (console.Request("CHAT", "c" + std::to_string(c)) == "OK\n") ++chats;
        }
        if (round == 1) console.StopReading();  // leaves with unread pushes
      }
    });
  }
  for (std::thread& t : consoles) t.join();
  stop = true;
  poster.join();
  EXPECT_EQ(6 * 3 * 3, chats.load());
  EXPECT_TRUE(Eventually([this] { return manager->GetSessionCount() == 1; }));
  // The watcher kept receiving through it all.
  EXPECT_EQ("OK\n", watcher->Request("CHAT", "done"));
  ConsoleFrame push;
  bool sawDone = false;
  while (!sawDone && watcher->WaitPush("CHAT", &push)) sawDone = push.body.find("\ndone") != std::string::npos;
  EXPECT_TRUE(sawDone);
}

// Four rounds of as many consoles as the server takes (16 from each of four
// addresses), each round closing all of them at once: every console of every
// round is greeted, and the places of those that left are free again within
// a few seconds, not once earlier departures were cleaned up one by one.
TEST_F(ConsoleServerConcurrency, ConsolesThatLeftFreeTheirPlacesForTheNextRound) {
  for (int round = 0; round < 4; ++round) {
    std::vector<std::unique_ptr<TestConsole>> consoles;
    for (int i = 0; i < 64; ++i) consoles.emplace_back(new TestConsole(port, "127.0.1." + std::to_string(1 + i / 16)));
    int greeted = 0;
    for (auto& console : consoles) greeted += console->WaitReady() ? 1 : 0;
    EXPECT_EQ(64, greeted) << "round " << round;
    consoles.clear();
    ASSERT_TRUE(Eventually(
        [this] { return manager->GetSessionCount() == 0 && manager->GetListener()->GetConnectionCount() == 0; }, 5000))
        << "round " << round << ": " << manager->GetSessionCount() << " sessions, "
        << manager->GetListener()->GetConnectionCount() << " connections";
  }
}

}  // namespace
}  // namespace tarrow_test
