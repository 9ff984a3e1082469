#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ConnectionTestSupport.h"
#include "PeerProcess.h"
#include "RecordingNode.h"
#include "config/ConfigManager.h"
#include "config/HeartBeatGlobalConfig.h"
#include "protocol/IOXConnection.h"
#include "protocol/IOnConnectionDisconnected.h"
#include "protocol/IPushPackProcessor.h"
#include "protocol/IRequestPackProcessor.h"
#include "protocol/OXPack.h"
#include "protocol/OXQuorum.h"
#include "protocol/QuorumOXConnection.h"
#include "support/LoopDevice.h"
#include "support/SkipRule.h"
#include "support/TempDir.h"
#include "support/TestEnv.h"

using Oxbrindale::Velmora::Config::ConfigManager;
using Oxbrindale::Velmora::Framework::OXQuorum;
using Oxbrindale::Velmora::OXProctol::IOnConnectionDisconnected;
using Oxbrindale::Velmora::OXProctol::IOXConnection;
using Oxbrindale::Velmora::OXProctol::IPushPackProcessor;
using Oxbrindale::Velmora::OXProctol::IRequestPackProcessor;
using Oxbrindale::Velmora::OXProctol::OXPack;
using Oxbrindale::Velmora::OXProctol::QuorumOXConnection;
using tarrow_test::FailureText;
using tarrow_test::LoopDevice;
using tarrow_test::MsSince;
using tarrow_test::PeerProcess;
using tarrow_test::RecordingNode;
using tarrow_test::TempDir;
using tarrow_test::TestEnv;

namespace {

using Clock = tarrow_test::SteadyClock;

const char* const kMode = "TARROW_QUORUM_PEER_MODE";
const char* const kDevice = "TARROW_QUORUM_PEER_DEVICE";
const char* const kHost = "TARROW_QUORUM_PEER_HOST";
const char* const kPoll = "TARROW_QUORUM_PEER_POLL";
const char* const kDir = "TARROW_QUORUM_PEER_DIR";
const char* const kGate = "TARROW_QUORUM_PEER_GATE";

const uint64_t kImageBytes = 3u << 20;
const uint64_t kOtherBase = 1048576;

// FNV-1a of text, in hexadecimal: how the two processes compare contents.
std::string Hash(const std::string& text) {
  uint64_t hash = 1469598103934665603ULL;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 1099511628211ULL;
  }
  char out[17];
  std::snprintf(out, sizeof(out), "%016llx", static_cast<unsigned long long>(hash));
  return out;
}

// Body number i of a flood: LF, UTF-8 and a length that varies.
std::string Payload(int i) {
  std::string body = "#" + std::to_string(i) + "\n";
  for (int k = i % 97; k > 0; --k) body += "中a|";
  body += "\nend";
  if (i % 5 == 0) body += "\n";
  return body;
}

// Sets the host-role flag that QuorumOXConnection::Connect reads.
void SetHostRole(bool host) { ConfigManager::Instance()->GetHeartBeatGlobalConfig()->SetHostRole(host ? 1 : 0); }

// ---------------------------------------------------------------------------
// The peer process (a PeerProcess), playing one node.
//
// Either mode first reports "ready" and waits until the file named in kGate
// exists before it touches the disk.
// mode "connection": a QuorumOXConnection; it answers "ECHO" requests with
// the body and "FLOOD" (body n) by sending n "ECHO" requests of its own on
// another thread and checking each answer; reports "connected" or "failed
// <code> <message>", "push <command> <body length> <hash>" for every push,
// "flood <correct answers>" and "disconnected".
// mode "raw": an OXQuorum with a 131072-byte receive buffer; reports
// "connected"/"failed", "message <length> <hash>" for every message and
// "error <code> <message>" when Receive fails.
// The process then waits to be killed.

void Report(const std::string& line) { PeerProcess::Report(line); }

// The peer is up; the test says when it may begin its handshake.
void PassGate() {
  Report("ready");
  const char* gate = std::getenv(kGate);
  while (gate != nullptr && ::access(gate, F_OK) != 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

class PeerNode : public IPushPackProcessor, public IRequestPackProcessor, public IOnConnectionDisconnected {
 public:
  void OnReceivedRequestPack(IOXConnection* connection, OXPack* pack) override {
    if (pack->command == "ECHO") {
      connection->SendResponsePack("RET", pack->body, pack->packId);
    } else if (pack->command == "FLOOD") {
      const int count = std::atoi(pack->body.c_str());
      connection->SendResponsePack("RET", "started", pack->packId);
      std::thread([connection, count] {
        int correct = 0;
        for (int i = 0; i < count; ++i) {
          std::string* answer = nullptr;
          const std::string failure = FailureText([&] { answer = connection->Request("ECHO", Payload(i), 20000); });
          if (failure.empty() && answer != nullptr && *answer == Payload(i)) ++correct;
          delete answer;
        }
        Report("flood " + std::to_string(correct));
      }).detach();
    }
  }
  void OnReceivedPushPack(IOXConnection*, OXPack* pack) override {
    Report("push " + pack->command + " " + std::to_string(pack->body.size()) + " " + Hash(pack->body));
  }
  void OnConnectionDisconnected(IOXConnection*) override { Report("disconnected"); }
};

int RunPeer(const std::string& mode, const std::string& device, bool host, unsigned int pollMs) {
  if (mode == "connection") {
    static PeerNode node;  // lives until the process is killed
    SetHostRole(host);
    QuorumOXConnection* connection = new QuorumOXConnection(&node, &node);
    connection->SetPollInterval(pollMs);
    connection->disconnectedListener.store(&node);
    PassGate();
    const std::string failure = FailureText([&] { connection->Connect(device); });
    Report(failure.empty() ? "connected" : "failed " + failure);
    PeerProcess::WaitToBeKilled();
  }
  if (mode == "raw") {
    OXQuorum* quorum = new OXQuorum(device);
    quorum->SetPollInterval(pollMs);
    PassGate();
    if (!quorum->Open(host)) {
      Report("failed");
      PeerProcess::WaitToBeKilled();
    }
    Report("connected");
    std::vector<char> buffer(OXQuorum::WORK_BUFFER);
    for (;;) {
      unsigned long length = 0;
      const std::string failure = FailureText([&] { length = quorum->Receive(buffer.data(), buffer.size()); });
      if (!failure.empty()) {
        Report("error " + failure);
        PeerProcess::WaitToBeKilled();
      }
      Report("message " + std::to_string(length) + " " + Hash(std::string(buffer.data(), length)));
    }
  }
  return 4;
}

// Turns this test program into a peer when it was started as one.
class QuorumPeerEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (!PeerProcess::BecomePeer(kMode)) return;
    static TestEnv env(std::getenv(kDir));
    _exit(RunPeer(std::getenv(kMode), std::getenv(kDevice), std::string(std::getenv(kHost)) == "1",
                  static_cast<unsigned int>(std::atoi(std::getenv(kPoll)))));
  }
};

::testing::Environment* const g_quorumPeerEnvironment = ::testing::AddGlobalTestEnvironment(new QuorumPeerEnvironment);

// One shared disk seen by two "hosts": two loop devices over one image,
// each with its own page cache. The test reads the image itself to see what
// reached the disk.
class SharedDisk {
 public:
  SharedDisk() {
    // tmpfs when there is one: the synchronous writes of the mailboxes stay cheap.
    char tmpl[] = "/dev/shm/tarrow-quorum-XXXXXX";
    char fallback[] = "/tmp/tarrow-quorum-XXXXXX";
    const char* made = ::mkdtemp(tmpl);
    if (made == nullptr) made = ::mkdtemp(fallback);
    if (made == nullptr) return;
    _dir = made;
    _image = _dir + "/disk.img";
    LoopDevice::CreateImage(_image, kImageBytes);
    _a.reset(new LoopDevice(_image));
    _b.reset(new LoopDevice(_image));
  }
  ~SharedDisk() {
    _a.reset();
    _b.reset();
    if (!_image.empty()) ::unlink(_image.c_str());
    if (!_dir.empty()) ::rmdir(_dir.c_str());
  }

  bool Ok() const { return _a != nullptr && _a->Ok() && _b != nullptr && _b->Ok(); }
  std::string Error() const {
    if (_a == nullptr) return "no image";
    return _a->Error() + " " + (_b != nullptr ? _b->Error() : "");
  }
  const std::string& DeviceA() const { return _a->Path(); }
  const std::string& DeviceB() const { return _b->Path(); }

  // length bytes of the image at offset.
  std::string Read(uint64_t offset, size_t length) const {
    std::string bytes(length, '\0');
    const int fd = ::open(_image.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "";
    const ssize_t got = ::pread(fd, &bytes[0], length, static_cast<off_t>(offset));
    ::close(fd);
    return got == static_cast<ssize_t>(length) ? bytes : "";
  }
  char Byte(uint64_t offset) const {
    const std::string one = Read(offset, 1);
    return one.empty() ? static_cast<char>(-1) : one[0];
  }
  // Makes device refuse (or take again) every write from now on, also
  // through descriptors already open: a disk that fails under the link.
  static bool SetReadOnly(const std::string& device, bool readOnly) {
    const int fd = ::open(device.c_str(), O_RDONLY | O_CLOEXEC);
    int flag = readOnly ? 1 : 0;
    const bool ok = fd >= 0 && ::ioctl(fd, BLKROSET, &flag) == 0;
    if (fd >= 0) ::close(fd);
    return ok;
  }
  // Writes one sector starting with the byte first at offset of the image
  // through a device, unbuffered.
  bool WriteSectorVia(const std::string& device, uint64_t offset, char first) const {
    void* sector = nullptr;
    if (::posix_memalign(&sector, 4096, 512) != 0) return false;
    std::memset(sector, 0, 512);
    static_cast<char*>(sector)[0] = first;
    const int fd = ::open(device.c_str(), O_RDWR | O_DIRECT | O_DSYNC | O_CLOEXEC);
    const bool ok = fd >= 0 && ::pwrite(fd, sector, 512, static_cast<off_t>(offset)) == 512;
    if (fd >= 0) ::close(fd);
    std::free(sector);
    return ok;
  }

 private:
  std::string _dir;
  std::string _image;
  std::unique_ptr<LoopDevice> _a;
  std::unique_ptr<LoopDevice> _b;
};

// Program directory for this process and its peers, with configs/.
struct Workplace {
  Workplace() : env(dir.Path()) {
    dir.MakeDir("configs");
    dir.MakeDir("peer/configs");
  }
  std::string PeerDir() const { return dir.File("peer/"); }
  std::string PeerOutput() const { return dir.File("peer.out"); }
  std::string PeerPrinted() const { return dir.Read("peer.out"); }

  TempDir dir;
  TestEnv env;
};

// A frame (pack text and its NUL) of exactly size bytes: a push whose body
// fills it up.
std::string FrameOfSize(const std::string& command, size_t size, std::string* body) {
  OXPack pack("push", command, "");
  const size_t base = pack.ToFrame().size();
  pack.body = std::string(size - base, 'b');
  *body = pack.body;
  return pack.ToFrame();
}

bool AllZero(const std::string& bytes) { return !bytes.empty() && bytes.find_first_not_of('\0') == std::string::npos; }

// A program directory and a shared disk for every test; skipped where loop
// devices cannot be made.
class QuorumDiskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!LoopDevice::Supported(&why)) TARROW_SKIP_UNLESS_PRIVILEGED(why);
    ASSERT_NO_FATAL_FAILURE(UseFreshDisk());
  }

  // A new program directory and a new shared disk in place of the old ones.
  void UseFreshDisk() {
    disk.reset();
    place.reset();
    place.reset(new Workplace());
    disk.reset(new SharedDisk());
    ASSERT_TRUE(disk->Ok()) << disk->Error();
  }

  // A peer process of mode ("connection" or "raw") on device, on the host
  // side when host: started and ready, but held before it touches the disk
  // until ReleasePeer(). Each side allows the handshake 5 s, which the start
  // of a process on a loaded machine must not use up.
  std::unique_ptr<PeerProcess> StartPeer(const std::string& mode, const std::string& device, bool host,
                                         unsigned int pollMs = 20) {
    gate_ = "gate-" + std::to_string(++gates_);
    std::unique_ptr<PeerProcess> peer = PeerProcess::Start({{kMode, mode},
                                                            {kDevice, device},
                                                            {kHost, host ? "1" : "0"},
                                                            {kPoll, std::to_string(pollMs)},
                                                            {kDir, place->PeerDir()},
                                                            {kGate, place->dir.File(gate_)}},
                                                           place->PeerOutput());
    if (peer == nullptr) return nullptr;
    const std::string line = peer->NextLine(60000);
    if (line != "ready") {
      ADD_FAILURE() << "the peer did not come up: " << line;
      return nullptr;
    }
    return peer;
  }
  // Lets the peer last started begin its handshake.
  void ReleasePeer() { place->dir.Write(gate_, ""); }
  // Waits until the handshake byte of the disk (offset 0) is value.
  bool HandshakeByteBecomes(char value) {
    const auto start = Clock::now();
    while (disk->Byte(0) != value) {
      if (MsSince(start) > 30000) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }

  // Starts a peer of mode on the other device, then opens *quorum on this
  // side's device (DeviceA for the host side) and waits until the peer has
  // the link too.
  void LinkWithPeer(const std::string& mode, bool host, std::unique_ptr<OXQuorum>* quorum,
                    std::unique_ptr<PeerProcess>* peer) {
    *peer = StartPeer(mode, host ? disk->DeviceB() : disk->DeviceA(), !host);
    ASSERT_NE(nullptr, *peer);
    ReleasePeer();
    quorum->reset(new OXQuorum(host ? disk->DeviceA() : disk->DeviceB()));
    (*quorum)->SetPollInterval(20);
    ASSERT_TRUE((*quorum)->Open(host));
    ASSERT_EQ("connected", (*peer)->NextLine(15000));
  }

  std::unique_ptr<Workplace> place;
  std::unique_ptr<SharedDisk> disk;

 private:
  std::string gate_;
  int gates_ = 0;
};

class QuorumLinkConcurrency : public QuorumDiskTest {};
class QuorumLink : public QuorumDiskTest {};
class QuorumHandshakeConcurrency : public QuorumDiskTest {};

}  // namespace

// Whichever side comes first, the handshake pairs them; both command areas
// are zero afterwards; packs move both ways; closing one side tells the other.
TEST_F(QuorumLinkConcurrency, HandshakeInEitherOrderThenPacksBothWays) {
  struct Case {
    bool parentIsHost;
    bool parentFirst;
  };
  const Case cases[] = {{true, true}, {false, true}, {true, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.parentIsHost ? "host" : "other") + (c.parentFirst ? " first" : " second"));
    if (&c != &cases[0]) {
      ASSERT_NO_FATAL_FAILURE(UseFreshDisk());  // every case on a disk of its own
    }
    SetHostRole(c.parentIsHost);
    RecordingNode node;
    QuorumOXConnection connection(&node, &node);
    connection.disconnectedListener.store(&node);
    EXPECT_EQ("quorum", connection.GetRemoteAddr());
    EXPECT_FALSE(connection.IsConnected());
    std::unique_ptr<PeerProcess> peer;
    std::string failure = "not run";
    // The side that comes first shows by its first mark on the handshake
    // byte: the host writes 0 (over a 9 planted here), the other side 1.
    const char hostMark = 0, otherMark = 1;
    ASSERT_TRUE(disk->WriteSectorVia(disk->DeviceA(), 0, 9));
    peer = StartPeer("connection", disk->DeviceB(), !c.parentIsHost);
    ASSERT_NE(nullptr, peer);
    if (c.parentFirst) {
      std::thread connecting([&] { failure = FailureText([&] { connection.Connect(disk->DeviceA()); }); });
      EXPECT_TRUE(HandshakeByteBecomes(c.parentIsHost ? hostMark : otherMark));
      ReleasePeer();
      connecting.join();
    } else {
      ReleasePeer();
      ASSERT_TRUE(HandshakeByteBecomes(c.parentIsHost ? otherMark : hostMark));
      failure = FailureText([&] { connection.Connect(disk->DeviceA()); });
    }
    ASSERT_EQ("", failure);
    ASSERT_EQ("connected", peer->NextLine(15000));
    EXPECT_TRUE(connection.IsConnected());
    EXPECT_TRUE(AllZero(disk->Read(0, 2048)));
    EXPECT_TRUE(AllZero(disk->Read(kOtherBase, 2048)));

    connection.SetPollInterval(20);
    std::unique_ptr<std::string> answer(connection.Request("ECHO", "a\nb\n中", 20000));
    ASSERT_NE(nullptr, answer);
    EXPECT_EQ("a\nb\n中", *answer);
    answer.reset(connection.Request("FLOOD", "3", 20000));
    ASSERT_NE(nullptr, answer);
    EXPECT_EQ("flood 3", peer->NextLine(20000));
    connection.SendPack(new OXPack("push", "BYE", "soon"));
    EXPECT_EQ("push BYE 4 " + Hash("soon"), peer->NextLine(20000));

    connection.Disconnect();
    EXPECT_EQ("disconnected", peer->NextLine(20000));
    EXPECT_EQ(1, disk->Byte((c.parentIsHost ? 0 : kOtherBase) + 1024));  // our bye flag
  }
}

// 1000 requests each way at the same time, every answer compared.
TEST_F(QuorumLinkConcurrency, ThousandPacksBothWaysEachChecked) {
  SetHostRole(true);
  RecordingNode node;
  QuorumOXConnection connection(&node, &node);
  connection.SetPollInterval(1);
  std::unique_ptr<PeerProcess> peer = StartPeer("connection", disk->DeviceB(), false, 1);
  ASSERT_NE(nullptr, peer);
  ReleasePeer();
  ASSERT_EQ("", FailureText([&] { connection.Connect(disk->DeviceA()); }));
  ASSERT_EQ("connected", peer->NextLine(15000));

  std::unique_ptr<std::string> started(connection.Request("FLOOD", "1000", 20000));
  ASSERT_NE(nullptr, started);
  EXPECT_EQ("started", *started);
  int correct = 0;
  for (int i = 0; i < 1000; ++i) {
    std::string* answer = nullptr;
    const std::string failure = FailureText([&] { answer = connection.Request("ECHO", Payload(i + 7), 20000); });
    ASSERT_EQ("", failure) << "request " << i;
    ASSERT_NE(nullptr, answer) << "request " << i;
    if (*answer == Payload(i + 7)) ++correct;
    delete answer;
  }
  EXPECT_EQ(1000, correct);
  EXPECT_EQ("flood 1000", peer->NextLine(120000));
  EXPECT_EQ(0, node.disconnects.load());
}

// A peer that stops taking messages: the sender gives up after 5 s with
// "send timeout!", withdraws its message and says bye.
TEST_F(QuorumLinkConcurrency, FrozenPeerGivesSendTimeoutAndTheMailboxIsWithdrawn) {
  std::unique_ptr<PeerProcess> peer;
  std::unique_ptr<OXQuorum> quorum;
  ASSERT_NO_FATAL_FAILURE(LinkWithPeer("connection", true, &quorum, &peer));
  const std::string first = OXPack("push", "FIRST", "1").ToFrame();
  ASSERT_EQ("", FailureText([&] { quorum->Send(first.data(), first.size()); }));
  EXPECT_EQ("push FIRST 1 " + Hash("1"), peer->NextLine(20000));

  peer->Freeze();
  const std::string second = OXPack("push", "SECOND", "2").ToFrame();
  const auto start = Clock::now();
  EXPECT_EQ("CON_TIMEOUT send timeout!", FailureText([&] { quorum->Send(second.data(), second.size()); }));
  EXPECT_GE(MsSince(start), 5000);
  EXPECT_FALSE(quorum->IsOpened());
  EXPECT_EQ(0, disk->Byte(1536));  // mailbox withdrawn
  EXPECT_EQ(1, disk->Byte(1024));  // bye flag
  EXPECT_EQ("SOCKET_DISCONNECTED quorum virtual connection is closed!",
            FailureText([&] { quorum->Send(second.data(), second.size()); }));

  peer->Thaw();
  EXPECT_EQ("disconnected", peer->NextLine(20000));  // the withdrawn message is not delivered
}

// Closing while a message waits in the own mailbox: the peer still takes the
// message, then sees the bye flag.
TEST_F(QuorumLinkConcurrency, CloseWithAMessagePendingDeliversItThenSaysBye) {
  std::unique_ptr<PeerProcess> peer;
  std::unique_ptr<OXQuorum> quorum;
  ASSERT_NO_FATAL_FAILURE(LinkWithPeer("connection", true, &quorum, &peer));

  peer->Freeze();
  const std::string frame = OXPack("push", "LAST", "words").ToFrame();
  std::string failure = "not run";
  std::thread sending([&] { failure = FailureText([&] { quorum->Send(frame.data(), frame.size()); }); });
  const auto start = Clock::now();
  while (disk->Byte(1536) != 1 && MsSince(start) < 30000) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(1, disk->Byte(1536));
  quorum->Close();
  sending.join();
  EXPECT_EQ("CON_ERR the file is closed, send failure!", failure);
  EXPECT_EQ(1, disk->Byte(1536));  // still waiting
  EXPECT_EQ(1, disk->Byte(1024));  // and bye

  peer->Thaw();
  EXPECT_EQ("push LAST 5 " + Hash("words"), peer->NextLine(20000));
  EXPECT_EQ("disconnected", peer->NextLine(20000));
  EXPECT_TRUE(AllZero(disk->Read(1536, 512)));  // taken
  EXPECT_NE(std::string::npos, place->PeerPrinted().find("remote disconnect this connection!"));
}

// A receiver that cannot write its acknowledgement hands the message out
// once and closes, instead of taking it again at every look.
TEST_F(QuorumLinkConcurrency, FailedAcknowledgementDoesNotDeliverTheMessageTwice) {
  std::unique_ptr<PeerProcess> peer;
  std::unique_ptr<OXQuorum> quorum;
  ASSERT_NO_FATAL_FAILURE(LinkWithPeer("connection", false, &quorum, &peer));
  OXPack request("request", "ECHO", "once");
  const std::string frame = request.ToFrame();
  ASSERT_EQ("", FailureText([&] { quorum->Send(frame.data(), frame.size()); }));

  ASSERT_TRUE(SharedDisk::SetReadOnly(disk->DeviceB(), true));
  std::vector<char> buffer(65537);
  unsigned long length = 0;
  const std::string failure = FailureText([&] { length = quorum->Receive(buffer.data(), 65536); });
  SharedDisk::SetReadOnly(disk->DeviceB(), false);
  ASSERT_EQ("", failure);
  std::unique_ptr<OXPack> answer(OXPack::Parse(std::string(buffer.data(), length - 1)));
  ASSERT_NE(nullptr, answer);
  EXPECT_EQ("response", answer->kind);
  EXPECT_EQ(request.packId, answer->packId);
  EXPECT_EQ("once", answer->body);
  EXPECT_FALSE(quorum->IsOpened());
  EXPECT_EQ("CON_ERR quorum virtual connection is closed!",
            FailureText([&] { quorum->Receive(buffer.data(), 65536); }));
}

// 1048568 bytes is the most Send takes at all (more: refused, still open);
// 131072 the most one message can carry (more: closed); 65536 the longest
// frame a connection's receive thread takes (more: the receiver closes).
TEST_F(QuorumLinkConcurrency, SizeLimits) {
  {
    std::unique_ptr<PeerProcess> raw;
    std::unique_ptr<OXQuorum> quorum;
    ASSERT_NO_FATAL_FAILURE(LinkWithPeer("raw", true, &quorum, &raw));

    std::string big(1048569, 'x');
    EXPECT_EQ("CON_ERR Buffer is to big!", FailureText([&] { quorum->Send(big.data(), big.size()); }));
    EXPECT_TRUE(quorum->IsOpened());

    ASSERT_EQ("", FailureText([&] { quorum->Send("y", 1); }));
    EXPECT_EQ("message 1 " + Hash("y"), raw->NextLine(20000));
    EXPECT_TRUE(AllZero(disk->Read(1536, 512)));  // acknowledged: the mailbox sector is all zeros

    std::string largest(131072, '\0');
    for (size_t i = 0; i < largest.size(); ++i) largest[i] = static_cast<char>(i * 7 + i / 512);
    ASSERT_EQ("", FailureText([&] { quorum->Send(largest.data(), largest.size()); }));
    EXPECT_EQ("message 131072 " + Hash(largest), raw->NextLine(20000));

    big.resize(131073);
    EXPECT_EQ("BUFF_OVER buffer overflow", FailureText([&] { quorum->Send(big.data(), big.size()); }));
    EXPECT_FALSE(quorum->IsOpened());
    EXPECT_EQ("error CON_ERR remote disconnect this connection!", raw->NextLine(20000));
  }
  {
    std::unique_ptr<PeerProcess> peer;
    std::unique_ptr<OXQuorum> quorum;
    ASSERT_NO_FATAL_FAILURE(LinkWithPeer("connection", true, &quorum, &peer));

    std::string body;
    const std::string fits = FrameOfSize("BIG", 65536, &body);
    ASSERT_EQ(65536u, fits.size());
    ASSERT_EQ("", FailureText([&] { quorum->Send(fits.data(), fits.size()); }));
    EXPECT_EQ("push BIG " + std::to_string(body.size()) + " " + Hash(body), peer->NextLine(20000));

    const std::string tooLong = FrameOfSize("HUGE", 70000, &body);
    const std::string failure = FailureText([&] { quorum->Send(tooLong.data(), tooLong.size()); });
    EXPECT_TRUE(failure == "CON_TIMEOUT send timeout!" || failure == "CON_ERR the file is closed, send failure!")
        << failure;
    EXPECT_EQ("disconnected", peer->NextLine(20000));
    EXPECT_NE(std::string::npos, place->PeerPrinted().find("buffer is too small!65536,70000"));
  }
}

// The host alone: Connect gives up after a little more than 5 s, leaving
// its bye flag on the disk.
TEST_F(QuorumLink, HostAloneFailsAndLeavesItsByeFlag) {
  SetHostRole(true);
  RecordingNode node;
  QuorumOXConnection connection(&node, &node);
  const auto start = Clock::now();
  EXPECT_EQ("CONN_ERR establish virtual disk connection fail!",
            FailureText([&] { connection.Connect(disk->DeviceA()); }));
  EXPECT_GE(MsSince(start), 5000);
  EXPECT_FALSE(connection.IsConnected());
  EXPECT_EQ(1, disk->Byte(1024));
  EXPECT_EQ("quorum", connection.GetRemoteAddr());
  EXPECT_EQ("OXPROCTOL 连接已经断开，无法发送数据！",
            FailureText([&] { connection.SendPack(new OXPack("push", "X", "")); }));

  QuorumOXConnection missing(&node, &node);
  EXPECT_EQ("CONN_ERR establish virtual disk connection fail!",
            FailureText([&] { missing.Connect("/nonexistent/quorum"); }));
}

// A handshake byte that keeps changing under a side: the host fails at once
// on a value it never expects while waiting; the other side, whose mark is
// overwritten again and again, gives up after its 5 s like any other wait.
TEST_F(QuorumHandshakeConcurrency, DisturbedHandshakeEndsInBoundedTime) {
  struct Case {
    bool host;
    char planted;
    long long atLeastMs;
    long long belowMs;
  };
  const Case cases[] = {{true, 3, 0, 4000}, {true, 2, 0, 4000}, {false, 0, 5000, 10000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.host ? "host" : "other") + " with " + std::to_string(c.planted) + " planted");
    if (&c != &cases[0]) {
      ASSERT_NO_FATAL_FAILURE(UseFreshDisk());  // every case on a disk of its own
    }
    std::atomic<bool> done{false};
    std::thread hammer([&] {
      const auto start = Clock::now();
      while (!done.load() && MsSince(start) < 15000) {
        disk->WriteSectorVia(disk->DeviceB(), 0, c.planted);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });
    OXQuorum quorum(disk->DeviceA());
    const auto start = Clock::now();
    const bool opened = quorum.Open(c.host);
    const long long elapsed = MsSince(start);
    done.store(true);
    hammer.join();
    EXPECT_FALSE(opened);
    EXPECT_FALSE(quorum.IsOpened());
    EXPECT_GE(elapsed, c.atLeastMs);
    EXPECT_LT(elapsed, c.belowMs);
    EXPECT_EQ(1, disk->Byte((c.host ? 0 : kOtherBase) + 1024));
  }
}
