// Slow requests do not starve a node: two real nodes over two TCP links.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/IHeartBeatLink.h"
#include "core/PeerNode.h"
#include "support/LoopbackPorts.h"

namespace core_test {
namespace {

using Oxbrindale::Velmora::Core::HaTimings;
using Oxbrindale::Velmora::Core::HBL_STATU_CONNECTED;
using Oxbrindale::Velmora::Core::IHeartBeatLink;

TEST(PeerRequestConcurrency, SlowHoldQuestionsNeitherStopBeatsNorHoldWorkers) {
  const unsigned short port = tarrow_test::UnusedLoopbackPort();
  const std::vector<LinkSpec> links = {{1, "one a", "one b"}, {2, "two a", "two b"}};
  HaTimings timings = PeerTimings();
  timings.peerWaitCapMs = 1500;
  PeerNode asking(true, port, links, timings);
  PeerNode answering(false, port, links, timings);
  answering.AddTree("{slow}", false, true);  // stays starting
  asking.Start();
  answering.Start();
  ASSERT_TRUE(asking.WaitConnected());
  ASSERT_TRUE(answering.WaitConnected());

  // Watches every link of both nodes while the questions run.
  std::atomic<bool> done{false};
  std::atomic<int> worstFailures{0};
  std::atomic<int> dropped{0};
  std::thread watcher([&] {
    while (!done.load()) {
      for (PeerNode* node : {&asking, &answering}) {
        for (const std::shared_ptr<IHeartBeatLink>& link : node->Manager().GetHeartBeatLink()) {
          if (link->GetFailureCount() > worstFailures.load()) worstFailures.store(link->GetFailureCount());
          if (link->GetStatus() != HBL_STATU_CONNECTED) ++dropped;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });

  // More questions than the pool has workers: the later ones are answered
  // only because the earlier ones let their workers go at the cap.
  const int kQuestions = 20;
  std::vector<int> results(kQuestions, -1);
  std::vector<int> holds(kQuestions, -1);
  std::vector<std::thread> askers;
  for (int i = 0; i < kQuestions; ++i) {
    askers.emplace_back([&, i] {
      bool hold = true;
      results[i] = asking.Manager().GetResourceTreeIsHold("{slow}", hold);
      holds[i] = hold ? 1 : 0;
    });
  }
  for (std::thread& asker : askers) asker.join();
  done.store(true);
  watcher.join();

  for (int i = 0; i < kQuestions; ++i) {
    EXPECT_EQ(results[i], 0) << "question " << i << " got no answer within the requester's 10 s";
    EXPECT_EQ(holds[i], 0) << "question " << i;
  }
  EXPECT_EQ(worstFailures.load(), 0) << "a beat failed";
  EXPECT_EQ(dropped.load(), 0) << "a link left the connected status";
  EXPECT_EQ(asking.machine.failureChecks.load(), 0);
  EXPECT_EQ(answering.machine.failureChecks.load(), 0);
}

}  // namespace
}  // namespace core_test
