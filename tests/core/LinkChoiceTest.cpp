#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "core/CoreFixture.h"
#include "core/CoreTestSupport.h"
#include "core/IHeartBeatLink.h"

namespace {

using core_test::CoreFixture;
using core_test::Node;
using core_test::NodeSettings;
using Oxbrindale::Velmora::Core::IHeartBeatLink;

// A link whose thread never runs: the test sets its status and failures.
class PlacedLink : public IHeartBeatLink {
 public:
  using IHeartBeatLink::IHeartBeatLink;
  ~PlacedLink() override { StopThread(); }
  void EstablishAConnection() override {}
  void Place(uint16_t status, uint16_t failures) {
    ChangeStatus(status);
    _SetFailureCount(failures);
  }
};

struct Placed {
  uint16_t status;
  uint16_t failures;
  int order;
};

class LinkChoice : public CoreFixture {
 protected:
  std::shared_ptr<PlacedLink> Add(Node& node, int id, const Placed& placed) {
    auto link = std::make_shared<PlacedLink>(node.Record(id, 0, "127.0.0.1", "a", "b", placed.order));
    link->Place(placed.status, placed.failures);
    node.manager->AdoptLink(link);
    return link;
  }
};

TEST_F(LinkChoice, BestConnectedLink) {
  const struct {
    const char* name;
    std::vector<Placed> links;
    int chosen;  // index, -1: none
  } rows[] = {
      {"no link", {}, -1},
      {"only connected links count", {{1, 0, 9}, {0, 0, 9}, {4, 0, 9}, {65535, 0, 9}}, -1},
      {"higher order wins, behind", {{2, 0, 5}, {2, 0, 7}}, 1},
      {"higher order wins, in front", {{2, 0, 7}, {2, 0, 5}}, 0},
      {"equal order: first in the list", {{2, 0, 3}, {2, 0, 3}}, 0},
      {"fewer failures beat a higher order", {{2, 1, 9}, {2, 0, 1}}, 1},
      {"failures compare signed: 65535 is -1", {{2, 0, 9}, {2, 65535, 1}}, 1},
      {"orders compare signed", {{2, 0, -5}, {2, 0, 3}}, 1},
      {"connecting link with fewer failures is skipped", {{1, 0, 9}, {2, 2, 1}}, 1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Node node(NodeSettings{});
    std::vector<std::shared_ptr<PlacedLink>> links;
    int id = 1;
    for (const Placed& placed : row.links) links.push_back(Add(node, id++, placed));
    std::shared_ptr<IHeartBeatLink> chosen = node.manager->GetOneAvalableHBL();
    if (row.chosen < 0)
      EXPECT_EQ(nullptr, chosen);
    else
      EXPECT_EQ(links[row.chosen], chosen);
  }
}

TEST_F(LinkChoice, WaitWithoutLinkLastsItsTimeAfterAnEarlierLinkUp) {
  Node node(NodeSettings{});
  auto link = Add(node, 1, {2, 0, 0});
  node.manager->NotifyOneHeartBeatLinkEstablised();  // posts the link-alive semaphore
  link->Place(1, 0);
  node.manager->NotifyOneHeartBeatDisconnected();

  const long long start = core_test::NowMs();
  EXPECT_FALSE(node.manager->WaitHeartBeatAlive(300));
  EXPECT_GE(core_test::NowMs() - start, 300);
}

TEST_F(LinkChoice, WaitEndsWhenALinkComesUp) {
  Node node(NodeSettings{});
  auto link = Add(node, 1, {1, 0, 0});
  std::thread up([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    link->Place(2, 0);
    node.manager->NotifyOneHeartBeatLinkEstablised();
  });
  EXPECT_TRUE(node.manager->WaitHeartBeatAlive(60000));
  up.join();
}

// A link that comes up just as a wait begins ends that wait: its notice is
// never taken for a stale one. The link comes up at moments spread around
// the wait's first look, which the many links behind it make long.
TEST_F(LinkChoice, ALinkUpAsTheWaitBeginsEndsIt) {
  Node node(NodeSettings{});
  auto link = Add(node, 1, {1, 0, 0});
  std::vector<std::shared_ptr<PlacedLink>> others;
  for (int id = 2; id <= 3000; ++id) others.push_back(Add(node, id, {1, 0, 0}));
  const unsigned int waitMs = 3000;
  const int rounds = 3000;
  std::atomic<int> go{0};
  std::atomic<int> up{0};
  std::atomic<bool> stop{false};
  std::thread bringer([&] {
    for (int round = 1; round <= rounds; ++round) {
      while (go.load() != round) {
        if (stop.load()) return;
      }
      for (volatile int spin = round * 7 % 20000; spin > 0; spin = spin - 1) {
      }
      link->Place(2, 0);
      node.manager->NotifyOneHeartBeatLinkEstablised();
      up = round;
    }
  });
  int missed = 0;
  for (int round = 1; round <= rounds && missed == 0; ++round) {
    go = round;
    const long long start = core_test::NowMs();
    const bool alive = node.manager->WaitHeartBeatAlive(waitMs);
    const long long spent = core_test::NowMs() - start;
    while (up.load() != round) {
    }
    if (!alive || spent >= waitMs) missed = round;
    link->Place(1, 0);
    node.manager->NotifyOneHeartBeatDisconnected();
  }
  stop = true;
  bringer.join();
  EXPECT_EQ(0, missed) << "the wait of that round missed the link-up";
}

TEST_F(LinkChoice, NoticesToTheMachine) {
  Node node(NodeSettings{});
  auto first = Add(node, 1, {2, 0, 0});
  auto second = Add(node, 2, {2, 0, 0});
  node.manager->NotifyOneHeartBeatLinkEstablised();
  node.manager->NotifyOneHeartBeatLinkEstablised();
  // Every link-up makes both the peer's shutdown and offline notices stale.
  EXPECT_EQ(2, node.machine.shutdownResets.load());
  EXPECT_EQ(2, node.machine.offlineResets.load());

  first->Place(1, 0);
  node.manager->NotifyOneHeartBeatDisconnected();
  EXPECT_EQ(0, node.machine.failureChecks.load()) << "one link is still up";

  second->Place(1, 0);
  node.manager->NotifyOneHeartBeatDisconnected();
  node.manager->NotifyOneHeartBeatDisconnected();
  EXPECT_EQ(1, node.machine.failureChecks.load()) << "one check for the loss of the last link";

  second->Place(2, 0);
  node.manager->NotifyOneHeartBeatLinkEstablised();
  second->Place(1, 0);
  node.manager->NotifyOneHeartBeatDisconnected();
  EXPECT_EQ(2, node.machine.failureChecks.load());
}

TEST_F(LinkChoice, SettingsAsTheLinksReadThem) {
  const struct {
    uint16_t role;
    bool host;
  } rows[] = {{0, false}, {1, true}, {2, false}, {65535, false}};
  for (const auto& row : rows) {
    NodeSettings settings;
    settings.hostRole = row.role;
    settings.port = 0x1ABCD;
    Node node(settings);
    EXPECT_EQ(row.host, node.manager->IsHost()) << row.role;
    EXPECT_EQ(0xABCD, node.manager->HeartBeatPort());
  }
}

TEST_F(LinkChoice, UnknownLinkTypeIsSkipped) {
  Node node(NodeSettings{});
  node.manager->AddHeartBeat(node.Record(1, 3, "x", "a", "b"));
  EXPECT_TRUE(node.manager->GetHeartBeatLink().empty());
}

}  // namespace
