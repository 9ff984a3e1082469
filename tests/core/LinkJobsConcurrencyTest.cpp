#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/CoreFixture.h"
#include "core/CoreTestSupport.h"
#include "core/IHeartBeatLink.h"
#include "core/TcpHeartBeatLink.h"
#include "framework/Exception.h"
#include "framework/IOXThreadPoolExec.h"
#include "framework/MutexGuard.h"
#include "protocol/IOXConnection.h"
#include "protocol/OXPack.h"
#include "support/LoopbackPorts.h"

namespace {

using core_test::CoreFixture;
using core_test::Eventually;
using core_test::Node;
using core_test::NodeSettings;
using Oxbrindale::Velmora::Config::HeartBeatLinkConfig;
using Oxbrindale::Velmora::Core::IHeartBeatLink;
using Oxbrindale::Velmora::Core::TcpHeartBeatLink;
using Oxbrindale::Velmora::Framework::IOXThreadPoolExec;
using Oxbrindale::Velmora::Framework::MutexGuard;
using Oxbrindale::Velmora::OXProctol::IOXConnection;
using Oxbrindale::Velmora::OXProctol::OXPack;

// Fails the test and ends the program when body does not finish in time,
// instead of letting a hang stop the whole run.
void WithinOrDie(const char* what, const std::function<void()>& body, int seconds = 120) {
  std::packaged_task<void()> task(body);
  std::future<void> done = task.get_future();
  std::thread runner(std::move(task));
  if (done.wait_for(std::chrono::seconds(seconds)) != std::future_status::ready) {
    ADD_FAILURE() << what << " hangs";
    std::fprintf(stderr, "%s hangs: giving up\n", what);
    std::fflush(nullptr);
    std::_Exit(1);
  }
  runner.join();
}

int BusyCount(IOXConnection* connection) {
  MutexGuard guard(connection->busyLock);
  return connection->busyCount;
}

// A TCP link whose receive thread stalls on its way into the link for the
// request "SLOW_ONE", as a receive thread that is preempted after it read the
// link from the connection and before it entered it. The stall ends when
// the link is gone or after 3 s.
class StallingLink : public TcpHeartBeatLink {
 public:
  struct Gate {
    std::atomic<bool> entered{false};
    std::atomic<bool> gone{false};  // set once the link's memory is freed
  };
  StallingLink(HeartBeatLinkConfig* record, std::shared_ptr<Gate> gate)
      : TcpHeartBeatLink(record), gate_(std::move(gate)) {}
  ~StallingLink() override { StopThread(); }

  void OnReceivedRequestPack(IOXConnection* connection, OXPack* pack) override {
    if (pack->command == "SLOW_ONE") {
      std::shared_ptr<Gate> gate = gate_;
      gate->entered.store(true);
      for (int i = 0; i < 300 && !gate->gone.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    TcpHeartBeatLink::OnReceivedRequestPack(connection, pack);
  }

 private:
  std::shared_ptr<Gate> gate_;
};

class LinkJobsConcurrency : public CoreFixture {
 protected:
  void Pair(int id) {
    MakeHost();
    hostLink = host->AddLink(id, 0, "127.0.0.1", "a", "b");
    ConnectOther(id);
  }
  void MakeHost() {
    NodeSettings hostSettings;
    hostSettings.hostRole = 1;
    hostSettings.beatTimeout = 5000;
    host.reset(new Node(hostSettings));
  }
  // The other node links to the host's listener with link id.
  void ConnectOther(int id) {
    const unsigned short port = host->Listen();
    ASSERT_NE(0, port);
    NodeSettings otherSettings;
    otherSettings.port = port;
    otherSettings.beatTimeout = 5000;
    other.reset(new Node(otherSettings));
    otherLink = other->AddLink(id, 0, "127.0.0.1", "a", "b");
    ASSERT_TRUE(Eventually([&] { return hostLink->GetStatus() == 2 && otherLink->GetStatus() == 2; }));
  }
  // A request from the host that the other node's link turns into a job.
  void SendRequest(const std::string& command) {
    IOXConnection* connection = hostLink->PinConnection();
    ASSERT_NE(nullptr, connection);
    try {
      connection->SendPack(new OXPack("request", command, ""));
    } catch (Exception* e) {
      ADD_FAILURE() << e->message;
      delete e;
    }
    IHeartBeatLink::Unpin(connection);
  }

  std::unique_ptr<Node> host;
  std::unique_ptr<Node> other;
  std::shared_ptr<IHeartBeatLink> hostLink;
  std::shared_ptr<IHeartBeatLink> otherLink;
};

TEST_F(LinkJobsConcurrency, SlowJobOutlivesReconnectRemovalAndDeletionOfItsLink) {
  std::mutex mutex;
  std::deque<IOXThreadPoolExec*> held;
  ASSERT_NO_FATAL_FAILURE(Pair(501));
  other->manager->SetJobInvoker([&](IOXThreadPoolExec* job) {
    std::lock_guard<std::mutex> lock(mutex);
    held.push_back(job);
  });
  // Answered whatever the link's status when the job runs.
  SendRequest("HA_WHO_ARE_YOU");
  ASSERT_TRUE(Eventually([&] {
    std::lock_guard<std::mutex> lock(mutex);
    return !held.empty();
  }));

  // The link reconnects: its thread now deletes the old connection, which
  // waits for the job.
  otherLink->OnHeartBeatLinkModified();
  ASSERT_TRUE(Eventually([&] {
    IOXConnection* current = otherLink->PinConnection();
    if (current != nullptr) IHeartBeatLink::Unpin(current);
    return current == nullptr;  // taken out for deletion
  }));
  // Not needed for the outcome: gives the deletion time to reach the job's
  // count before the job answers.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::weak_ptr<IHeartBeatLink> watched = otherLink;
  std::thread remover([&] {
    std::shared_ptr<IHeartBeatLink> removed = other->manager->RemoveHeartBeatLinkById(501);
    EXPECT_NE(nullptr, removed);
    removed->RequestExit();
  });
  remover.join();
  otherLink.reset();

  // The job runs late and answers; then the last owner lets the link go.
  WithinOrDie("the late job and the deletion of its link", [&] {
    IOXThreadPoolExec* job;
    {
      std::lock_guard<std::mutex> lock(mutex);
      job = held.front();
      held.pop_front();
    }
    job->Run();
    delete job;
  });
  EXPECT_TRUE(watched.expired());
  EXPECT_TRUE(other->manager->GetHeartBeatLink().empty());
}

TEST_F(LinkJobsConcurrency, RefusedJobLeavesNoCount) {
  ASSERT_NO_FATAL_FAILURE(Pair(502));
  std::atomic<int> refused{0};
  other->manager->SetJobInvoker([&](IOXThreadPoolExec*) {
    ++refused;
    throw new Exception("BLOCK_QUEUE", "Wait for Semaphore Timeout。");
  });
  SendRequest("ANY_WORK");
  ASSERT_TRUE(Eventually([&] { return refused.load() == 1; }));
  IOXConnection* connection = otherLink->PinConnection();
  ASSERT_NE(nullptr, connection);
  EXPECT_TRUE(Eventually([&] { return BusyCount(connection) == 1; })) << "only this test's own pin";
  IHeartBeatLink::Unpin(connection);

  // The connection can still be replaced.
  other->manager->SetJobInvoker(nullptr);
  WithinOrDie("a reconnect after a refused job", [&] {
    otherLink->OnHeartBeatLinkModified();
    EXPECT_TRUE(Eventually([&] { return otherLink->GetStatus() != 2; }));
    EXPECT_TRUE(Eventually([&] { return otherLink->GetStatus() == 2 && hostLink->GetStatus() == 2; }));
  });
}

TEST_F(LinkJobsConcurrency, BeatsDoNotWaitForABusyPool) {
  ASSERT_NO_FATAL_FAILURE(Pair(503));
  std::mutex mutex;
  std::vector<IOXThreadPoolExec*> held;
  other->manager->SetJobInvoker([&](IOXThreadPoolExec* job) {
    std::lock_guard<std::mutex> lock(mutex);
    held.push_back(job);  // every worker busy: nothing runs
  });
  IOXConnection* connection = hostLink->PinConnection();
  ASSERT_NE(nullptr, connection);
  std::string* answer = nullptr;
  try {
    answer = connection->Request("HA_HEART_BEAT", "ASK", 30000);
  } catch (Exception* e) {
    ADD_FAILURE() << e->code << " " << e->message;
    delete e;
  }
  IHeartBeatLink::Unpin(connection);
  ASSERT_NE(nullptr, answer);
  EXPECT_EQ("RESPONSE_V0.1 Alpha", *answer);
  delete answer;
  other->manager->SetJobInvoker(nullptr);
  std::lock_guard<std::mutex> lock(mutex);
  for (IOXThreadPoolExec* job : held) delete job;
}

TEST_F(LinkJobsConcurrency, ConsoleEditsWhileLinksRun) {
  NodeSettings settings;
  settings.hostRole = 1;
  Node node(settings);
  node.Listen();
  std::vector<Oxbrindale::Velmora::Config::HeartBeatLinkConfig*> records;
  for (int id = 0; id < 16; ++id) records.push_back(node.Record(600 + id, 0, "127.0.0.1", "a", "b"));
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    while (!stop.load()) {
      for (auto& link : node.manager->GetHeartBeatLink()) link->GetStatus();
      node.manager->GetOneAvalableHBL();
      node.manager->FindHBLinkById(603);
    }
  });
  std::vector<std::thread> editors;
  for (int t = 0; t < 4; ++t) {
    editors.emplace_back([&, t] {
      for (int round = 0; round < 3; ++round) {
        for (int i = t; i < 16; i += 4) node.manager->AddHeartBeat(records[i]);
        node.manager->OnHBListenPortModified();
        for (int i = t; i < 16; i += 4) {
          std::shared_ptr<IHeartBeatLink> link = node.manager->RemoveHeartBeatLinkById(600 + i);
          ASSERT_NE(nullptr, link);
          link->RequestExit();
        }
      }
    });
  }
  for (auto& editor : editors) editor.join();
  stop.store(true);
  reader.join();
  EXPECT_TRUE(node.manager->GetHeartBeatLink().empty());
}

TEST_F(LinkJobsConcurrency, RemovedHostLinkWaitsForACallBackOnItsWayIn) {
  auto gate = std::make_shared<StallingLink::Gate>();
  MakeHost();
  hostLink.reset(new StallingLink(host->Record(504, 0, "127.0.0.1", "a", "b"), gate), [gate](IHeartBeatLink* link) {
    delete link;
    gate->gone.store(true);
  });
  host->manager->AdoptLink(hostLink);
  hostLink->Start();
  ASSERT_NO_FATAL_FAILURE(ConnectOther(504));

  // The peer's request stalls the host's receive thread on its way in.
  IOXConnection* connection = otherLink->PinConnection();
  ASSERT_NE(nullptr, connection);
  try {
    connection->SendPack(new OXPack("request", "SLOW_ONE", ""));
  } catch (Exception* e) {
    ADD_FAILURE() << e->message;
    delete e;
  }
  IHeartBeatLink::Unpin(connection);
  ASSERT_TRUE(Eventually([&] { return gate->entered.load(); }));

  // The console takes the link out and lets it go meanwhile.
  WithinOrDie("the removal of the link", [&] {
    std::shared_ptr<IHeartBeatLink> removed = host->manager->RemoveHeartBeatLinkById(504);
    ASSERT_NE(nullptr, removed);
    removed->StopThread();
    removed.reset();
    hostLink.reset();
  });
  EXPECT_TRUE(Eventually([&] { return gate->gone.load(); }));
}

}  // namespace
