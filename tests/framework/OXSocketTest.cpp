#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "framework/Env.h"
#include "framework/Exception.h"
#include "framework/OXServerSocket.h"
#include "framework/OXSocket.h"
#include "support/LoopbackPorts.h"
#include "support/Thrown.h"
#include "support/UnansweredPort.h"
#include "support/SkipRule.h"

using Oxbrindale::Velmora::Framework::OXServerSocket;
using Oxbrindale::Velmora::Framework::OXSocket;
using tarrow_test::ListeningServerSocket;
using tarrow_test::Thrown;
using tarrow_test::UnusedLoopbackPort;

namespace {

long long ElapsedMs(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count();
}


// A connected client socket and the server side of the same connection.
struct Pair {
  std::unique_ptr<OXServerSocket> server;
  std::unique_ptr<OXSocket> client;
  std::unique_ptr<OXSocket> accepted;
};

Pair Connected() {
  Pair pair;
  pair.server = ListeningServerSocket();
  pair.client.reset(new OXSocket());
  pair.client->Connect("127.0.0.1", pair.server->GetPort());
  pair.accepted.reset(pair.server->Accept());
  return pair;
}

bool DescriptorOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

// A listening plain socket on 127.0.0.1: the far end of a client OXSocket,
// driven byte for byte by the test.
class RawServer {
 public:
  RawServer() {
    _fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in address;
    std::memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (::bind(_fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) != 0 || ::listen(_fd, 4) != 0 ||
        ::getsockname(_fd, reinterpret_cast<struct sockaddr*>(&address), &length) != 0) {
      ADD_FAILURE() << "cannot listen on 127.0.0.1";
    }
    _port = ntohs(address.sin_port);
  }
  ~RawServer() { ::close(_fd); }
  unsigned short Port() const { return _port; }
  int Accept() { return ::accept4(_fd, nullptr, nullptr, SOCK_CLOEXEC); }

 private:
  int _fd;
  unsigned short _port = 0;
};

void SendRaw(int fd, const std::string& data) {
  size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    ASSERT_GT(n, 0);
    sent += static_cast<size_t>(n);
  }
}

// Closes fd with a reset instead of an orderly close.
void ResetRaw(int fd) {
  struct linger abort = {1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
  ::close(fd);
}

std::string Pattern(size_t length) {
  std::string data(length, '\0');
  for (size_t i = 0; i < length; ++i) data[i] = static_cast<char>(i * 131 + i / 4099);
  return data;
}

// Runs body on a thread of its own inside a network namespace of its own,
// first configured by the shell script setup run in there. The machine's
// own network is never touched: the namespace and everything in it vanish
// with the thread. false when no network namespace can be made here.
bool InPrivateNetwork(const std::string& setup, const std::function<void()>& body) {
  bool made = false;
  std::thread worker([&] {
    if (::unshare(CLONE_NEWNET) != 0) return;
    made = true;
    // A child started from this thread lives in its namespace.
    const std::string command = "/bin/sh -e -c '" + setup + "'";
    const int status = std::system(command.c_str());
    if (status != 0) {
      ADD_FAILURE() << "network setup failed (" << status << "): " << setup;
      return;
    }
    body();
  });
  worker.join();
  return made;
}

TEST(OXSocket, ConnectFailuresAreClassified) {
  OXSocket socket;
  EXPECT_EQ(Thrown([&] { socket.Connect("", 80); }),
            std::make_pair(std::string("IP_OR_DOMAIN_ERROR"), std::string("the ipaddress is empty!")));

  const unsigned short port = UnusedLoopbackPort();
  EXPECT_EQ(Thrown([&] { socket.Connect("127.0.0.1", port); }),
            std::make_pair(std::string("SOCKET_REJECTED"), std::string("尝试连接远程服务器发生错误，远程服务器拒绝连接！")));
  EXPECT_FALSE(socket.IsConnected());

  // The same object connects once somebody listens there (its descriptor
  // from the refused attempt is reused).
  OXServerSocket server(port);
  server.BeginListen();
  socket.Connect("127.0.0.1", port);
  EXPECT_TRUE(socket.IsConnected());
  EXPECT_EQ(socket.GetPeerAddress(), "127.0.0.1");
  EXPECT_EQ(socket.GetPort(), port);

  EXPECT_EQ(Thrown([&] { socket.Connect("127.0.0.1", port); }).first, "SOCKET_AREADY_CONNECTED");
  EXPECT_TRUE(socket.IsConnected());
}

// Both forms of Connect name a refused or unreachable server the same way;
// the timed one keeps its own time-out (TimedConnectResolvesNamesAndReportsItsTimeOut).
TEST(OXSocket, TimedConnectClassifiesRefusedLikeThePlainOne) {
  for (bool timed : {false, true}) {
    // A connection of a test running beside this one may take the free port
    // as its own before the server below listens there: then another port.
    for (int attempt = 1;; ++attempt) {
      const unsigned short port = UnusedLoopbackPort();
      OXSocket socket;
      auto connect = [&] {
        if (timed) {
          socket.Connect("127.0.0.1", port, 10);
        } else {
          socket.Connect("127.0.0.1", port);
        }
      };
      EXPECT_EQ(Thrown(connect),
                std::make_pair(std::string("SOCKET_REJECTED"), std::string("尝试连接远程服务器发生错误，远程服务器拒绝连接！")))
          << (timed ? "timed" : "plain");
      EXPECT_FALSE(socket.IsConnected());

      // The same object connects once somebody listens there.
      OXServerSocket server(port);
      try {
        server.BeginListen();
      } catch (Exception* e) {
        delete e;
        ASSERT_LT(attempt, 20) << "no port stayed free";
        continue;
      }
      connect();
      EXPECT_TRUE(socket.IsConnected());
      std::unique_ptr<OXSocket> accepted(server.Accept());
      socket.Send("hi", 2);
      char buffer[4] = {0};
      accepted->Receive(buffer, 2);
      EXPECT_EQ(std::string(buffer), "hi");
      break;
    }
  }
}

// 192.0.2.0/24 inside a namespace of the test: once behind a route that
// rejects at once, once on a link where nobody answers the neighbour
// discovery (the failure then comes while the connection is being set up).
TEST(OXSocket, UnreachableServerIsClassifiedByBothConnects) {
  const std::string unreachableRoute = "ip link set lo up; ip route add unreachable 192.0.2.0/24";
  const std::string silentLink =
      "ip link set lo up; ip link add tv0 type veth peer name tv1; ip link set tv1 up; ip link set tv0 up;"
      " ip addr add 192.0.2.1/24 dev tv0;"
      " echo 100 > /proc/sys/net/ipv4/neigh/tv0/retrans_time_ms;"
      " echo 1 > /proc/sys/net/ipv4/neigh/tv0/mcast_solicit";
  const auto unreachable =
      std::make_pair(std::string("SOCKET_REMOTE_NOT_EXIST"), std::string("尝试连接远程服务器发生错误，远程服务器不存在！"));
  for (const std::string& setup : {unreachableRoute, silentLink}) {
    std::vector<std::pair<std::string, std::string>> failures;
    const bool made = InPrivateNetwork(setup, [&] {
      OXSocket plain;
      failures.push_back(Thrown([&] { plain.Connect("192.0.2.9", 80); }));
      OXSocket timed;
      failures.push_back(Thrown([&] { timed.Connect("192.0.2.9", 80, 60); }));
      EXPECT_FALSE(plain.IsConnected());
      EXPECT_FALSE(timed.IsConnected());
    });
    if (!made) TARROW_SKIP_UNLESS_PRIVILEGED("no permission for a private network namespace");
    const std::vector<std::pair<std::string, std::string>> want(2, unreachable);
    EXPECT_EQ(failures, want) << setup;
  }
}

TEST(OXSocket, HostNameIsResolvedAndPeerAddressIsTheDottedText) {
  std::unique_ptr<OXServerSocket> server = ListeningServerSocket();
  OXSocket socket;
  socket.Connect("localhost", server->GetPort());
  EXPECT_EQ(socket.GetPeerAddress(), "127.0.0.1");
  std::unique_ptr<OXSocket> accepted(server->Accept());
  EXPECT_EQ(accepted->GetPeerAddress(), "127.0.0.1");
  EXPECT_EQ(accepted->GetPort(), server->GetPort());
  EXPECT_EQ(OXSocket::GetIPAddressFromDomainName("localhost"), "127.0.0.1");
}

TEST(OXSocket, FramesAreCutAtTheStopByteAndNothingAfterItIsLost) {
  Pair pair = Connected();
  // Three frames in one write, then one frame trickled in tiny pieces.
  const std::string burst = std::string("first\0second\0", 13) + std::string("\0", 1);
  pair.client->Send(burst.data(), static_cast<int>(burst.size()));
  EXPECT_EQ(pair.accepted->ReceiveUntilChar('\0'), "first");
  EXPECT_EQ(pair.accepted->ReceiveUntilChar('\0'), "second");
  EXPECT_EQ(pair.accepted->ReceiveUntilChar('\0'), "");

  std::thread writer([&] {
    const std::string slow = std::string("a\nslow\nframe", 12) + std::string("\0tail", 5);
    for (char c : slow) {
      pair.client->Send(&c, 1);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  EXPECT_EQ(pair.accepted->ReceiveUntilChar('\0'), "a\nslow\nframe");
  writer.join();
  // The bytes after the frame are handed out by Receive, the read-ahead first.
  std::string tail;
  while (tail.size() < 4) {
    char buffer[16] = {0};
    pair.accepted->Receive(buffer, sizeof(buffer) - 1);
    tail += buffer;
  }
  EXPECT_EQ(tail, "tail");
}

TEST(OXSocket, ReceiveWithADeadlineGivesUpOnASilentPeerAndCloses) {
  Pair pair = Connected();
  using Oxbrindale::Velmora::Framework::Env;
  pair.accepted->Send("220 ready\r\n250-first\r\n", 23);
  EXPECT_EQ("220 ready\r", pair.client->ReceiveLine(Env::Get()->DeadlineAfter(5000)));
  EXPECT_EQ("250-first\r", pair.client->ReceiveLine(Env::Get()->DeadlineAfter(5000)));

  // The rest of the reply never comes: the deadline ends the wait.
  pair.accepted->Send("250 la", 6);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Thrown([&] { pair.client->ReceiveLine(Env::Get()->DeadlineAfter(300)); }),
            std::make_pair(std::string("SOCKET_TIMEOUT"), std::string("socket receiving timeout shutdown connection. ")));
  EXPECT_GE(ElapsedMs(start), 290);
  EXPECT_FALSE(pair.client->IsConnected());
}

TEST(OXSocket, TimedConnectResolvesNamesAndReportsItsTimeOut) {
  std::unique_ptr<OXServerSocket> server = ListeningServerSocket();
  OXSocket byName;
  byName.Connect("localhost", server->GetPort(), 5);
  EXPECT_EQ(byName.GetPeerAddress(), "127.0.0.1");

  tarrow_test::UnansweredPort unanswered;
  OXSocket silent;
  auto start = std::chrono::steady_clock::now();
  const auto failure = Thrown([&] { silent.Connect("127.0.0.1", unanswered.Port(), 1); });
  EXPECT_EQ(failure, std::make_pair(std::string("SOCKET_TIMEOUT"), std::string("无法建立连接！")));
  EXPECT_GE(ElapsedMs(start), 990);
  EXPECT_FALSE(silent.IsConnected());
}

TEST(OXSocket, FrameTextLimitIs16367Bytes) {
  struct Case {
    size_t length;
    bool accepted;
  };
  for (const Case& c : {Case{16367, true}, Case{16368, false}, Case{40000, false}}) {
    Pair pair = Connected();
    std::thread writer([&] {
      std::string frame(c.length, 'x');
      frame.push_back('\0');
      frame += "next";
      frame.push_back('\0');
      try {
        pair.client->Send(frame.data(), static_cast<int>(frame.size()));
      } catch (Exception* e) {
        delete e;  // the reader may already have hung up
      }
    });
    if (c.accepted) {
      EXPECT_EQ(pair.accepted->ReceiveUntilChar('\0').size(), c.length);
      EXPECT_EQ(pair.accepted->ReceiveUntilChar('\0'), "next");
    } else {
      EXPECT_EQ(Thrown([&] { pair.accepted->ReceiveUntilChar('\0'); }),
                std::make_pair(std::string("IO"), std::string("封包太大！")))
          << c.length;
    }
    writer.join();
  }
}

TEST(OXSocket, LargeSendIsCompletedWhileThePeerReadsSlowly) {
  Pair pair = Connected();
  // Far more than the socket buffers hold: the kernel takes it in pieces.
  std::string data(8 * 1024 * 1024, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + (i * 7 + i / 4093) % 26);
  std::string received;
  std::thread reader([&] {
    std::vector<char> buffer(65536);
    while (received.size() < data.size()) {
      std::fill(buffer.begin(), buffer.end(), '\0');
      char* start = buffer.data();
      pair.accepted->Receive(start, static_cast<int>(buffer.size()));
      // Receive does not report the count: the test data holds no NUL.
      received.append(start, strnlen(start, buffer.size()));
      if (received.size() < 1024 * 1024) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  pair.client->Send(data.data(), static_cast<int>(data.size()));
  reader.join();
  EXPECT_TRUE(received == data);
}

TEST(OXSocket, SendGivesUpAfterFourEmptyTurnsAndCloses) {
  Pair pair = Connected();
  pair.client->SetTurnMs(100);
  std::string data(64 * 1024 * 1024, 'z');  // the peer reads nothing
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(Thrown([&] { pair.client->Send(data.data(), static_cast<int>(data.size())); }),
            std::make_pair(std::string("SOCKET_TIMEOUT"), std::string("socket sending timeout shutdown connection. ")));
  EXPECT_GE(ElapsedMs(started), 390);
  EXPECT_FALSE(pair.client->IsConnected());
  EXPECT_EQ(Thrown([&] { pair.client->Send("x", 1); }),
            std::make_pair(std::string("SOCKET_DISCONNECTED"), std::string("Socket没有连接!")));
}

TEST(OXSocket, SendToAClosedPeerFailsWithoutSigpipe) {
  // SIGPIPE keeps its default action (end the process) in this test.
  Pair pair = Connected();
  pair.accepted.reset();
  std::pair<std::string, std::string> failure;
  for (int i = 0; i < 200 && failure.first.empty(); ++i) {
    failure = Thrown([&] { pair.client->Send("ping", 4); });
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(failure.first, "SOCKET_CHANNEL_DISCONNECTED");
  EXPECT_EQ(failure.second.rfind("发送数据错误，关闭SOCKET! send return -1 ", 0), 0u) << failure.second;
  EXPECT_FALSE(pair.client->IsConnected());
}

TEST(OXSocket, PeerCloseFailsReceiveWithErrorNumberZero) {
  Pair pair = Connected();
  pair.client->Send("abc", 3);
  pair.client.reset();
  char buffer[8] = {0};
  pair.accepted->Receive(buffer, sizeof(buffer));
  EXPECT_EQ(std::string(buffer), "abc");
  EXPECT_EQ(Thrown([&] { pair.accepted->Receive(buffer, sizeof(buffer)); }),
            std::make_pair(std::string("SOCKET_CHANNEL_DISCONNECTED"),
                           std::string("接收数据错误，关闭SOCKET! send return -1 0:Success")));
  EXPECT_FALSE(pair.accepted->IsConnected());
}

TEST(OXSocket, BigTransfersMoveEveryByte) {
  Pair pair = Connected();
  for (size_t length : {size_t(0), size_t(1), size_t(4096), size_t(4097), size_t(3 * 1024 * 1024 + 5)}) {
    const std::string data = Pattern(length);
    std::string received(length, '\0');
    std::thread reader([&] { pair.accepted->ReceiveBig(&received[0], length); });
    std::string copy = data;
    pair.client->SendBig(&copy[0], length);
    reader.join();
    EXPECT_TRUE(received == data) << length;
  }
  // Nothing more than asked for was taken: the next frame is intact.
  pair.client->Send("next\0", 5);
  EXPECT_EQ(pair.accepted->ReceiveUntilChar('\0'), "next");
}

TEST(OXSocket, ReceiveBigFailsWhenThePeerLeavesMidway) {
  struct Case {
    bool reset;
    std::pair<std::string, std::string> failure;
  };
  const Case cases[] = {
      {false, {"SOCKET_CHANNEL_DISCONNECTED", "断开连接。"}},
      {true, {"SOCKET_RECEIVE_ERROR", "接收数据错误，自动关闭SOCKET，请重新建立连接，WSAErrorCode=104"}},
  };
  for (const Case& c : cases) {
    RawServer server;
    OXSocket socket;
    socket.Connect("127.0.0.1", server.Port());
    const int peer = server.Accept();
    ASSERT_GE(peer, 0);
    SendRaw(peer, Pattern(10000));  // of the 20000 bytes expected
    if (c.reset) {
      ResetRaw(peer);
    } else {
      ::close(peer);
    }
    std::vector<char> buffer(20000);
    EXPECT_EQ(Thrown([&] { socket.ReceiveBig(buffer.data(), buffer.size()); }), c.failure) << c.reset;
    EXPECT_FALSE(socket.IsConnected());
    EXPECT_EQ(Thrown([&] { socket.ReceiveBig(buffer.data(), 1); }).first, "SOCKET_DISCONNECTED");
  }
}

TEST(OXSocket, SendBigToAResetPeerFailsWithItsErrorNumber) {
  RawServer server;
  OXSocket socket;
  socket.Connect("127.0.0.1", server.Port());
  ResetRaw(server.Accept());
  std::string data = Pattern(16 * 1024 * 1024);  // more than the buffers hold
  const auto failure = Thrown([&] { socket.SendBig(&data[0], data.size()); });
  EXPECT_EQ(failure.first, "SOCKET_CHANNEL_DISCONNECTED");
  const std::string prefix = "发送数据错误，自动关闭SOCKET，请重新建立连接，WSAErrorCode=";
  ASSERT_EQ(failure.second.rfind(prefix, 0), 0u) << failure.second;
  const std::string number = failure.second.substr(prefix.size());
  EXPECT_TRUE(number == "104" || number == "32") << number;  // reset, or the broken pipe after it
  EXPECT_FALSE(socket.IsConnected());
}

TEST(OXSocket, ServerReadySignal) {
  OXSocket socket;
  auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(socket.WatiServerReady(300));
  EXPECT_GE(ElapsedMs(started), 290);

  socket.SetServerReady();
  EXPECT_TRUE(socket.WatiServerReady(0));
  EXPECT_TRUE(socket.WatiServerReady(100000));  // the mark stays set

  // A connect clears the mark but not the pending signal: the next wait
  // still answers at once.
  std::unique_ptr<OXServerSocket> server = ListeningServerSocket();
  socket.Connect("127.0.0.1", server->GetPort());
  started = std::chrono::steady_clock::now();
  EXPECT_TRUE(socket.WatiServerReady(5000));
  EXPECT_LT(ElapsedMs(started), 1000);
}

TEST(OXSocket, DisconnectWithoutDescriptorIsHarmless) {
  OXSocket socket;
  socket.Disconnect();
  socket.Disconnect();
  EXPECT_FALSE(socket.IsConnected());
  EXPECT_EQ(Thrown([&] { socket.Send("x", 1); }),
            std::make_pair(std::string("SOCKET_DISCONNECTED"), std::string("Socket没有连接!")));
  char byte;
  EXPECT_EQ(Thrown([&] { socket.Receive(&byte, 1); }).first, "SOCKET_DISCONNECTED");
}

TEST(OXServerSocket, BusyPortFailsTheBindAndClosesTheDescriptor) {
  std::unique_ptr<OXServerSocket> first = ListeningServerSocket();
  OXServerSocket second(first->GetPort());
  const std::string port = std::to_string(first->GetPort());
  EXPECT_EQ(Thrown([&] { second.BeginListen(); }),
            std::make_pair(std::string("SOCKET"),
                           "尝试绑定端口:" + port + " 失败，请修改TCP/IP侦听端口配置，WSAErrorCode=98"));
  EXPECT_EQ(second.GetState(), OXServerSocket::STATE_CREATED);
  EXPECT_EQ(Thrown([&] { second.Accept(); }).first, "SOCKET");
  EXPECT_EQ(first->GetState(), OXServerSocket::STATE_LISTENING);
}

// Threads on one socket: a sender, a receiver and a third thread that
// disconnects.
TEST(OXSocketConcurrency, DisconnectEndsBothUsersAtOnceAndClosesAfterThem) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
  OXSocket socket(fds[0], "local", 1);
  std::atomic<bool> receiverIn{false};
  std::string receiveCode;
  std::string sendCode;
  std::thread receiver([&] {
    receiverIn.store(true);
    receiveCode = Thrown([&] { socket.ReceiveUntilChar('\0'); }).first;
  });
  std::thread sender([&] {
    std::string big(16 * 1024 * 1024, 'q');  // the other end reads nothing
    sendCode = Thrown([&] { socket.Send(big.data(), static_cast<int>(big.size())); }).first;
  });
  while (!receiverIn.load()) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));

  const auto started = std::chrono::steady_clock::now();
  socket.Disconnect();
  receiver.join();
  sender.join();
  EXPECT_LT(ElapsedMs(started), 2500);  // not a whole 5 s turn
  EXPECT_EQ(receiveCode, "SOCKET_DISCONNECTED");
  EXPECT_EQ(sendCode, "SOCKET_DISCONNECTED");
  EXPECT_FALSE(DescriptorOpen(fds[0]));
  ::close(fds[1]);
}

TEST(OXSocketConcurrency, CloseWakesABlockedAccept) {
  std::unique_ptr<OXServerSocket> server = ListeningServerSocket();
  std::string code;
  std::thread acceptor([&] { code = Thrown([&] { delete server->Accept(); }).first; });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const auto started = std::chrono::steady_clock::now();
  server->Close();
  acceptor.join();
  EXPECT_LT(ElapsedMs(started), 2000);
  EXPECT_EQ(code, "SOCKET");
  EXPECT_EQ(server->GetState(), OXServerSocket::STATE_CLOSED);
}

TEST(OXSocketConcurrency, SenderAndReceiverShareOneSocket) {
  Pair pair = Connected();
  const int frames = 2000;
  std::thread echo([&] {
    for (int i = 0; i < frames; ++i) {
      std::string text = pair.accepted->ReceiveUntilChar('\0');
      text.push_back('\0');
      pair.accepted->Send(text.data(), static_cast<int>(text.size()));
    }
  });
  std::thread sender([&] {
    for (int i = 0; i < frames; ++i) {
      std::string text = "frame " + std::to_string(i) + std::string(i % 300, '.');
      text.push_back('\0');
      pair.client->Send(text.data(), static_cast<int>(text.size()));
    }
  });
  for (int i = 0; i < frames; ++i) {
    ASSERT_EQ(pair.client->ReceiveUntilChar('\0'), "frame " + std::to_string(i) + std::string(i % 300, '.'));
  }
  sender.join();
  echo.join();
}

}  // namespace
