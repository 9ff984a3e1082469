#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "ConnectionTestSupport.h"
#include "RawFrameClient.h"
#include "RecordingNode.h"
#include "TcpPeerProcess.h"
#include "framework/Exception.h"
#include "framework/OXServerSocket.h"
#include "framework/OXSocket.h"
#include "protocol/OXPack.h"
#include "protocol/TcpOXConnection.h"
#include "support/LoopbackPorts.h"

using Oxbrindale::Velmora::Framework::OXServerSocket;
using Oxbrindale::Velmora::Framework::OXSocket;
using Oxbrindale::Velmora::OXProctol::OXPack;
using Oxbrindale::Velmora::OXProctol::TcpOXConnection;
using tarrow_test::Eventually;
using tarrow_test::FailureCode;
using tarrow_test::ListeningServerSocket;
using tarrow_test::MsSince;
using tarrow_test::RawFrameClient;
using tarrow_test::RecordingNode;
using tarrow_test::TcpPeerProcess;
using tarrow_test::UnusedLoopbackPort;

namespace {

using Clock = tarrow_test::SteadyClock;

// A connection to a listener in another process.
struct Linked {
  std::unique_ptr<TcpPeerProcess> peer;
  RecordingNode recorder;
  std::unique_ptr<TcpOXConnection> connection;
};

std::unique_ptr<Linked> ConnectToPeer(long keepAliveMs = 0) {
  std::unique_ptr<Linked> linked(new Linked());
  linked->peer.reset(TcpPeerProcess::StartListener(keepAliveMs));
  if (linked->peer == nullptr) return nullptr;
  linked->connection.reset(new TcpOXConnection(&linked->recorder, &linked->recorder));
  linked->connection->disconnectedListener.store(&linked->recorder);
  linked->connection->Connect("127.0.0.1", linked->peer->Port());
  return linked;
}

// Random text without NUL and CR (the frame drops CR), with LF and
// multi-byte UTF-8.
std::string RandomBody(std::mt19937& random) {
  static const std::vector<std::string> pieces = {"a", "Z", "9", " ", "\n", "|", "{", "中", "文", "\t", "é", "-"};
  std::uniform_int_distribution<int> length(0, 600);
  std::uniform_int_distribution<size_t> piece(0, pieces.size() - 1);
  std::string body;
  for (int i = length(random); i > 0; --i) body += pieces[piece(random)];
  return body;
}

// A connecting TcpOXConnection whose peer is a bare socket of this test:
// the test greets it by hand, then reads (or does not read) what it writes.
struct BarePeer {
  std::unique_ptr<OXServerSocket> server;
  std::unique_ptr<OXSocket> accepted;
  std::unique_ptr<TcpOXConnection> connection;
};

// keepAliveMs > 0: the connection's keep-alive interval, set before it connects.
std::unique_ptr<BarePeer> ConnectToBarePeer(long keepAliveMs = 0) {
  std::unique_ptr<BarePeer> peer(new BarePeer());
  peer->server = ListeningServerSocket();
  if (peer->server == nullptr) return nullptr;
  std::thread greeter([&] {
    peer->accepted.reset(peer->server->Accept());
    const std::string greeting = OXPack(OXPack::PackKind::PUSH, "SERVICE_READY", "").ToFrame();
    peer->accepted->Send(greeting.data(), static_cast<int>(greeting.size()));
  });
  peer->connection.reset(new TcpOXConnection(nullptr, nullptr));
  if (keepAliveMs > 0) peer->connection->SetKeepAliveInterval(keepAliveMs);
  peer->connection->Connect("127.0.0.1", peer->server->GetPort());
  greeter.join();
  return peer;
}

// Body of push number index of writer: its numbers, then filler of a length
// that depends on both.
std::string NumberedBody(int writer, int index, size_t filler) {
  return std::to_string(writer) + ":" + std::to_string(index) + ":" + std::string(filler, static_cast<char>('a' + index % 26));
}

// Frame text of exactly length bytes: a "SIZE" request padded with body bytes.
std::string FrameTextOfLength(size_t length) {
  const std::string head = "request\nSIZE\n{00000000-0000-0000-0000-000000000000}\n2024-1-1 08:00:00\n";
  return head + std::string(length - head.size(), 'b');
}

TEST(TcpConnectionConcurrency, GreetingIsConsumedAndKeepAlivesAreDropped) {
  // The peer's connection sends a keep-alive every 100 ms of silence.
  std::unique_ptr<Linked> linked = ConnectToPeer(100);
  ASSERT_NE(linked, nullptr);
  TcpOXConnection& connection = *linked->connection;
  EXPECT_TRUE(connection.IsConnected());
  EXPECT_EQ(connection.GetRemoteAddr(), "127.0.0.1");

  std::unique_ptr<std::string> answer(connection.Request("PUSH", "hi", 10000));
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(*answer, "pushed");
  ASSERT_TRUE(Eventually([&] { return !linked->recorder.Pushes().empty(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(600));  // several keep-alives
  // Neither the greeting nor a keep-alive reached a processor.
  EXPECT_EQ(linked->recorder.Pushes(), std::vector<std::string>{"HELLO:hi"});
  EXPECT_EQ(linked->recorder.RequestCount(), 0u);
  EXPECT_TRUE(connection.IsConnected());
  EXPECT_EQ(linked->recorder.disconnects.load(), 0);
}

TEST(TcpConnectionConcurrency, TenThousandRequestsFromEightThreadsAreMatchedByPackId) {
  std::unique_ptr<Linked> linked = ConnectToPeer();
  ASSERT_NE(linked, nullptr);
  const int threads = 8;
  const int perThread = 1250;
  std::atomic<int> matched{0};
  std::atomic<int> wrong{0};
  std::vector<std::thread> requesters;
  for (int t = 0; t < threads; ++t) {
    requesters.emplace_back([&, t] {
      std::mt19937 random(1234u + static_cast<unsigned>(t));
      for (int i = 0; i < perThread; ++i) {
        const std::string body = RandomBody(random);
        try {
          std::unique_ptr<std::string> answer(linked->connection->Request("ECHO", body, 20000));
          if (answer != nullptr && *answer == body) {
            matched.fetch_add(1);
          } else {
            wrong.fetch_add(1);
          }
        } catch (Exception* e) {
          delete e;
          wrong.fetch_add(1);
        }
      }
    });
  }
  for (std::thread& requester : requesters) requester.join();
  EXPECT_EQ(matched.load(), threads * perThread);
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(linked->recorder.disconnects.load(), 0);
}

TEST(TcpConnectionConcurrency, UnansweredRequestTimesOutAndALateResponseIsIgnored) {
  std::unique_ptr<Linked> linked = ConnectToPeer();
  ASSERT_NE(linked, nullptr);
  TcpOXConnection& connection = *linked->connection;

  auto started = Clock::now();
  try {
    delete connection.Request("SILENT", "", 500);
    ADD_FAILURE() << "no time-out";
  } catch (Exception* e) {
    EXPECT_EQ(e->code, "SINGLE_OBJ");
    EXPECT_EQ(e->message, "Wait Semaphore Timeout。");
    delete e;
  }
  EXPECT_GE(MsSince(started), 490);

  // The peer answers "late" after 800 ms; the request gave up at 300 ms.
  started = Clock::now();
  EXPECT_EQ(FailureCode([&] { delete connection.Request("SLOW", "800", 300); }), "SINGLE_OBJ");
  EXPECT_GE(MsSince(started), 290);
  // The next answer is the next request's own, not the late one.
  std::unique_ptr<std::string> answer(connection.Request("ECHO", "after", 10000));
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(*answer, "after");
  EXPECT_TRUE(connection.IsConnected());
}

TEST(TcpConnectionConcurrency, KeepAlivePacksFollowSilenceThroughTheIntervalSeam) {
  std::unique_ptr<TcpPeerProcess> peer(TcpPeerProcess::StartListener(300));
  ASSERT_NE(peer, nullptr);
  RawFrameClient client(peer->Port());
  std::unique_ptr<OXPack> greeting = client.NextPack();
  ASSERT_NE(greeting, nullptr);
  EXPECT_EQ(greeting->kind, "push");
  EXPECT_EQ(greeting->command, "SERVICE_READY");
  EXPECT_EQ(greeting->body, "");

  std::string previousId;
  for (int i = 0; i < 3; ++i) {
    const auto started = Clock::now();
    std::unique_ptr<OXPack> beat = client.NextPack();
    ASSERT_NE(beat, nullptr);
    EXPECT_GE(MsSince(started), 200);
    EXPECT_EQ(beat->kind, "heartbeat");
    EXPECT_EQ(beat->command, "0");
    EXPECT_EQ(beat->body, "0");
    EXPECT_EQ(beat->packId.size(), 38u);
    EXPECT_NE(beat->packId, previousId);
    previousId = beat->packId;
  }
}

// The one test that waits the real 20 s.
TEST(TcpConnectionConcurrency, KeepAliveAfterTwentySecondsOfSilence) {
  std::unique_ptr<TcpPeerProcess> peer(TcpPeerProcess::StartListener());
  ASSERT_NE(peer, nullptr);
  RawFrameClient client(peer->Port());
  std::unique_ptr<OXPack> greeting = client.NextPack();
  ASSERT_NE(greeting, nullptr);
  EXPECT_EQ(greeting->command, "SERVICE_READY");
  const auto started = Clock::now();
  std::unique_ptr<OXPack> beat = client.NextPack();
  const long long waited = MsSince(started);
  ASSERT_NE(beat, nullptr);
  EXPECT_EQ(beat->kind, "heartbeat");
  EXPECT_GE(waited, 19500);
  EXPECT_LT(waited, 40000);
}

TEST(TcpConnectionConcurrency, KillingThePeerGivesExactlyOneDisconnectNotice) {
  std::unique_ptr<Linked> linked = ConnectToPeer();
  ASSERT_NE(linked, nullptr);
  TcpOXConnection& connection = *linked->connection;
  // Two requests wait for answers that never come.
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 2; ++i) {
    waiters.emplace_back([&] {
      try {
        std::unique_ptr<std::string> answer(connection.Request("SILENT", "", 30000));
        if (answer == nullptr) released.fetch_add(1);
      } catch (Exception* e) {
        delete e;
      }
    });
  }
  for (int i = 0; i < 2; ++i) EXPECT_EQ(linked->peer->NextLine(30000), "silent");  // both wait now

  linked->peer->Kill();
  ASSERT_TRUE(Eventually([&] { return linked->recorder.disconnects.load() > 0; }));
  for (std::thread& waiter : waiters) waiter.join();
  EXPECT_EQ(released.load(), 2);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(linked->recorder.disconnects.load(), 1);
  EXPECT_FALSE(connection.IsConnected());
  EXPECT_EQ(FailureCode([&] { delete connection.Request("ECHO", "x", 1000); }), "OXPROCTOL");
  connection.Disconnect();  // after the loss: harmless
  EXPECT_EQ(linked->recorder.disconnects.load(), 1);
}

TEST(TcpConnectionConcurrency, FrameLimitAndShortFramesAcrossProcesses) {
  std::unique_ptr<TcpPeerProcess> peer(TcpPeerProcess::StartListener());
  ASSERT_NE(peer, nullptr);
  RawFrameClient client(peer->Port());
  ASSERT_EQ(client.NextPack()->command, "SERVICE_READY");

  // Fewer than five fields: dropped, and the connection keeps working.
  client.SendText("request\nECHO\n{00000000-0000-0000-0000-000000000001}\n2024-1-1 08:00:00");
  client.SendText("");
  client.SendText("a\nb");
  const std::string id = client.SendRequest("ECHO", "still here");
  std::unique_ptr<OXPack> answer = client.NextPack();
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer->kind, "response");
  EXPECT_EQ(answer->packId, id);
  EXPECT_EQ(answer->body, "still here");

  // 16367 bytes before the NUL are one frame.
  const std::string longest = FrameTextOfLength(16367);
  client.SendText(longest);
  answer = client.NextPack();
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer->packId, "{00000000-0000-0000-0000-000000000000}");
  EXPECT_EQ(answer->body, std::to_string(longest.size() - longest.rfind('\n') - 1));

  // One byte more and the peer drops the connection.
  client.SendText(FrameTextOfLength(16368));
  EXPECT_EQ(FailureCode([&] { client.NextText(); }), "SOCKET_CHANNEL_DISCONNECTED");

  // The peer itself is fine.
  RawFrameClient again(peer->Port());
  EXPECT_EQ(again.NextPack()->command, "SERVICE_READY");
}

TEST(TcpConnectionConcurrency, DestroyingAConnectionToAQuietPeerDoesNotWaitForIt) {
  std::unique_ptr<Linked> linked = ConnectToPeer();  // the peer is silent for 20 s
  ASSERT_NE(linked, nullptr);
  const auto started = Clock::now();
  linked->connection.reset();
  EXPECT_LT(MsSince(started), 5000);
  // Destroyed by its owner: the notice is still given, once.
  EXPECT_EQ(linked->recorder.disconnects.load(), 1);
}

TEST(TcpConnectionConcurrency, ConnectFailures) {
  RecordingNode recorder;
  {
    TcpOXConnection refused(&recorder, &recorder);
    EXPECT_EQ(FailureCode([&] { refused.Connect("127.0.0.1", UnusedLoopbackPort()); }), "SOCKET_REJECTED");
    EXPECT_FALSE(refused.IsConnected());
  }

  // A server that accepts but never greets.
  std::unique_ptr<OXServerSocket> server = ListeningServerSocket();
  ASSERT_NE(server, nullptr);

  // The silent server hangs up: Connect fails at once instead of waiting 10 s.
  {
    TcpOXConnection connection(&recorder, &recorder);
    connection.disconnectedListener.store(&recorder);
    std::thread hangUp([&] { delete server->Accept(); });
    const auto started = Clock::now();
    EXPECT_EQ(FailureCode([&] { connection.Connect("127.0.0.1", server->GetPort()); }), "SOCKET_SERVER_NOT_READY");
    EXPECT_LT(MsSince(started), 5000);
    hangUp.join();
    EXPECT_FALSE(connection.IsConnected());
    ASSERT_TRUE(Eventually([&] { return recorder.disconnects.load() == 1; }));
  }

  // The silent server keeps the connection: the time-out form gives up after
  // its time.
  {
    TcpOXConnection connection(&recorder, &recorder);
    std::unique_ptr<OXSocket> accepted;
    std::thread accept([&] { accepted.reset(server->Accept()); });
    const auto started = Clock::now();
    EXPECT_EQ(FailureCode([&] { connection.Connect("127.0.0.1", server->GetPort(), 1); }), "SOCKET_SERVER_NOT_READY");
    EXPECT_GE(MsSince(started), 990);
    accept.join();
  }
  EXPECT_TRUE(recorder.Pushes().empty());
}

}  // namespace

namespace {

// Reads pushes from peer until one with the command "END"; hands every
// other "N" push to seen.
void ReadUntilEnd(BarePeer& peer, const std::function<void(const OXPack&)>& seen) {
  for (;;) {
    std::unique_ptr<OXPack> pack(OXPack::Parse(peer.accepted->ReceiveUntilChar('\0')));
    if (pack == nullptr) {
      ADD_FAILURE() << "a broken frame";
      return;
    }
    if (pack->command == "END") return;
    if (pack->command == "N") seen(*pack);
  }
}

// Sends "END" pushes until done (one may be dropped while frames wait).
void SendEndUntil(TcpOXConnection& connection, const std::atomic<bool>& done) {
  for (int i = 0; i < 250 && !done.load(); ++i) {
    connection.SendPack(new OXPack(OXPack::PackKind::PUSH, "END", ""));
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
  }
}

// Index of a NumberedBody of writer with filler, -1 when the body is not one.
int IndexOf(const std::string& body, int writer, std::function<size_t(int)> filler) {
  const int index = std::atoi(body.c_str() + body.find(':') + 1);
  return body == NumberedBody(writer, index, filler(index)) ? index : -1;
}

TEST(TcpConnectionConcurrency, SendPackNeverWaitsForAStalledPeerAndKeepsFramesWholeAndInOrder) {
  std::unique_ptr<BarePeer> peer = ConnectToBarePeer();
  ASSERT_NE(peer, nullptr);
  // The peer reads nothing yet: the socket fills up, 19 frames wait for the
  // send thread, frames beyond are dropped; no SendPack waits for the peer.
  const int count = 600;
  const auto started = Clock::now();
  for (int i = 0; i < count; ++i) {
    peer->connection->SendPack(new OXPack(OXPack::PackKind::PUSH, "N", NumberedBody(0, i, 16000)));
  }
  EXPECT_LT(MsSince(started), 5000);

  std::atomic<bool> done{false};
  int received = 0;
  int last = -1;
  int broken = 0;
  std::thread reader([&] {
    ReadUntilEnd(*peer, [&](const OXPack& pack) {
      const int index = IndexOf(pack.body, 0, [](int) { return static_cast<size_t>(16000); });
      if (index <= last) ++broken;  // cut, mixed, repeated or out of order
      last = std::max(last, index);
      ++received;
    });
    done.store(true);
  });
  SendEndUntil(*peer->connection, done);
  reader.join();
  EXPECT_EQ(broken, 0);
  EXPECT_GT(received, 20);
  EXPECT_LT(received, count);  // some were dropped rather than waited for
  EXPECT_TRUE(peer->connection->IsConnected());
}

TEST(TcpConnectionConcurrency, FramesOfConcurrentSendersStayWholeAndInOrder) {
  std::unique_ptr<BarePeer> peer = ConnectToBarePeer();
  ASSERT_NE(peer, nullptr);
  const int writers = 4;
  const int perWriter = 300;
  std::vector<int> next(writers, 0);
  std::atomic<int> received{0};
  std::atomic<bool> done{false};
  std::thread reader([&] {
    ReadUntilEnd(*peer, [&](const OXPack& pack) {
      const int writer = std::atoi(pack.body.c_str());
      ASSERT_TRUE(writer >= 0 && writer < writers);
      const int index = IndexOf(pack.body, writer, [](int i) { return static_cast<size_t>((i * 7919) % 9000); });
      EXPECT_GE(index, next[writer]) << "writer " << writer;  // whole, and never older than one seen before
      next[writer] = index + 1;
      received.fetch_add(1);
      if (index % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));  // a slow reader now and then
    });
    done.store(true);
  });
  std::vector<std::thread> senders;
  for (int w = 0; w < writers; ++w) {
    senders.emplace_back([&, w] {
      for (int i = 0; i < perWriter; ++i) {
        peer->connection->SendPack(
            new OXPack(OXPack::PackKind::PUSH, "N", NumberedBody(w, i, static_cast<size_t>((i * 7919) % 9000))));
      }
    });
  }
  for (std::thread& sender : senders) sender.join();
  SendEndUntil(*peer->connection, done);
  reader.join();
  EXPECT_GT(received.load(), 0);
  EXPECT_LE(received.load(), writers * perWriter);
}

}  // namespace

namespace {

// A peer of plain socket calls, for what OXSocket does not offer: a reset
// (SO_LINGER 0) instead of an orderly close.
class PlainPeer {
 public:
  PlainPeer() {
    _listening = ::socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;  // the kernel picks a free one
    socklen_t length = sizeof(address);
    if (_listening < 0 || ::bind(_listening, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(_listening, 1) != 0 ||
        ::getsockname(_listening, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      ADD_FAILURE() << "no listening socket";
      return;
    }
    _port = ntohs(address.sin_port);
  }
  ~PlainPeer() {
    if (_accepted >= 0) ::close(_accepted);
    if (_listening >= 0) ::close(_listening);
  }
  unsigned short Port() const { return _port; }
  // Accepts the one connection and greets it.
  void AcceptAndGreet() {
    _accepted = ::accept(_listening, nullptr, nullptr);
    SendText(OXPack(OXPack::PackKind::PUSH, "SERVICE_READY", "").ToFrame());
  }
  void SendText(const std::string& frame) {
    ASSERT_EQ(::send(_accepted, frame.data(), frame.size(), MSG_NOSIGNAL), static_cast<ssize_t>(frame.size()));
  }
  // Ends the connection: an orderly close, or a reset.
  void End(bool reset) {
    if (reset) {
      struct linger abort = {1, 0};
      ::setsockopt(_accepted, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
    }
    ::close(_accepted);
    _accepted = -1;
  }

 private:
  int _listening = -1;
  int _accepted = -1;
  unsigned short _port = 0;
};

// Holds the receive thread inside the request "HOLD" until released, so that
// only a writing thread can find out that the peer went away.
class HoldingNode : public RecordingNode {
 public:
  void OnReceivedRequestPack(Oxbrindale::Velmora::OXProctol::IOXConnection* connection, OXPack* pack) override {
    if (pack->command == "HOLD") {
      holding.store(true);
      while (!released.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      return;
    }
    RecordingNode::OnReceivedRequestPack(connection, pack);
  }
  std::atomic<bool> holding{false};
  std::atomic<bool> released{false};
};

TEST(TcpConnectionConcurrency, FailedDirectWriteDisconnectsAndTheOwnerIsToldOnce) {
  for (bool reset : {false, true}) {
    SCOPED_TRACE(reset ? "peer resets" : "peer closes");
    PlainPeer peer;
    ASSERT_NE(peer.Port(), 0);
    HoldingNode node;
    TcpOXConnection connection(&node, &node);
    connection.disconnectedListener.store(&node);
    std::thread greeter([&] { peer.AcceptAndGreet(); });
    connection.Connect("127.0.0.1", peer.Port());
    greeter.join();

    peer.SendText(OXPack(OXPack::PackKind::REQUEST, "HOLD", "").ToFrame());
    ASSERT_TRUE(Eventually([&] { return node.holding.load(); }));
    peer.End(reset);
    // The receive thread is held: the pushes are written by this thread
    // straight to the socket, and the first that fails ends the connection.
    int refused = 0;
    ASSERT_TRUE(Eventually([&] {
      try {
        connection.SendPack(new OXPack(OXPack::PackKind::PUSH, "N", "x"));
      } catch (Exception* e) {
        EXPECT_EQ(e->code, "OXPROCTOL");
        delete e;
        ++refused;
      }
      return !connection.IsConnected();
    }));
    EXPECT_EQ(refused, 0);  // the failure itself was not thrown at the sender
    EXPECT_EQ(FailureCode([&] { connection.SendPack(new OXPack(OXPack::PackKind::PUSH, "N", "y")); }), "OXPROCTOL");

    // The notice comes from the receive thread once it is free again, once.
    node.released.store(true);
    ASSERT_TRUE(Eventually([&] { return node.disconnects.load() > 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(node.disconnects.load(), 1);
  }
}

TEST(TcpConnectionConcurrency, DirectWritesCountAsTrafficForTheKeepAlive) {
  const long interval = 1000;
  std::unique_ptr<BarePeer> peer = ConnectToBarePeer(interval);
  ASSERT_NE(peer, nullptr);

  struct Frame {
    Clock::time_point at;
    std::string kind;
  };
  std::vector<Frame> frames;
  std::mutex framesLock;
  std::atomic<bool> sawHeartbeatAfterSending{false};
  std::atomic<bool> sending{true};
  std::thread reader([&] {
    for (;;) {
      std::unique_ptr<OXPack> pack(OXPack::Parse(peer->accepted->ReceiveUntilChar('\0')));
      if (pack == nullptr) continue;
      const bool stillSending = sending.load();
      {
        std::lock_guard<std::mutex> guard(framesLock);
        frames.push_back({Clock::now(), pack->kind});
      }
      if (pack->kind == OXPack::PackKind::HEARTBEAT && !stillSending) {
        sawHeartbeatAfterSending.store(true);
        return;
      }
    }
  });

  // Four intervals of pushes, one every 20 ms, each written at once by this thread.
  std::vector<Clock::time_point> sent;
  const auto started = Clock::now();
  while (MsSince(started) < 4 * interval) {
    peer->connection->SendPack(new OXPack(OXPack::PackKind::PUSH, "N", "busy"));
    sent.push_back(Clock::now());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const Clock::time_point lastSent = sent.back();
  sending.store(false);
  ASSERT_TRUE(Eventually([&] { return sawHeartbeatAfterSending.load(); }));
  reader.join();

  // A stalled sender (a loaded machine) may leave a real pause in which a
  // keep-alive is due; count those pauses.
  int pauses = 0;
  for (size_t i = 1; i < sent.size(); ++i) {
    if (std::chrono::duration_cast<std::chrono::milliseconds>(sent[i] - sent[i - 1]).count() >= interval / 2) ++pauses;
  }
  int heartbeatsWhileBusy = 0;
  Clock::time_point heartbeatAfter{};
  for (const Frame& frame : frames) {
    if (frame.kind != OXPack::PackKind::HEARTBEAT) continue;
    if (frame.at <= lastSent) {
      ++heartbeatsWhileBusy;
    } else if (heartbeatAfter == Clock::time_point{}) {
      heartbeatAfter = frame.at;
    }
  }
  EXPECT_LE(heartbeatsWhileBusy, pauses);
  // The first keep-alive after the traffic follows a whole interval of silence.
  EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(heartbeatAfter - lastSent).count(), interval * 3 / 4);
  EXPECT_TRUE(peer->connection->IsConnected());
}

}  // namespace
