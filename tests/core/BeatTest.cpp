#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <memory>
#include <string>

#include "config/HeartBeatGlobalConfig.h"
#include "core/CoreFixture.h"
#include "core/CoreTestSupport.h"
#include "core/HandshakeToken.h"
#include "core/IHeartBeatLink.h"
#include "core/PeerProcess.h"
#include "support/LoopbackPorts.h"

namespace {

using core_test::CoreFixture;
using core_test::EventLog;
using core_test::Eventually;
using core_test::IdentityAnswer;
using core_test::LinkChanged;
using core_test::Node;
using core_test::NodeSettings;
using core_test::ScriptedPeer;
using Oxbrindale::Velmora::Core::HandshakeToken;
using Oxbrindale::Velmora::Core::IHeartBeatLink;
using Oxbrindale::Velmora::OXProctol::OXPack;

const uint64_t kPeerNonce = 77;

// Answers the handshake of link id with the keys a and b; beats with beat().
ScriptedPeer::Answerer Responder(int id, std::function<bool(std::string*)> beat) {
  return [id, beat](const OXPack& request, std::string* answer) {
    if (request.command == HandshakeToken::WHO_ARE_YOU) {
      *answer = IdentityAnswer(id, "a", request.body, kPeerNonce);
      return true;
    }
    if (request.command == HandshakeToken::VALID_TOKEN_B) {
      *answer = request.body == HandshakeToken::Digest("b", std::to_string(kPeerNonce)) ? "OK" : "ERROR";
      return true;
    }
    if (request.command == HandshakeToken::HEART_BEAT) return beat(answer);
    return false;
  };
}

class Beat : public CoreFixture {
 protected:
  // A host node listening on a free port with TCP link id.
  std::unique_ptr<Node> Host(int id, int32_t beatTimeout, uint16_t maxFailures = 3) {
    NodeSettings settings;
    settings.hostRole = 1;
    settings.beatInterval = 100;
    settings.beatTimeout = beatTimeout;
    settings.maxFailures = maxFailures;
    std::unique_ptr<Node> node(new Node(settings));
    link = node->AddLink(id, 0, "127.0.0.1", "a", "b");
    port = node->Listen();
    // A link that is not connecting yet refuses a peer.
    EXPECT_TRUE(Eventually([&] { return link->GetStatus() == 1; }));
    return node;
  }

  std::shared_ptr<IHeartBeatLink> link;
  unsigned short port = 0;
  EventLog events;
};

TEST_F(Beat, AnswersTable) {
  const struct {
    const char* name;
    bool answers;
    const char* body;
    bool good;
    int32_t timeout;  // long where an answer comes: a loaded machine never misses it
  } rows[] = {
      {"exact", true, "RESPONSE_V0.1 Alpha", true, 30000},
      {"trailing blank", true, "RESPONSE_V0.1 Alpha ", false, 30000},
      {"other body", true, "UNKNOW_CMD", false, 30000},
      {"empty body", true, "", false, 30000},
      {"no answer: the time-out exception", false, "", false, 200},
  };
  int id = 100;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ++id;
    std::unique_ptr<Node> host = Host(id, row.timeout);
    ScriptedPeer peer(port, Responder(id, [&](std::string* answer) {
                        *answer = row.body;
                        return row.answers;
                      }));
    // Wrong answers may end the connection within moments: the alarm tells it was up.
    ASSERT_TRUE(Eventually([&] { return host->alarms.Count(6, "\"link" + std::to_string(id) + "\"已经建立了！") == 1; }));

    if (row.good) {
      ASSERT_TRUE(Eventually([&] { return peer.CountFrames("request:HA_HEART_BEAT") >= 3; }));
      EXPECT_EQ(2, link->GetStatus());
      EXPECT_EQ(0, link->GetFailureCount());
      EXPECT_EQ(0, link->GetConnectionFailureCount());
      EXPECT_TRUE(Eventually([&] { return events.Count(LinkChanged(id)) == 1; })) << "the link-up only";
      EXPECT_EQ(0, host->alarms.Count(6, "已经断开了"));
      continue;
    }
    // Three failures, each announced; the fourth drops the link.
    ASSERT_TRUE(Eventually([&] { return link->GetStatus() == 1; }));
    EXPECT_EQ(4, peer.CountFrames("request:HA_HEART_BEAT"));
    EXPECT_TRUE(Eventually([&] { return events.Count(LinkChanged(id)) == 1 + 3 + 1; }))
        << "link-up, three failures, the loss";
    EXPECT_TRUE(Eventually([&] {
      return host->alarms.Count(6, "\"link" + std::to_string(id) + "\"已经断开了，正在尝试重新建立本心跳连接！") == 1;
    }));
    EXPECT_EQ(1, host->machine.failureChecks.load());
    // After the pause the link tries again: a new connection is taken.
    EXPECT_TRUE(Eventually([&] { return link->GetPendOperation() == 2; }));
    host->config.GetHeartBeatGlobalConfig()->SetBeatTimeout(30000);
    ScriptedPeer again(port, Responder(id, [](std::string* answer) {
                         *answer = HandshakeToken::BEAT_ANSWER;
                         return true;
                       }));
    EXPECT_TRUE(Eventually([&] { return link->GetStatus() == 2; }));
  }
}

TEST_F(Beat, GoodBeatAfterFailuresResetsTheConsecutiveCountOnly) {
  const int id = 120;
  std::unique_ptr<Node> host = Host(id, 30000);
  std::atomic<int> beats{0};
  ScriptedPeer peer(port, Responder(id, [&](std::string* answer) {
                      *answer = ++beats <= 2 ? "wrong" : HandshakeToken::BEAT_ANSWER;
                      return true;
                    }));
  ASSERT_TRUE(Eventually([&] { return peer.CountFrames("request:HA_HEART_BEAT") >= 5; }));
  EXPECT_EQ(2, link->GetStatus());
  EXPECT_EQ(0, link->GetFailureCount());
  EXPECT_EQ(2, link->GetConnectionFailureCount());
  EXPECT_TRUE(Eventually([&] { return events.Count(LinkChanged(id)) == 1 + 2 + 1; }))
      << "link-up, two failures, the reset";
}

// The daemon's own beat settings (interval 2000, reply time-out 4000, three
// failures allowed) against a peer frozen by SIGSTOP.
TEST_F(Beat, FrozenPeerIsLostAtTheFourthFailureAtDefaultSettings) {
  NodeSettings settings;
  settings.hostRole = 1;
  settings.beatInterval = 2000;
  settings.beatTimeout = 4000;
  settings.maxFailures = 3;
  Node host(settings);
  link = host.AddLink(130, 0, "127.0.0.1", "a", "b");
  const unsigned short hostPort = host.Listen();
  ASSERT_NE(0, hostPort);
  tarrow_test::TempDir peerDir;
  peerDir.MakeDir("configs");
  core_test::CorePeerProcess peer({peerDir.Path(), "0", std::to_string(hostPort), "2000", "4000", "3", "130",
                                   "0", "127.0.0.1", "a", "b"});
  ASSERT_TRUE(peer.Ok());
  ASSERT_TRUE(Eventually([&] { return link->GetStatus() == 2; }, 60000));
  ASSERT_TRUE(peer.WaitStatus(2));

  peer.Signal(SIGSTOP);
  const long long stopped = core_test::NowMs();
  int most = 0;
  ASSERT_TRUE(Eventually(
      [&] {
        most = std::max<int>(most, link->GetFailureCount());
        return link->GetStatus() != 2;
      },
      60000));
  const long long lost = core_test::NowMs() - stopped;
  peer.Signal(SIGCONT);
  EXPECT_GE(lost, 3 * 4000) << "lost before three reply time-outs";
  EXPECT_GE(most, 3);
  EXPECT_TRUE(Eventually([&] { return host.alarms.Count(6, "已经断开了") == 1; }));
}

}  // namespace
