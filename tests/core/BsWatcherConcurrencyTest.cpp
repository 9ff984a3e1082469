// Recoveries started from several threads at once: each keeps its own mirror
// and side, and one device runs one recovery.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/BsWatcherRig.h"
#include "core/PeerProtocol.h"
#include "support/Thrown.h"

namespace core_test {
namespace {

using Oxbrindale::Velmora::Core::DrbdBSWatcher;
using Oxbrindale::Velmora::Core::PeerProtocol;
typedef std::vector<std::string> Lines;

// Runs each call on a thread of its own, all let go at once.
void AtOnce(const std::vector<std::function<void()>>& calls) {
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (const auto& call : calls) {
    threads.emplace_back([&go, call] {
      while (!go.load()) std::this_thread::yield();
      call();
    });
  }
  go.store(true);
  for (std::thread& thread : threads) thread.join();
}

Lines Sorted(Lines lines) {
  std::sort(lines.begin(), lines.end());
  return lines;
}

TEST(BsWatcherConcurrency, OrdersOfManyMirrorsKeepTheirNameAndSide) {
  BsRig rig;
  const int kMirrors = 8;
  for (int i = 0; i < kMirrors; ++i) rig.AddMirror("m" + std::to_string(i), i);
  ASSERT_TRUE(rig.Connect());
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    rig.drbd.Clear();
    const size_t before = rig.PeerRequests().size();
    std::vector<std::function<void()>> calls;
    Lines steps;
    Lines asked;
    for (int i = 0; i < kMirrors; ++i) {
      const std::string name = "m" + std::to_string(i);
      const long side = (i + round) % 2 == 0 ? DrbdBSWatcher::SIDE_KEEP : DrbdBSWatcher::SIDE_DROP;
      calls.push_back([&rig, name, side] { rig.watcher->BeginSetResumeBS(name, side); });
      steps.push_back((side == DrbdBSWatcher::SIDE_KEEP ? "save " : "drop ") + name);
      asked.push_back(std::string(PeerProtocol::BS_SET_OPERATION) + ":" + name +
                      (side == DrbdBSWatcher::SIDE_KEEP ? "\n0" : "\n1"));
    }
    AtOnce(calls);
    for (int i = 0; i < kMirrors; ++i) ASSERT_TRUE(rig.Settled(i));

    EXPECT_EQ(Sorted(steps), Sorted(rig.drbd.Steps()));
    const Lines requests = rig.PeerRequests();
    const std::string prefix = std::string(PeerProtocol::BS_SET_OPERATION) + ":";
    Lines operations;
    for (size_t i = before; i < requests.size(); ++i) {
      if (requests[i].compare(0, prefix.size(), prefix) == 0) operations.push_back(requests[i]);
    }
    EXPECT_EQ(Sorted(asked), Sorted(operations));
  }
}

TEST(BsWatcherConcurrency, OneDeviceRunsOneRecovery) {
  BsRig rig;
  rig.AddMirror("r0", 0, 1, 200);
  ASSERT_TRUE(rig.Connect());
  rig.PeerData(100, 0);
  // The first recovery stays busy until every starter has returned.
  rig.Hold(PeerProtocol::BS_CAN_PROCESS, true);
  std::vector<std::function<void()>> calls;
  std::atomic<int> refused{0};
  for (int i = 0; i < 8; ++i) {
    if (i % 2 == 0) {
      calls.push_back([&rig] { rig.watcher->OnBSBeInfected("r0"); });
    } else {
      calls.push_back([&rig, &refused] {
        const std::string thrown =
            tarrow_test::ThrownText([&] { rig.watcher->BeginSetResumeBS("r0", DrbdBSWatcher::SIDE_KEEP); });
        if (thrown == "DRBD: [r0] 的脑裂恢复正在进行中，请等待其结束后再操作。") {
          ++refused;
        } else {
          EXPECT_EQ("", thrown);
        }
      });
    }
  }
  AtOnce(calls);
  // Every order by hand but the one that may have started the recovery.
  EXPECT_LE(3, refused.load());
  ASSERT_TRUE(Eventually([&] { return rig.Answer(PeerProtocol::BS_CAN_PROCESS, "OK\n1"); }));
  ASSERT_TRUE(rig.Settled(0));

  EXPECT_EQ(Lines{"save r0"}, rig.drbd.Steps());
  const Lines requests = rig.PeerRequests();
  EXPECT_EQ(1, std::count(requests.begin(), requests.end(), std::string(PeerProtocol::BS_CAN_PROCESS) + ":r0"));
  EXPECT_EQ(1, rig.node->alarms.Count(14, "检测到镜像包 \"r0\" 发生了脑裂。"));
}

}  // namespace
}  // namespace core_test
