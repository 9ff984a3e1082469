#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/CoreFixture.h"
#include "core/CoreTestSupport.h"
#include "core/IHeartBeatLink.h"
#include "core/PeerProcess.h"
#include "framework/Exception.h"
#include "framework/MD5.h"
#include "framework/OXServerSocket.h"
#include "framework/OXSocket.h"
#include "support/LoopDevice.h"
#include "support/LoopbackPorts.h"
#include "support/PtyRelay.h"
#include "support/SkipRule.h"

namespace {

using core_test::CoreFixture;
using core_test::CorePeerProcess;
using core_test::Eventually;
using core_test::FastTimings;
using core_test::Node;
using core_test::NodeSettings;
using Oxbrindale::Velmora::Core::HaTimings;
using Oxbrindale::Velmora::Core::IHeartBeatLink;
using Oxbrindale::Velmora::Framework::OXServerSocket;
using Oxbrindale::Velmora::Framework::OXSocket;

// Accepts on a server socket and closes every client at once, noting when.
class CountingServer {
 public:
  CountingServer() : server_(tarrow_test::ListeningServerSocket()) {
    if (server_ != nullptr) thread_ = std::thread([this] { Run(); });
  }
  ~CountingServer() {
    if (server_ != nullptr) server_->Close();
    if (thread_.joinable()) thread_.join();
  }
  unsigned short Port() const { return server_ != nullptr ? server_->GetPort() : 0; }
  std::vector<long long> Accepts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return accepts_;
  }

 private:
  void Run() {
    for (;;) {
      OXSocket* client;
      try {
        client = server_->Accept();
      } catch (Exception* e) {
        delete e;
        return;
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        accepts_.push_back(core_test::NowMs());
      }
      delete client;
    }
  }

  std::unique_ptr<OXServerSocket> server_;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<long long> accepts_;
};

class LinkKinds : public CoreFixture {
 protected:
  // The relay's two ends stand in for /dev/ttyS0 and /dev/ttyS1 under the
  // system root "root" of the test's folder.
  void ServeAsSerialPorts(const tarrow_test::PtyRelay& relay) {
    ASSERT_TRUE(relay.Ok());
    dir.MakeDir("root/dev");
    ASSERT_EQ(0, symlink(relay.PathA().c_str(), dir.File("root/dev/ttyS0").c_str()));
    ASSERT_EQ(0, symlink(relay.PathB().c_str(), dir.File("root/dev/ttyS1").c_str()));
  }
};

TEST_F(LinkKinds, TcpHostNeverConnectsTheOtherSideRetries) {
  HaTimings timings = FastTimings();
  timings.retryWaitMs = 300;
  {
    CountingServer server;
    ASSERT_NE(0, server.Port());
    NodeSettings settings;
    settings.hostRole = 1;
    settings.port = server.Port();
    Node host(settings, timings);
    auto link = host.AddLink(401, 0, "127.0.0.1", "a", "b");
    // Several retry steps pass without a connection.
    ASSERT_TRUE(Eventually([&] { return link->GetStatus() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(5 * 300));
    EXPECT_TRUE(server.Accepts().empty());
    EXPECT_EQ(1, link->GetStatus());
    EXPECT_EQ(2, link->GetPendOperation());
  }
  CountingServer server;
  ASSERT_NE(0, server.Port());
  NodeSettings settings;
  settings.port = server.Port();
  Node other(settings, timings);
  other.AddLink(402, 0, "127.0.0.1", "a", "b");
  ASSERT_TRUE(Eventually([&] { return server.Accepts().size() >= 4; }));
  const std::vector<long long> accepts = server.Accepts();
  for (size_t i = 1; i < accepts.size(); ++i) EXPECT_GE(accepts[i] - accepts[i - 1], 300 - 50) << i;
}

TEST_F(LinkKinds, HostRoleOtherThanOneActsAsTheOtherSide) {
  CountingServer server;
  ASSERT_NE(0, server.Port());
  NodeSettings settings;
  settings.hostRole = 2;
  settings.port = server.Port() + 65536;  // the port is the low 16 bits
  Node node(settings);
  node.manager->InitHeartBeat();
  EXPECT_EQ(nullptr, node.manager->GetListener());
  node.AddLink(407, 0, "127.0.0.1", "a", "b");
  EXPECT_TRUE(Eventually([&] { return server.Accepts().size() >= 2; })) << "it connects like the other side";
  const std::string trace = dir.Read("log/trace.log");
  size_t lines = 0;
  for (size_t at = trace.find("主机标志"); at != std::string::npos; at = trace.find("主机标志", at + 1)) ++lines;
  EXPECT_EQ(1u, lines) << trace;
}

TEST_F(LinkKinds, RemovedLinksGoThroughTheLinkDownNotice) {
  NodeSettings settings;
  settings.hostRole = 1;
  settings.beatTimeout = 5000;
  Node host(settings);
  auto first = host.AddLink(408, 0, "127.0.0.1", "a", "b");
  auto second = host.AddLink(409, 0, "127.0.0.1", "a", "b");
  const unsigned short port = host.Listen();
  ASSERT_NE(0, port);
  NodeSettings otherSettings;
  otherSettings.port = port;
  otherSettings.beatTimeout = 5000;
  Node other(otherSettings);
  auto firstPeer = other.AddLink(408, 0, "127.0.0.1", "a", "b");
  auto secondPeer = other.AddLink(409, 0, "127.0.0.1", "a", "b");
  ASSERT_TRUE(Eventually([&] { return first->GetStatus() == 2 && second->GetStatus() == 2; }));
  ASSERT_TRUE(Eventually([&] { return firstPeer->GetStatus() == 2 && secondPeer->GetStatus() == 2; }));

  auto remove = [&](int id) {
    std::shared_ptr<IHeartBeatLink> link = host.manager->RemoveHeartBeatLinkById(id);
    ASSERT_NE(nullptr, link);
    link->StopThread();
    EXPECT_EQ(5, link->GetStatus());
  };
  remove(408);
  first.reset();
  EXPECT_TRUE(Eventually([&] { return firstPeer->GetStatus() != 2; })) << "the host closed its connection";
  EXPECT_EQ(0, host.machine.failureChecks.load()) << "another link is still up";
  EXPECT_EQ(2, second->GetStatus());
  remove(409);
  second.reset();
  EXPECT_EQ(1, host.machine.failureChecks.load());
}

TEST_F(LinkKinds, KilledPeerDropsTheLinkAtOnce) {
  NodeSettings settings;
  settings.hostRole = 1;
  settings.beatTimeout = 600000;  // only the lost connection can end the link
  settings.maxFailures = 1000;
  Node host(settings);
  auto link = host.AddLink(403, 0, "127.0.0.1", "a", "b");
  const unsigned short hostPort = host.Listen();
  ASSERT_NE(0, hostPort);
  tarrow_test::TempDir peerDir;
  peerDir.MakeDir("configs");
  CorePeerProcess peer({peerDir.Path(), "0", std::to_string(hostPort), "100", "600000", "1000", "403", "0",
                        "127.0.0.1", "a", "b"});
  ASSERT_TRUE(peer.Ok());
  ASSERT_TRUE(Eventually([&] { return link->GetStatus() == 2; }, 60000));

  peer.Kill();
  EXPECT_TRUE(Eventually([&] { return link->GetStatus() == 1; }));
  EXPECT_TRUE(Eventually([&] { return host.alarms.Count(6, "\"link403\"已经断开了") == 1; }));
  EXPECT_EQ(1, host.machine.failureChecks.load());
}

TEST_F(LinkKinds, SerialLinkBothWaysOverARelayedLine) {
  tarrow_test::PtyRelay relay;
  ASSERT_NO_FATAL_FAILURE(ServeAsSerialPorts(relay));
  tarrow_test::TestEnv serialEnv(dir.Path(), dir.File("root"));

  HaTimings timings = FastTimings();
  timings.validationWaitMs = 20000;
  NodeSettings hostSettings;
  hostSettings.hostRole = 1;
  hostSettings.beatTimeout = 10000;
  Node host(hostSettings, timings);
  NodeSettings otherSettings;
  otherSettings.beatTimeout = 10000;
  Node other(otherSettings, timings);
  auto hostLink = host.AddLink(404, 1, "COM1", "a", "b", "9600");
  auto otherLink = other.AddLink(404, 1, "COM2", "a", "b", "9600");  // "COM2" is /dev/ttyS1

  ASSERT_TRUE(Eventually([&] { return hostLink->GetStatus() == 2 && otherLink->GetStatus() == 2; }, 90000));
  EXPECT_TRUE(Eventually([&] { return host.alarms.Count(6, "\"link404\"已经建立了！") == 1; }));
  // Beats run both ways.
  const uint16_t before = hostLink->GetConnectionFailureCount() + otherLink->GetConnectionFailureCount();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(2, hostLink->GetStatus());
  EXPECT_EQ(2, otherLink->GetStatus());
  EXPECT_EQ(before, hostLink->GetConnectionFailureCount() + otherLink->GetConnectionFailureCount());

  relay.Cut();
  EXPECT_TRUE(Eventually([&] { return hostLink->GetStatus() != 2 && otherLink->GetStatus() != 2; }, 60000));
  EXPECT_TRUE(Eventually([&] { return host.alarms.Count(6, "已经断开了") >= 1; }));
  EXPECT_TRUE(Eventually([&] { return other.alarms.Count(6, "已经断开了") >= 1; }));
}

TEST_F(LinkKinds, SerialConnectionGoesToItsOwnLinkOnly) {
  tarrow_test::PtyRelay relay;
  ASSERT_NO_FATAL_FAILURE(ServeAsSerialPorts(relay));
  tarrow_test::TestEnv serialEnv(dir.Path(), dir.File("root"));
  core_test::EventLog events;

  HaTimings timings = FastTimings();
  timings.validationWaitMs = 2000;
  NodeSettings hostSettings;
  hostSettings.hostRole = 1;
  Node host(hostSettings, timings);
  Node other(NodeSettings{}, timings);
  auto hostSerial = host.AddLink(410, 1, "COM1", "a", "b", "9600");
  auto hostTcp = host.AddLink(411, 0, "127.0.0.1", "a", "b");
  auto otherSerial = other.AddLink(411, 1, "COM2", "a", "b", "9600");  // the peer numbers its serial link 411

  // The handshake over the line names link 411, a TCP link of the host; the
  // exchange ends there (with the peer's proof it would have gone on within
  // moments).
  ASSERT_TRUE(Eventually([&] { return events.Count("DEBUG:新的连接，序号：411") >= 1; }, 90000));
  std::this_thread::sleep_for(std::chrono::milliseconds(2000));
  EXPECT_NE(2, otherSerial->GetStatus()) << "no proof of the host was asked for";
  EXPECT_EQ(1, hostTcp->GetStatus());
  EXPECT_NE(2, hostSerial->GetStatus());
  EXPECT_EQ(0, host.alarms.Count(6, "已经建立了"));
}

TEST_F(LinkKinds, SerialAddressWithoutAPortWaitsAndRetries) {
  Node node(NodeSettings{});
  auto link = node.AddLink(405, 1, "COM0", "a", "b", "9600");
  ASSERT_TRUE(Eventually([&] { return link->GetStatus() == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(1, link->GetStatus());
  EXPECT_EQ(2, link->GetPendOperation());
}

// The quorum disk: two loop devices over one image, a node in each of two
// processes (the transport takes its side from its process's settings).
TEST_F(LinkKinds, QuorumLinkBetweenTwoProcessesSurvivesARestart) {
  std::string why;
  if (!tarrow_test::LoopDevice::Supported(&why)) TARROW_SKIP_UNLESS_PRIVILEGED(why);
  const std::string image = dir.File("quorum.img");
  tarrow_test::LoopDevice::CreateImage(image, 8 << 20);
  {
    // A first block of its own gives the disk an identity no other disk has.
    std::ifstream random("/dev/urandom", std::ios::binary);
    std::string head(32768, '\0');
    random.read(&head[0], static_cast<std::streamsize>(head.size()));
    std::fstream disk(image, std::ios::binary | std::ios::in | std::ios::out);
    disk.write(head.data(), static_cast<std::streamsize>(head.size()));
  }
  std::string identity;
  {
    std::ifstream disk(image, std::ios::binary);
    std::string head(32768, '\0');
    disk.read(&head[0], static_cast<std::streamsize>(head.size()));
    identity = Oxbrindale::Velmora::Framework::MD5(head).toString();
  }
  tarrow_test::LoopDevice first(image);
  ASSERT_TRUE(first.Ok()) << first.Error();
  tarrow_test::LoopDevice second(image);
  ASSERT_TRUE(second.Ok()) << second.Error();

  // Each process sees its own loop device as the disk "sdq" of its own
  // /dev/disk/by-path.
  tarrow_test::TempDir hostDir;
  tarrow_test::TempDir otherDir;
  for (auto home : {std::make_pair(&hostDir, &first), std::make_pair(&otherDir, &second)}) {
    home.first->MakeDir("configs");
    home.first->MakeDir("root/dev/disk/by-path");
    ASSERT_EQ(0, symlink(home.second->Path().c_str(), home.first->File("root/dev/sdq").c_str()));
    ASSERT_EQ(0, symlink("../../sdq", home.first->File("root/dev/disk/by-path/pci-0000:00:10.0-scsi-0:0:0:0").c_str()));
  }
  auto start = [&](const tarrow_test::TempDir& home, const char* role) {
    return std::unique_ptr<CorePeerProcess>(new CorePeerProcess(
        {home.Path(), role, "15538", "200", "1000", "3", "406", "2", identity, "a", "b", home.File("root")}));
  };
  std::unique_ptr<CorePeerProcess> host = start(hostDir, "1");
  std::unique_ptr<CorePeerProcess> other = start(otherDir, "0");
  ASSERT_TRUE(host->Ok() && other->Ok());
  ASSERT_TRUE(host->WaitStatus(2, 120000));
  ASSERT_TRUE(other->WaitStatus(2, 120000));

  other->Kill();
  ASSERT_TRUE(host->WaitStatus(1, 120000)) << "the host loses the killed peer";
  other = start(otherDir, "0");
  EXPECT_TRUE(other->WaitStatus(2, 120000)) << "the restarted peer finds the disk again";
  EXPECT_TRUE(host->WaitStatus(2, 120000));
}

}  // namespace
