// A request is served only while its link is connected and only when it came
// on the connection the link uses now.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "core/IHeartBeatLink.h"
#include "core/PeerNode.h"
#include "core/PeerProtocol.h"
#include "core/ScriptedHost.h"
#include "protocol/IOnConnectionEstablished.h"
#include "protocol/OXTcpListener.h"
#include "protocol/TcpOXConnection.h"
#include "support/LoopbackPorts.h"

namespace core_test {
namespace {

using Oxbrindale::Velmora::Core::IHeartBeatLink;
using Oxbrindale::Velmora::Core::PeerProtocol;
using Oxbrindale::Velmora::OXProctol::IOXConnection;
using Oxbrindale::Velmora::OXProctol::IOnConnectionEstablished;
using Oxbrindale::Velmora::OXProctol::OXTcpListener;
using Oxbrindale::Velmora::OXProctol::TcpOXConnection;

TEST(PeerRequestLink, OfflineNoticeDuringTheHandshakeGetsNoAnswer) {
  ScriptedPair pair(PeerTimings());
  bool answered = true;
  std::string answer;
  pair.host.SetMidHandshake([&](IOXConnection* connection) {
    // The node's link is connecting: it has answered who it is, not yet
    // seen the host's proof.
    answered = ScriptedHost::Ask(connection, PeerProtocol::SYS_Offline, "", 1000, &answer);
  });
  ASSERT_TRUE(pair.Connect());
  EXPECT_FALSE(answered) << "answered " << answer;
  EXPECT_EQ(pair.node.machine.offlineNotices.load(), 0);

  // The same request once the link is connected.
  ASSERT_TRUE(pair.host.Ask(PeerProtocol::SYS_Offline, "", PeerProtocol::OFFLINE_TIMEOUT_MS, &answer));
  EXPECT_EQ(answer, PeerProtocol::OK);
  EXPECT_EQ(pair.node.machine.offlineNotices.load(), 1);
}

// Keeps the connection its listener accepted.
class Accepted : public IOnConnectionEstablished {
 public:
  void OnConnectionEstablished(IOXConnection* connection) override { connection_.store(connection); }
  IOXConnection* Get() {
    resource_test::WaitUntil([&] { return connection_.load() != nullptr; });
    return connection_.load();
  }

 private:
  std::atomic<IOXConnection*> connection_{nullptr};
};

TEST(PeerRequestLink, OfflineNoticeOnAConnectionTheLinkNoLongerUsesGetsNoAnswer) {
  ScriptedPair pair(PeerTimings());
  ASSERT_TRUE(pair.Connect());
  std::shared_ptr<IHeartBeatLink> link = pair.node.Link(ScriptedPair::kPairLink);
  ASSERT_TRUE(link);

  // A connection that still names the link as its processor while the link
  // uses another one, as the one it replaced.
  Accepted accepted;
  std::unique_ptr<OXTcpListener> listener;
  for (int attempt = 0; attempt < 50 && !listener; ++attempt) {
    listener.reset(new OXTcpListener("127.0.0.1", tarrow_test::UnusedLoopbackPort(), nullptr, nullptr));
    listener->SetOnConnectionEstablished(&accepted);
    if (listener->StartListen() != 0 || !listener->IsListening()) listener.reset();
  }
  ASSERT_TRUE(listener);
  std::unique_ptr<TcpOXConnection> stale(new TcpOXConnection(link.get(), link.get()));
  stale->Connect("127.0.0.1", listener->GetPort());
  IOXConnection* peerEnd = accepted.Get();
  ASSERT_NE(peerEnd, nullptr);

  std::string answer;
  EXPECT_FALSE(ScriptedHost::Ask(peerEnd, PeerProtocol::SYS_Offline, "", 1000, &answer)) << "answered " << answer;
  EXPECT_EQ(pair.node.machine.offlineNotices.load(), 0);

  // The link's own connection is served.
  ASSERT_TRUE(pair.host.Ask(PeerProtocol::SYS_Offline, "", PeerProtocol::OFFLINE_TIMEOUT_MS, &answer));
  EXPECT_EQ(answer, PeerProtocol::OK);
  EXPECT_EQ(pair.node.machine.offlineNotices.load(), 1);
  stale.reset();  // waits for a job still counted on it
}

}  // namespace
}  // namespace core_test
