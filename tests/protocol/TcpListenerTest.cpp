#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ConnectionTestSupport.h"
#include "RawFrameClient.h"
#include "TcpPeerProcess.h"
#include "framework/EventClient.h"
#include "framework/EventManager.h"
#include "framework/Exception.h"
#include "framework/OXServerSocket.h"
#include "framework/Semaphore.h"
#include "protocol/IOnConnectionDisconnected.h"
#include "protocol/IOnConnectionEstablished.h"
#include "protocol/IOXConnection.h"
#include "protocol/IPushPackProcessor.h"
#include "protocol/IRequestPackProcessor.h"
#include "protocol/OXPack.h"
#include "protocol/OXTcpListener.h"
#include "protocol/TcpOXConnection.h"
#include "support/LoopbackPorts.h"
#include "support/ThreadSnapshot.h"

using Oxbrindale::Velmora::Framework::EventClient;
using Oxbrindale::Velmora::Framework::EventManager;
using Oxbrindale::Velmora::Framework::OXServerSocket;
using Oxbrindale::Velmora::Framework::Semaphore;
using Oxbrindale::Velmora::OXProctol::IOnConnectionDisconnected;
using Oxbrindale::Velmora::OXProctol::IOnConnectionEstablished;
using Oxbrindale::Velmora::OXProctol::IOXConnection;
using Oxbrindale::Velmora::OXProctol::IPushPackProcessor;
using Oxbrindale::Velmora::OXProctol::IRequestPackProcessor;
using Oxbrindale::Velmora::OXProctol::OXPack;
using Oxbrindale::Velmora::OXProctol::OXTcpListener;
using Oxbrindale::Velmora::OXProctol::TcpOXConnection;
using tarrow_test::Eventually;
using tarrow_test::FailureCode;
using tarrow_test::ListeningServerSocket;
using tarrow_test::MsSince;
using tarrow_test::RawFrameClient;
using tarrow_test::TcpPeerProcess;
using tarrow_test::UnusedLoopbackPort;

namespace {

using Clock = tarrow_test::SteadyClock;

// The owner of a listener: answers "ECHO" requests, records pushes, counts
// connections and their losses.
class Owner : public IPushPackProcessor,
              public IRequestPackProcessor,
              public IOnConnectionEstablished,
              public IOnConnectionDisconnected {
 public:
  void OnReceivedRequestPack(IOXConnection* connection, OXPack* pack) override {
    if (pack->command == "ECHO") connection->SendResponsePack("RET", pack->body, pack->packId);
  }
  void OnReceivedPushPack(IOXConnection*, OXPack* pack) override {
    std::lock_guard<std::mutex> guard(_lock);
    pushes.push_back(pack->command);
  }
  void OnConnectionEstablished(IOXConnection* connection) override {
    {
      std::lock_guard<std::mutex> guard(_lock);
      addresses.push_back(connection->GetRemoteAddr());
    }
    if (establishedDelayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(establishedDelayMs));
    lastEstablishedEnd.store(Clock::now().time_since_epoch().count());
    established.fetch_add(1);
  }
  void OnConnectionDisconnected(IOXConnection*) override {
    if (listener != nullptr) countAtNotice.store(listener->GetConnectionCount());
    disconnects.fetch_add(1);
    std::unique_lock<std::mutex> guard(_lock);
    _released.wait(guard, [this] { return !_holding; });
  }
  // While held, loss notices wait in the owner (still busy with them).
  void HoldNotices() {
    std::lock_guard<std::mutex> guard(_lock);
    _holding = true;
  }
  void ReleaseNotices() {
    std::lock_guard<std::mutex> guard(_lock);
    _holding = false;
    _released.notify_all();
  }

  std::vector<std::string> Pushes() {
    std::lock_guard<std::mutex> guard(_lock);
    return pushes;
  }
  std::vector<std::string> Addresses() {
    std::lock_guard<std::mutex> guard(_lock);
    return addresses;
  }

  OXTcpListener* listener = nullptr;
  int establishedDelayMs = 0;
  std::atomic<int> established{0};
  std::atomic<int> disconnects{0};
  std::atomic<int> countAtNotice{-1};
  std::atomic<long long> lastEstablishedEnd{0};

 private:
  std::mutex _lock;
  std::condition_variable _released;
  bool _holding = false;
  std::vector<std::string> pushes;
  std::vector<std::string> addresses;
};

// Collects the "SOCKET" events of the bus.
class SocketEvents : public EventClient {
 public:
  SocketEvents() { EventManager::Instance()->Subscript(this); }
  ~SocketEvents() override { EventManager::Instance()->DeSubscript(this); }
  void _Notify(int, std::string source, std::string text) override {
    if (source != "SOCKET") return;
    std::lock_guard<std::mutex> guard(_lock);
    _texts.push_back(text);
  }
  bool Has(const std::string& text) {
    std::lock_guard<std::mutex> guard(_lock);
    for (const std::string& seen : _texts) {
      if (seen == text) return true;
    }
    return false;
  }
  int Count(const std::string& text) {
    std::lock_guard<std::mutex> guard(_lock);
    int count = 0;
    for (const std::string& seen : _texts) count += seen == text ? 1 : 0;
    return count;
  }

 private:
  std::mutex _lock;
  std::vector<std::string> _texts;
};

// Holds the event bus full for its scope: its subscriber blocks in the first
// event it gets, and the queue behind it is filled to the last slot, so that
// every further post waits for the bus's time-out. Nothing else may post
// while it is being filled.
class FullEventBus : public EventClient {
 public:
  FullEventBus() {
    EventManager* bus = EventManager::Instance();
    bus->Subscript(this);
    bus->Notify(-1, "MSG", "full-bus-blocker");
    if (!_entered.TimedWait(30000)) ADD_FAILURE() << "the event thread never delivered";
    try {
      for (int i = 0; i < EventManager::EVENT_QUEUE_CAPACITY - 1; ++i) bus->Notify(-1, "MSG", "full-bus-filler");
    } catch (Exception* e) {
      ADD_FAILURE() << "somebody else posted meanwhile: " << e->message;
      delete e;
    }
  }
  ~FullEventBus() override {
    Release();
    EventManager::Instance()->DeSubscript(this);
  }
  void _Notify(int, std::string, std::string text) override {
    if (text != "full-bus-blocker") return;
    _entered.Post();
    _release.Wait();
  }
  void Release() {
    if (!_released.exchange(true)) _release.Post();
  }

 private:
  Semaphore _entered;
  Semaphore _release;
  std::atomic<bool> _released{false};
};

int OpenDescriptors() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.' ? 1 : 0;
  closedir(dir);
  return count;
}

// A listener of owner, listening on a free port.
std::unique_ptr<OXTcpListener> StartedListener(Owner& owner) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    std::unique_ptr<OXTcpListener> listener(new OXTcpListener(UnusedLoopbackPort(), &owner, &owner));
    listener->SetOnConnectionEstablished(&owner);
    listener->SetOnConnectionDisconnected(&owner);
    owner.listener = listener.get();
    if (listener->StartListen() == 0 && listener->IsListening()) return listener;
  }
  ADD_FAILURE() << "no free port";
  return nullptr;
}

bool Greeted(RawFrameClient& client) {
  std::unique_ptr<OXPack> greeting = client.NextPack();
  return greeting != nullptr && greeting->kind == "push" && greeting->command == "SERVICE_READY" &&
         greeting->body.empty();
}

bool Echoes(RawFrameClient& client, const std::string& body) {
  const std::string id = client.SendRequest("ECHO", body);
  std::unique_ptr<OXPack> answer = client.NextPack();
  return answer != nullptr && answer->kind == "response" && answer->packId == id && answer->body == body;
}

TEST(TcpListenerConcurrency, GreetsEveryClientAfterTheEstablishedCallBack) {
  Owner owner;
  owner.establishedDelayMs = 300;
  std::unique_ptr<OXTcpListener> listener = StartedListener(owner);
  ASSERT_NE(listener, nullptr);
  for (int i = 0; i < 2; ++i) {
    RawFrameClient client(listener->GetPort());
    std::unique_ptr<OXPack> greeting = client.NextPack();
    const long long arrived = Clock::now().time_since_epoch().count();
    ASSERT_NE(greeting, nullptr);
    EXPECT_EQ(greeting->kind, "push");
    EXPECT_EQ(greeting->command, "SERVICE_READY");
    EXPECT_EQ(greeting->body, "");
    EXPECT_EQ(greeting->packId.size(), 38u);
    EXPECT_EQ(owner.established.load(), i + 1);
    EXPECT_LE(owner.lastEstablishedEnd.load(), arrived);

    // A "SERVICE_READY" push from a client is consumed on the accepting side too.
    client.SendText("push\nSERVICE_READY\n{00000000-0000-0000-0000-000000000002}\n2024-1-1 08:00:00\n");
    client.SendText("push\nNOTE\n{00000000-0000-0000-0000-000000000003}\n2024-1-1 08:00:00\nbody");
    EXPECT_TRUE(Echoes(client, "ok"));
  }
  EXPECT_EQ(owner.Pushes(), (std::vector<std::string>{"NOTE", "NOTE"}));
  EXPECT_EQ(owner.Addresses(), (std::vector<std::string>{"127.0.0.1", "127.0.0.1"}));
}

TEST(TcpListenerConcurrency, KilledClientProcessGivesOneNoticeAndLeavesTheList) {
  Owner owner;
  std::unique_ptr<OXTcpListener> listener = StartedListener(owner);
  ASSERT_NE(listener, nullptr);
  std::unique_ptr<TcpPeerProcess> client(TcpPeerProcess::StartClient(listener->GetPort()));
  ASSERT_NE(client, nullptr);  // connected and greeted
  EXPECT_EQ(listener->GetConnectionCount(), 1);

  client->Kill();
  ASSERT_TRUE(Eventually([&] { return owner.disconnects.load() > 0; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(owner.disconnects.load(), 1);
  EXPECT_EQ(owner.countAtNotice.load(), 0);  // left the list before the owner was told
  EXPECT_EQ(listener->GetConnectionCount(), 0);
}

TEST(TcpListenerConcurrency, CapRefusesConnectionsBeyondTheLimitByClosing) {
  Owner owner;
  std::unique_ptr<OXTcpListener> listener = StartedListener(owner);
  ASSERT_NE(listener, nullptr);
  EXPECT_EQ(listener->GetMaxConnections(), OXTcpListener::DEFAULT_MAX_CONNECTIONS);
  listener->SetMaxConnections(2);

  std::unique_ptr<RawFrameClient> first(new RawFrameClient(listener->GetPort()));
  RawFrameClient second(listener->GetPort());
  EXPECT_TRUE(Greeted(*first));
  EXPECT_TRUE(Greeted(second));
  RawFrameClient third(listener->GetPort());
  EXPECT_EQ(FailureCode([&] { third.NextText(); }), "SOCKET_CHANNEL_DISCONNECTED");
  EXPECT_EQ(owner.established.load(), 2);

  // A place freed is a place offered again.
  first.reset();
  ASSERT_TRUE(Eventually([&] { return listener->GetConnectionCount() == 1; }));
  RawFrameClient fourth(listener->GetPort());
  EXPECT_TRUE(Greeted(fourth));
  EXPECT_TRUE(Echoes(second, "second still works"));
  EXPECT_EQ(listener->GetConnectionCount(), 2);
}

// A lost connection leaves the count at once, also while the one lost before
// it cannot be deleted yet (its owner is still busy with its loss).
TEST(TcpListenerConcurrency, LostConnectionLeavesTheCountBeforeEarlierOnesAreDeleted) {
  Owner owner;
  std::unique_ptr<OXTcpListener> listener = StartedListener(owner);
  ASSERT_NE(listener, nullptr);
  std::unique_ptr<RawFrameClient> first(new RawFrameClient(listener->GetPort()));
  std::unique_ptr<RawFrameClient> second(new RawFrameClient(listener->GetPort()));
  ASSERT_TRUE(Greeted(*first));
  ASSERT_TRUE(Greeted(*second));

  owner.HoldNotices();
  first.reset();
  EXPECT_TRUE(Eventually([&] { return owner.disconnects.load() == 1; }, 10));
  second.reset();
  EXPECT_TRUE(Eventually([&] { return listener->GetConnectionCount() == 0; }, 10));
  owner.ReleaseNotices();
  EXPECT_TRUE(Eventually([&] { return owner.disconnects.load() == 2; }));
}

TEST(TcpListenerConcurrency, BusyPortKeepsTheThreadRetryingUntilItIsFree) {
  SocketEvents events;
  std::unique_ptr<OXServerSocket> blocker = ListeningServerSocket();
  ASSERT_NE(blocker, nullptr);
  const unsigned short port = blocker->GetPort();

  Owner owner;
  OXTcpListener listener(port, &owner, &owner);
  EXPECT_EQ(listener.StartListen(), 0);  // the thread runs
  EXPECT_FALSE(listener.IsListening());  // but the bind failed
  const std::string reason = "OXTcpListener Exceptions:尝试绑定端口:" + std::to_string(port) +
                             " 失败，请修改TCP/IP侦听端口配置，WSAErrorCode=98";
  EXPECT_TRUE(Eventually([&] { return events.Has(reason); }, 10));

  blocker.reset();
  ASSERT_TRUE(Eventually([&] { return listener.IsListening(); }, 10));
  RawFrameClient client(port);
  EXPECT_TRUE(Greeted(client));
}

TEST(TcpListenerConcurrency, ResetListenPortMovesOnlyNewClients) {
  Owner owner;
  std::unique_ptr<OXTcpListener> listener = StartedListener(owner);
  ASSERT_NE(listener, nullptr);
  const unsigned short oldPort = listener->GetPort();
  RawFrameClient early(oldPort);
  ASSERT_TRUE(Greeted(early));

  EXPECT_TRUE(listener->ResetListenPort(oldPort));

  std::unique_ptr<OXServerSocket> busy = ListeningServerSocket();
  ASSERT_NE(busy, nullptr);
  EXPECT_FALSE(listener->ResetListenPort(busy->GetPort()));
  EXPECT_EQ(listener->GetPort(), oldPort);
  {
    RawFrameClient stillOld(oldPort);
    EXPECT_TRUE(Greeted(stillOld));
  }

  unsigned short newPort = 0;
  for (int attempt = 0; attempt < 50 && newPort == 0; ++attempt) {
    const unsigned short candidate = UnusedLoopbackPort();
    if (listener->ResetListenPort(candidate)) newPort = candidate;
  }
  ASSERT_NE(newPort, 0);
  EXPECT_EQ(listener->GetPort(), newPort);
  RawFrameClient moved(newPort);
  EXPECT_TRUE(Greeted(moved));
  EXPECT_EQ(FailureCode([&] { RawFrameClient refused(oldPort); }), "SOCKET_REJECTED");
  EXPECT_TRUE(Echoes(early, "accepted before the move"));
}

// Moving the listener while the event bus is full neither waits for the bus
// nor leaves a descriptor behind, whether the new port can be bound or not
// (the socket's notices are dropped while the bus is full).
TEST(TcpListenerConcurrency, ResetListenPortOnAFullEventBus) {
  SocketEvents events;
  Owner owner;
  std::unique_ptr<OXTcpListener> listener = StartedListener(owner);
  ASSERT_NE(listener, nullptr);
  const unsigned short oldPort = listener->GetPort();
  std::unique_ptr<OXServerSocket> busy = ListeningServerSocket();
  ASSERT_NE(busy, nullptr);
  // The notices of both sockets are through: nothing else posts from here on.
  ASSERT_TRUE(Eventually([&] { return events.Count("侦听端口成功！") == 2; }));

  unsigned short newPort = 0;
  {
    FullEventBus full;
    const int descriptors = OpenDescriptors();
    EXPECT_FALSE(listener->ResetListenPort(busy->GetPort()));
    EXPECT_EQ(OpenDescriptors(), descriptors);
    EXPECT_EQ(listener->GetPort(), oldPort);
    for (int attempt = 0; attempt < 5 && newPort == 0; ++attempt) {
      const unsigned short candidate = UnusedLoopbackPort();
      if (listener->ResetListenPort(candidate)) newPort = candidate;
    }
    ASSERT_NE(newPort, 0);
    EXPECT_EQ(OpenDescriptors(), descriptors);  // the old socket went, the new one came
  }
  RawFrameClient moved(newPort);
  EXPECT_TRUE(Greeted(moved));
}

TEST(TcpListenerConcurrency, StopListenKeepsConnectionsUntilDisconnectAll) {
  Owner owner;
  std::unique_ptr<OXTcpListener> listener = StartedListener(owner);
  ASSERT_NE(listener, nullptr);
  const unsigned short port = listener->GetPort();
  RawFrameClient one(port);
  RawFrameClient two(port);
  ASSERT_TRUE(Greeted(one));
  ASSERT_TRUE(Greeted(two));

  listener->StopListen();
  EXPECT_FALSE(listener->IsListening());
  EXPECT_EQ(FailureCode([&] { RawFrameClient late(port); }), "SOCKET_REJECTED");
  EXPECT_TRUE(Echoes(one, "still up"));

  listener->DisconnectAllConnection();
  EXPECT_EQ(FailureCode([&] { one.NextText(); }), "SOCKET_CHANNEL_DISCONNECTED");
  EXPECT_EQ(FailureCode([&] { two.NextText(); }), "SOCKET_CHANNEL_DISCONNECTED");
  ASSERT_TRUE(Eventually([&] { return owner.disconnects.load() == 2; }));
  EXPECT_EQ(listener->GetConnectionCount(), 0);
}

TEST(TcpListenerConcurrency, DestructorClosesEveryConnection) {
  Owner owner;
  const tarrow_test::ThreadSnapshot before;
  std::unique_ptr<OXTcpListener> listener = StartedListener(owner);
  ASSERT_NE(listener, nullptr);
  std::vector<std::unique_ptr<RawFrameClient>> clients;
  for (int i = 0; i < 3; ++i) {
    clients.emplace_back(new RawFrameClient(listener->GetPort()));
    ASSERT_TRUE(Greeted(*clients.back()));
  }
  // The accept thread and the three receive threads read (a receive thread
  // stopped before its first read gives no disconnect notice).
  ASSERT_TRUE(before.WaitUntilNewThreadsWaitForInput(4, 30000));
  const auto started = Clock::now();
  listener.reset();
  EXPECT_LT(MsSince(started), 10000);
  for (auto& client : clients) EXPECT_EQ(FailureCode([&] { client->NextText(); }), "SOCKET_CHANNEL_DISCONNECTED");
  EXPECT_EQ(owner.disconnects.load(), 3);
}

TEST(TcpListenerConcurrency, ClientsComingAndGoingInParallel) {
  Owner owner;
  std::unique_ptr<OXTcpListener> listener = StartedListener(owner);
  ASSERT_NE(listener, nullptr);
  const int threads = 4;
  const int rounds = 4;
  std::atomic<int> answered{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      for (int r = 0; r < rounds; ++r) {
        TcpOXConnection connection(nullptr, nullptr);
        try {
          connection.Connect("127.0.0.1", listener->GetPort());
          std::unique_ptr<std::string> answer(connection.Request("ECHO", std::to_string(t * 100 + r), 10000));
          if (answer != nullptr && *answer == std::to_string(t * 100 + r)) answered.fetch_add(1);
        } catch (Exception* e) {
          delete e;
        }
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  EXPECT_EQ(answered.load(), threads * rounds);
  ASSERT_TRUE(Eventually([&] { return owner.disconnects.load() == threads * rounds; }));
  EXPECT_EQ(listener->GetConnectionCount(), 0);
  EXPECT_EQ(owner.established.load(), threads * rounds);
}

}  // namespace
