#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config/HeartBeatGlobalConfig.h"
#include "core/CoreFixture.h"
#include "core/CoreTestSupport.h"
#include "core/HandshakeToken.h"
#include "core/IHeartBeatLink.h"
#include "framework/Convert.h"
#include "framework/Exception.h"
#include "framework/OXServerSocket.h"
#include "protocol/OXTcpListener.h"
#include "protocol/RawFrameClient.h"
#include "support/LoopbackPorts.h"

namespace {

using core_test::CoreFixture;
using core_test::EventLog;
using core_test::Eventually;
using core_test::FastTimings;
using core_test::IdentityAnswer;
using core_test::Node;
using core_test::NodeSettings;
using core_test::NowMs;
using core_test::ScriptedPeer;
using Oxbrindale::Velmora::Core::HaTimings;
using Oxbrindale::Velmora::Core::HandshakeToken;
using Oxbrindale::Velmora::Core::HeartBeatManager;
using Oxbrindale::Velmora::Core::IHeartBeatLink;
using Oxbrindale::Velmora::OXProctol::OXPack;

const uint64_t kPeerNonce = 5;

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return text;
}

// A responder by hand: the identity answer comes from identity(host nonce).
ScriptedPeer::Answerer HandResponder(std::function<std::string(const std::string&)> identity, bool beats = true) {
  return [identity, beats](const OXPack& request, std::string* answer) {
    if (request.command == HandshakeToken::WHO_ARE_YOU) {
      *answer = identity(request.body);
      return true;
    }
    if (request.command == HandshakeToken::VALID_TOKEN_B) {
      *answer = request.body == HandshakeToken::Digest("b", std::to_string(kPeerNonce)) ? "OK" : "ERROR";
      return true;
    }
    if (request.command == HandshakeToken::HEART_BEAT && beats) {
      *answer = HandshakeToken::BEAT_ANSWER;
      return true;
    }
    return false;
  };
}

ScriptedPeer::Answerer GoodResponder(int id, bool beats = true) {
  return HandResponder([id](const std::string& nonce) { return IdentityAnswer(id, "a", nonce, kPeerNonce); }, beats);
}

// Someone who reaches the heartbeat port from 127.0.0.2 and never says a
// word: a burst of connections at once, then one every intervalMs, each kept
// open until the stranger goes.
class SilentStranger {
 public:
  SilentStranger(unsigned short port, int burst, int intervalMs) : port_(port), intervalMs_(intervalMs) {
    for (int i = 0; i < burst; ++i) Open();
    thread_ = std::thread([this] {
      std::unique_lock<std::mutex> lock(mutex_);
      while (!stop_) {
        if (stopped_.wait_for(lock, std::chrono::milliseconds(intervalMs_), [this] { return stop_; })) break;
        lock.unlock();
        Open();
        lock.lock();
      }
    });
  }
  ~SilentStranger() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    stopped_.notify_all();
    thread_.join();
    for (int fd : fds_) close(fd);
  }
  int Opened() const { return opened_.load(); }

 private:
  void Open() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    sockaddr_in from = {};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = inet_addr("127.0.0.2");
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(port_);
    to.sin_addr.s_addr = inet_addr("127.0.0.1");
    if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof(from)) != 0 ||
        (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0 && errno != EINPROGRESS)) {
      close(fd);
      return;
    }
    ++opened_;
    std::lock_guard<std::mutex> lock(fdMutex_);
    fds_.push_back(fd);
  }

  const unsigned short port_;
  const int intervalMs_;
  std::mutex mutex_;
  std::condition_variable stopped_;
  bool stop_ = false;
  std::mutex fdMutex_;
  std::vector<int> fds_;
  std::atomic<int> opened_{0};
  std::thread thread_;
};

class Handshake : public CoreFixture {
 protected:
  std::unique_ptr<Node> Host(int id, const std::string& keyA = "a", const std::string& keyB = "b",
                             HaTimings timings = FastTimings(), uint16_t maxFailures = 3,
                             int32_t beatTimeout = 30000) {
    NodeSettings settings;
    settings.hostRole = 1;
    settings.beatTimeout = beatTimeout;
    settings.maxFailures = maxFailures;
    std::unique_ptr<Node> node(new Node(settings, timings));
    hostLink = node->AddLink(id, 0, "127.0.0.1", keyA, keyB);
    port = node->Listen();
    // A link that is not connecting yet refuses a peer.
    EXPECT_TRUE(Eventually([&] { return hostLink->GetStatus() == 1; }));
    return node;
  }
  std::unique_ptr<Node> Responder(int id, const std::string& keyA, const std::string& keyB,
                                  HaTimings timings = FastTimings()) {
    NodeSettings settings;
    settings.port = port;
    std::unique_ptr<Node> node(new Node(settings, timings));
    peerLink = node->AddLink(id, 0, "127.0.0.1", keyA, keyB);
    return node;
  }
  std::string NewConnection(int id) { return "DEBUG:新的连接，序号：" + std::to_string(id); }

  std::shared_ptr<IHeartBeatLink> hostLink;
  std::shared_ptr<IHeartBeatLink> peerLink;
  unsigned short port = 0;
  EventLog events;
};

TEST_F(Handshake, SameKeysConnectBothSides) {
  auto host = Host(201);
  auto peer = Responder(201, "a", "b");
  EXPECT_TRUE(Eventually([&] { return hostLink->GetStatus() == 2 && peerLink->GetStatus() == 2; }));
  EXPECT_TRUE(Eventually([&] { return host->alarms.Count(6, "心跳连接\"link201\"已经建立了！") == 1; }));
  EXPECT_EQ(1, events.Count(NewConnection(201)));
  EXPECT_EQ(0, events.Count("DEBUG:Send HA_TOKENB_ERROR"));
}

TEST_F(Handshake, WrongFirstKeyIsPushedAndRetriedAfterThePause) {
  HaTimings timings = FastTimings();
  timings.tokenErrorMs = 1500;
  auto host = Host(202);
  auto peer = Responder(202, "other", "b", timings);
  ASSERT_TRUE(Eventually([&] { return events.Count(NewConnection(202)) >= 2; }));
  EXPECT_GE(events.Count("DEBUG:Send HA_TOKENB_ERROR"), 1);
  const std::vector<long long> attempts = events.Times(NewConnection(202));
  EXPECT_GE(attempts[1] - attempts[0], 1500 - 300) << "the next attempt waits for the pause";
  EXPECT_NE(2, hostLink->GetStatus());
  EXPECT_NE(2, peerLink->GetStatus());
}

TEST_F(Handshake, PushedConnectionIsClosedAfterTheGraceTime) {
  const struct {
    const char* name;
    bool busy;  // the host link is connected already: "CS_INVALID_STATU"
  } rows[] = {{"wrong first key", false}, {"busy host link", true}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    HaTimings timings = FastTimings();
    timings.graceCloseMs = 1000;
    auto host = Host(row.busy ? 204 : 203, "a", "b", timings);
    std::unique_ptr<Node> peer;
    if (row.busy) {
      peer = Responder(204, "a", "b");
      ASSERT_TRUE(Eventually([&] { return hostLink->GetStatus() == 2 && peerLink->GetStatus() == 2; }));
    }
    const int id = row.busy ? 204 : 203;
    ScriptedPeer hostile(port, HandResponder([&](const std::string& nonce) {
                           return row.busy ? IdentityAnswer(id, "a", nonce, kPeerNonce)
                                           : IdentityAnswer(id, "wrong", nonce, kPeerNonce);
                         }));
    const std::string push = row.busy ? "push:CS_INVALID_STATU" : "push:HA_TOKENB_ERROR";
    ASSERT_TRUE(Eventually([&] { return hostile.CountFrames(push) == 1; }));
    if (row.busy) {
      const std::vector<std::string> frames = hostile.Frames();
      EXPECT_EQ(1, std::count(frames.begin(), frames.end(), "push:CS_INVALID_STATU:2")) << "the host link's status";
    }
    ASSERT_TRUE(Eventually([&] { return hostile.Closed(); }));
    EXPECT_GE(hostile.ClosedAt() - hostile.FirstAt(push), 1000 - 200);
    if (row.busy) {
      EXPECT_EQ(2, hostLink->GetStatus()) << "the busy link keeps its connection";
    }
  }
}

TEST_F(Handshake, WrongSecondKeyIsRefusedAndRetried) {
  auto host = Host(205);
  auto peer = Responder(205, "a", "other");
  ASSERT_TRUE(Eventually([&] { return events.Count(NewConnection(205)) >= 2; }));
  EXPECT_EQ(0, events.Count("DEBUG:Send HA_TOKENB_ERROR"));
  EXPECT_NE(2, hostLink->GetStatus());
  EXPECT_NE(2, peerLink->GetStatus());
  EXPECT_EQ(0, host->alarms.Count(6, "已经建立了"));
}

TEST_F(Handshake, UnknownLinkIdEndsTheExchange) {
  auto host = Host(206);
  {
    tarrow_test::RawFrameClient hostile(port);
    std::unique_ptr<OXPack> who = hostile.NextPack();
    ASSERT_NE(nullptr, who);
    ASSERT_EQ(HandshakeToken::WHO_ARE_YOU, who->command);
    std::string frame = OXPack("response", "RES", who->packId, IdentityAnswer(9999, "a", who->body, 1)).ToFrame();
    frame.pop_back();  // SendText adds the NUL
    hostile.SendText(frame);
    // The host closes the connection; the greeting may come first.
    bool closed = false;
    for (int frames = 0; frames < 3 && !closed; ++frames) {
      try {
        hostile.NextText();
      } catch (Exception* e) {
        delete e;
        closed = true;
      }
    }
    EXPECT_TRUE(closed);
  }
  // The host is still there and takes its real peer.
  ScriptedPeer peer(port, GoodResponder(206));
  EXPECT_TRUE(Eventually([&] { return hostLink->GetStatus() == 2; }));
}

TEST_F(Handshake, ListenerConnectionGoesToTcpLinksOnly) {
  auto host = Host(241);
  std::shared_ptr<IHeartBeatLink> serial = host->AddLink(240, 1, "COM0", "a", "b", "9600");  // connecting for ever
  // Only a link that is connecting would take a connection at all.
  ASSERT_TRUE(Eventually([&] { return serial->GetStatus() == 1; }));
  ScriptedPeer peer(port, GoodResponder(240));
  EXPECT_TRUE(Eventually([&] { return peer.Closed(); }));
  EXPECT_EQ(0, peer.CountFrames("request:HA_VALID_TOKEN_B"));
  EXPECT_EQ(1, serial->GetStatus());
  EXPECT_EQ(0, host->alarms.Count(6, "已经建立了"));
}

TEST_F(Handshake, IdentityAnswersByHand) {
  const struct {
    const char* name;
    std::function<std::string(int, const std::string&)> identity;
    bool accepted;
  } rows[] = {
      {"six lines", [](int id, const std::string& n) { return IdentityAnswer(id, "a", n, kPeerNonce); }, true},
      {"seven lines: the first six count",
       [](int id, const std::string& n) { return IdentityAnswer(id, "a", n, kPeerNonce) + "\nextra"; }, true},
      {"five lines",
       [](int id, const std::string& n) {
         return "OK\n" + std::to_string(id) + "\n" + HandshakeToken::Digest("a", n) + "\n0\n1";
       },
       false},
      {"first line not OK",
       [](int id, const std::string& n) { return "ok" + IdentityAnswer(id, "a", n, kPeerNonce).substr(2); }, false},
      {"upper-case digest",
       [](int id, const std::string& n) {
         return "OK\n" + std::to_string(id) + "\n" + Upper(HandshakeToken::Digest("a", n)) + "\n0\n1\n" +
                std::to_string(kPeerNonce);
       },
       false},
      {"id cut to 16 bits",
       [](int id, const std::string& n) { return IdentityAnswer(id + 65536, "a", n, kPeerNonce); }, true},
  };
  int id = 210;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ++id;
    auto host = Host(id);
    ScriptedPeer peer(port, HandResponder([&](const std::string& nonce) { return row.identity(id, nonce); }));
    if (row.accepted) {
      EXPECT_TRUE(Eventually([&] { return hostLink->GetStatus() == 2; }));
      EXPECT_EQ(1, peer.CountFrames("request:HA_VALID_TOKEN_B"));
    } else {
      EXPECT_TRUE(Eventually([&] { return peer.Closed(); }));
      EXPECT_EQ(0, peer.CountFrames("request:HA_VALID_TOKEN_B"));
      EXPECT_NE(2, hostLink->GetStatus());
    }
  }
}

TEST_F(Handshake, ResponderChecksTheSecondKeyOncePerIdentityQuestion) {
  std::unique_ptr<Oxbrindale::Velmora::Framework::OXServerSocket> server = tarrow_test::ListeningServerSocket();
  ASSERT_NE(nullptr, server);
  port = server->GetPort();
  HaTimings timings = FastTimings();
  timings.validationWaitMs = 60000;
  auto responder = Responder(220, "a", "b", timings);
  ScriptedPeer host(server->Accept(), nullptr);
  host.Send(OXPack("push", "SERVICE_READY", ""));

  OXPack early("request", HandshakeToken::VALID_TOKEN_B, HandshakeToken::Digest("b", "0"));
  host.Send(early);
  std::string answer;
  ASSERT_TRUE(host.WaitResponse(early.packId, &answer));
  EXPECT_EQ("ERROR", answer) << "no identity question came first";

  OXPack who("request", HandshakeToken::WHO_ARE_YOU, "123");
  host.Send(who);
  ASSERT_TRUE(host.WaitResponse(who.packId, &answer));
  std::string text = answer;
  std::vector<std::string> lines = Oxbrindale::Velmora::Framework::Convert::tokenize(text, "\n", false, "");
  ASSERT_EQ(6u, lines.size()) << answer;
  EXPECT_EQ("OK", lines[0]);
  EXPECT_EQ("220", lines[1]);
  EXPECT_EQ(HandshakeToken::Digest("a", "123"), lines[2]);
  EXPECT_EQ("0", lines[3]);
  EXPECT_EQ("1", lines[4]);

  OXPack valid("request", HandshakeToken::VALID_TOKEN_B, HandshakeToken::Digest("b", lines[5]));
  host.Send(valid);
  ASSERT_TRUE(host.WaitResponse(valid.packId, &answer));
  EXPECT_EQ("OK", answer);
  EXPECT_TRUE(Eventually([&] { return peerLink->GetStatus() == 2; }));

  // Connected now: the handshake words are no longer served as such.
  OXPack again("request", HandshakeToken::WHO_ARE_YOU, "1");
  host.Send(again);
  ASSERT_TRUE(host.WaitResponse(again.packId, &answer));
  EXPECT_EQ("UNKNOW_CMD", answer);
}

TEST_F(Handshake, FailingHostLinkIsReplacedWithoutALinkDown) {
  auto host = Host(230, "a", "b", FastTimings(), 1000, 200);
  ScriptedPeer first(port, GoodResponder(230, false));  // never answers a beat
  ASSERT_TRUE(Eventually([&] { return hostLink->GetStatus() == 2 && hostLink->GetFailureCount() >= 2; }));

  ScriptedPeer second(port, GoodResponder(230));
  ASSERT_TRUE(Eventually([&] { return host->alarms.Count(11, "心跳连接\"link230\"发生了更替操作！") == 1; }));
  EXPECT_TRUE(Eventually([&] { return first.Closed(); })) << "the failing connection is dropped";
  EXPECT_TRUE(Eventually([&] { return second.CountFrames("request:HA_HEART_BEAT") >= 2; }));
  EXPECT_EQ(2, hostLink->GetStatus());
  EXPECT_EQ(0, hostLink->GetFailureCount());
  EXPECT_EQ(0, hostLink->GetConnectionFailureCount());
  EXPECT_EQ(0, host->machine.failureChecks.load()) << "the replaced connection's loss is not a link-down";
  EXPECT_EQ(0, host->alarms.Count(6, "已经断开了"));

  // The loss of the new connection reaches the link, which forgets it: the
  // listener deletes a lost connection once another one is lost.
  second.Close();
  EXPECT_TRUE(Eventually([&] { return hostLink->GetStatus() == 1; }));
  EXPECT_TRUE(Eventually([&] { return host->machine.failureChecks.load() == 1; }));
  {
    ScriptedPeer stranger(port, GoodResponder(9999));  // names no link: closed by the host
    EXPECT_TRUE(Eventually([&] { return stranger.Closed(); }));
  }
  // Not needed for the outcome: lets the listener delete the lost connection
  // before the next peer comes.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  ScriptedPeer third(port, GoodResponder(230));
  EXPECT_TRUE(Eventually([&] { return hostLink->GetStatus() == 2; }));
}

TEST_F(Handshake, SilentStrangersDoNotKeepThePeerFromLinking) {
  HaTimings timings = FastTimings();
  timings.whoAreYouTimeoutMs = 2000;  // the daemon's wait for an identity answer
  auto host = Host(250, "a", "b", timings);
  // A burst of 64, then one every 500 ms: each would hold a handshake for
  // its whole identity wait.
  SilentStranger stranger(port, 64, 500);
  ASSERT_TRUE(Eventually([&] { return host->manager->GetListener()->GetConnectionCount() > 0; }));
  int most = 0;
  const auto linked = [&] {
    most = std::max(most, host->manager->HandshakesInFlight());
    return hostLink->GetStatus() == 2 && peerLink->GetStatus() == 2;
  };
  long long start = NowMs();
  auto peer = Responder(250, "a", "b");
  // The peer links within moments; the bound only keeps a hang from
  // stopping the run.
  ASSERT_TRUE(Eventually(linked, 20000)) << stranger.Opened() << " silent connections";
  std::printf("linked %lld ms after the peer started, %d silent connections\n", NowMs() - start,
              stranger.Opened());

  // The peer drops its connection and connects again while the stranger
  // goes on: the link comes back.
  peerLink->OnHeartBeatLinkModified();
  ASSERT_TRUE(Eventually([&] { return hostLink->GetStatus() != 2; }));
  start = NowMs();
  EXPECT_TRUE(Eventually(linked, 20000));
  std::printf("linked again after %lld ms\n", NowMs() - start);
  EXPECT_LE(most, HeartBeatManager::MAX_HANDSHAKES);
  EXPECT_GE(host->machine.failureChecks.load(), 1);
}

TEST_F(Handshake, LossNoticeDoesNotWaitForAHandshake) {
  HaTimings timings = FastTimings();
  timings.whoAreYouTimeoutMs = 120000;  // a silent connection holds its handshake for the whole test
  auto host = Host(251, "a", "b", timings, 3, 120000);
  host->config.GetHeartBeatGlobalConfig()->SetBeatInterval(120000);  // no beat finds the loss
  auto peer = Responder(251, "a", "b");
  ASSERT_TRUE(Eventually([&] { return hostLink->GetStatus() == 2 && peerLink->GetStatus() == 2; }));
  SilentStranger stranger(port, 1, 3600000);
  ASSERT_TRUE(Eventually([&] { return host->manager->HandshakesInFlight() == 1; }));
  // The peer goes: the loss reaches the host link while the stranger's
  // handshake still waits.
  const long long lost = NowMs();
  peer.reset();
  EXPECT_TRUE(Eventually([&] { return hostLink->GetStatus() != 2; }, 60000));
  std::printf("the host link saw the loss after %lld ms\n", NowMs() - lost);
  EXPECT_EQ(1, host->manager->HandshakesInFlight());
  EXPECT_TRUE(Eventually([&] { return host->machine.failureChecks.load() == 1; }));
}

}  // namespace
