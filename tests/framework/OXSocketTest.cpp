#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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
