#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ConnectionTestSupport.h"
#include "RecordingNode.h"
#include "framework/Exception.h"
#include "protocol/ComOXConnection.h"
#include "protocol/OXCom.h"
#include "protocol/OXPack.h"
#include "support/PtyPair.h"
#include "support/PtyRelay.h"
#include "support/TempDir.h"
#include "support/TestEnv.h"
#include "support/ThreadSnapshot.h"

using Oxbrindale::Velmora::Framework::OXCom;
using Oxbrindale::Velmora::OXProctol::ComOXConnection;
using Oxbrindale::Velmora::OXProctol::OXPack;
using tarrow_test::Eventually;
using tarrow_test::FailureText;
using tarrow_test::MsSince;
using tarrow_test::PtyPair;
using tarrow_test::PtyRelay;
using tarrow_test::RecordingNode;
using tarrow_test::TempDir;
using tarrow_test::TestEnv;
using tarrow_test::ThreadSnapshot;

namespace {

using Clock = tarrow_test::SteadyClock;

// CPU time (user + system) of the whole process so far, in ms.
long long ProcessCpuMs() {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000LL +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000;
}

std::string Frame(const std::string& kind, const std::string& command, const std::string& body) {
  return kind + "\n" + command + "\n{00000000-0000-0000-0000-000000000001}\n2024-1-2 03:04:05\n" + body +
         std::string(1, '\0');
}

// A ComOXConnection on a pseudo terminal whose far end the test plays: the
// test answers the handshake by hand on the master.
struct FarEnd {
  PtyPair pty;
  RecordingNode node;
  std::unique_ptr<ComOXConnection> connection;
};

std::unique_ptr<FarEnd> ConnectToFarEnd() {
  std::unique_ptr<FarEnd> far(new FarEnd());
  if (!far->pty.Ok()) return nullptr;
  far->connection.reset(new ComOXConnection(&far->node, &far->node));
  far->connection->disconnectedListener.store(&far->node);
  std::string failure = "not run";
  std::thread connecting(
      [&] { failure = FailureText([&] { far->connection->Connect(far->pty.SlavePath(), 115200); }); });
  // The port sends its CR about a second after it opened; answer it.
  const std::string first = far->pty.ReadUntil('\r', 10000);
  far->pty.Write("\r");
  connecting.join();
  EXPECT_EQ("\r", first);
  EXPECT_EQ("", failure);
  if (!failure.empty()) return nullptr;
  // The port's second CR answers a far end that came later.
  EXPECT_EQ("\r", far->pty.ReadUntil('\r', 5000));
  return far;
}

}  // namespace

// Two nodes on the two ends of a relayed line, each opening "/dev/ttyS<n>"
// through the system-path seam.
TEST(SerialLineConcurrency, BothNodesHandshakeAndExchangePacksBothWays) {
  PtyRelay line;
  ASSERT_TRUE(line.Ok());
  TempDir root;
  root.MakeDir("dev");
  ASSERT_EQ(0, symlink(line.PathA().c_str(), root.File("dev/ttyS0").c_str()));
  ASSERT_EQ(0, symlink(line.PathB().c_str(), root.File("dev/ttyS1").c_str()));
  TestEnv env(root.Path(), root.Path().substr(0, root.Path().size() - 1));

  RecordingNode nodeA, nodeB;
  ComOXConnection a(&nodeA, &nodeA);
  ComOXConnection b(&nodeB, &nodeB);
  EXPECT_EQ("COM", a.GetRemoteAddr());
  EXPECT_FALSE(a.IsConnected());
  std::string failureA = "not run";
  std::thread connecting([&] { failureA = FailureText([&] { a.Connect("/dev/ttyS0", 9600); }); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // B comes a little later
  const std::string failureB = FailureText([&] { b.Connect("/dev/ttyS1", 9600); });
  connecting.join();
  ASSERT_EQ("", failureA);
  ASSERT_EQ("", failureB);
  EXPECT_TRUE(a.IsConnected());
  EXPECT_TRUE(b.IsConnected());
  EXPECT_EQ("COM", b.GetRemoteAddr());

  // The line is raw at the configured speed, 8 data bits, 2 stop bits (a
  // pseudo terminal keeps no parity setting, so that is not seen here).
  const int fd = open(line.PathA().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  struct termios settings;
  ASSERT_EQ(0, tcgetattr(fd, &settings));
  close(fd);
  EXPECT_EQ(B9600, cfgetospeed(&settings));
  EXPECT_EQ(B9600, cfgetispeed(&settings));
  EXPECT_EQ(0u, settings.c_lflag & (ICANON | ECHO | ISIG | IEXTEN));
  EXPECT_EQ(0u, settings.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP));
  EXPECT_EQ(0u, settings.c_oflag & OPOST);
  EXPECT_EQ(static_cast<tcflag_t>(CS8 | CSTOPB | CREAD | CLOCAL),
            settings.c_cflag & (CSIZE | CSTOPB | CREAD | CLOCAL | CRTSCTS));
  EXPECT_NE(0u, settings.c_iflag & INPCK);

  // Requests both ways; bodies of every shape, one larger than the line's buffers.
  const std::vector<std::string> bodies = {"", "a\nb\n", "中文 | {x}\t", std::string(60000, 'q') + "\nend"};
  for (const std::string& body : bodies) {
    std::unique_ptr<std::string> fromB(a.Request("ECHO", body, 20000));
    ASSERT_NE(nullptr, fromB);
    EXPECT_EQ(body, *fromB);
    std::unique_ptr<std::string> fromA(b.Request("ECHO", body, 20000));
    ASSERT_NE(nullptr, fromA);
    EXPECT_EQ(body, *fromA);
  }
  // Pushes interleaved from both sides arrive in order (fewer than a send
  // queue holds).
  for (int i = 0; i < 15; ++i) {
    a.SendPack(new OXPack("push", "A", std::to_string(i)));
    b.SendPack(new OXPack("push", "B", std::to_string(i)));
  }
  ASSERT_TRUE(Eventually([&] { return nodeA.PushCount() == 15 && nodeB.PushCount() == 15; }));
  for (int i = 0; i < 15; ++i) {
    EXPECT_EQ("B:" + std::to_string(i), nodeA.Pushes()[i]);
    EXPECT_EQ("A:" + std::to_string(i), nodeB.Pushes()[i]);
  }
  EXPECT_EQ(0, nodeA.disconnects.load());
  EXPECT_EQ(0, nodeB.disconnects.load());
}

// A hang-up makes every read return at once with nothing: the connection
// must close instead of reading nothing forever.
TEST(SerialLineConcurrency, FarEndGoneClosesTheConnectionWithoutSpinning) {
  std::unique_ptr<FarEnd> far = ConnectToFarEnd();
  ASSERT_NE(nullptr, far);
  ASSERT_TRUE(far->pty.Write(Frame("push", "HELLO", "there")));
  ASSERT_TRUE(Eventually([&] { return far->node.PushCount() == 1; }));

  const long long cpuBefore = ProcessCpuMs();
  const auto start = Clock::now();
  far->pty.CloseMaster();
  ASSERT_TRUE(Eventually([&] { return far->node.disconnects.load() == 1; }));
  EXPECT_FALSE(far->connection->IsConnected());
  // Stay a while: a spinning thread would burn a whole core meanwhile.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const long long wallMs = MsSince(start);
  const long long cpuMs = ProcessCpuMs() - cpuBefore;
  EXPECT_LT(cpuMs, wallMs / 2) << "cpu " << cpuMs << " ms in " << wallMs << " ms";
  EXPECT_EQ("OXPROCTOL 连接已经断开，无法发送数据！",
            FailureText([&] { far->connection->SendPack(new OXPack("push", "LATE", "")); }));
  EXPECT_EQ(std::vector<std::string>{"HELLO:there"}, far->node.Pushes());
}

// The line starts cooked (echo, CR to LF, signal characters, flow control,
// LF to CR LF on output); after Connect every byte passes unchanged.
TEST(SerialLineConcurrency, CookedLineIsMadeRawSoBytesPassUnchanged) {
  std::unique_ptr<FarEnd> far = ConnectToFarEnd();
  ASSERT_NE(nullptr, far);
  const std::string controls = "\x03\x04\x11\x13\x1a\x7f\x1c|\xe4\xb8\xad\n";
  ASSERT_TRUE(far->pty.Write(Frame("push", "RAW", controls + "x\r\ny\r\n")));
  ASSERT_TRUE(Eventually([&] { return far->node.PushCount() == 1; }));
  EXPECT_EQ("RAW:" + controls + "x\ny\n", far->node.Pushes()[0]);  // CR never enters a frame

  far->connection->SendPack(new OXPack("push", "OUT", "l1\nl2\n"));
  const std::string frame = far->pty.ReadUntil('\0', 5000);
  EXPECT_EQ(0u, frame.find("push\nOUT\n{")) << frame;
  EXPECT_NE(std::string::npos, frame.find("\nl1\nl2\n" + std::string(1, '\0'))) << frame;
  EXPECT_EQ(std::string::npos, frame.find('\r')) << "LF turned into CR LF";
  // Nothing was echoed back to the far end.
  EXPECT_EQ("", far->pty.ReadFor(200));
}

// A frame may be 65536 bytes long with its NUL; one byte more drops the
// connection. Frames with fewer than five fields are skipped.
TEST(SerialLineConcurrency, FrameSizeLimitDropsTheConnectionBeyond65536Bytes) {
  std::unique_ptr<FarEnd> far = ConnectToFarEnd();
  ASSERT_NE(nullptr, far);
  const std::string head = "push\nBIG\n{00000000-0000-0000-0000-000000000001}\n2024-1-2 03:04:05\n";
  const std::string largest = head + std::string(65535 - head.size(), 'z') + std::string(1, '\0');
  ASSERT_EQ(65536u, largest.size());
  ASSERT_TRUE(far->pty.Write(std::string("noise\n\0", 7) + largest));
  ASSERT_TRUE(Eventually([&] { return far->node.PushCount() == 1; }));
  EXPECT_EQ("BIG:" + std::string(65535 - head.size(), 'z'), far->node.Pushes()[0]);
  EXPECT_EQ(0, far->node.disconnects.load());

  // The port reads all of it before it can tell, so the writer always ends.
  std::thread writer([&] { far->pty.Write(std::string(65536, 'y')); });
  EXPECT_TRUE(Eventually([&] { return far->node.disconnects.load() == 1; }));
  writer.join();
  EXPECT_FALSE(far->connection->IsConnected());
}

// A local Disconnect wakes the receive thread at once (no 15 s read to wait
// out), so deleting a connection on an idle line is quick.
TEST(SerialLineConcurrency, DeletingAConnectionOnAnIdleLineDoesNotWaitForTheReadTimeout) {
  const ThreadSnapshot before;
  std::unique_ptr<FarEnd> far = ConnectToFarEnd();
  ASSERT_NE(nullptr, far);
  // The receive thread waits on the line (a thread stopped before its first
  // read ends without a disconnect notice).
  ASSERT_TRUE(before.WaitUntilNewThreadsWaitForInput(1, 30000));
  const auto start = Clock::now();
  far->connection.reset();
  EXPECT_LT(MsSince(start), 10000);
  EXPECT_EQ(1, far->node.disconnects.load());
}

TEST(SerialLineConcurrency, ConnectFailsWhenTheDeviceIsMissingOrTheHandshakeIsWrong) {
  RecordingNode node;
  {
    ComOXConnection connection(&node, &node);
    EXPECT_EQ("COM_ERR 打开串口失败！", FailureText([&] { connection.Connect("/nonexistent/ttyS9", 9600); }));
    EXPECT_FALSE(connection.IsConnected());
  }
  PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  ComOXConnection connection(&node, &node);
  std::string failure = "not run";
  std::thread connecting([&] { failure = FailureText([&] { connection.Connect(pty.SlavePath(), 9600); }); });
  EXPECT_EQ("\r", pty.ReadUntil('\r', 10000));
  pty.Write("X");  // not a CR
  connecting.join();
  EXPECT_EQ("COM_ERR 打开串口失败！", failure);
  EXPECT_FALSE(connection.IsConnected());
  EXPECT_EQ("SOCKET_DISCONNECTED 串口没有打开！", FailureText([&] {
              OXCom com("", 0);
              com.Send("x", 1);
            }));
  char byte;
  EXPECT_EQ("COM_ERR 串口没有打开！", FailureText([&] {
              OXCom com("", 0);
              com.Receive(&byte, 1);
            }));
  EXPECT_EQ(0, node.disconnects.load());
}

// The port may get descriptor 0 (a daemon closes its standard input); it is
// an open port like any other.
TEST(SerialLineConcurrency, DescriptorZeroIsAnOpenPort) {
  PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  const int savedStdin = dup(0);
  ASSERT_GE(savedStdin, 0);
  close(0);
  OXCom com(pty.SlavePath(), 9600);
  bool opened = false;
  std::thread opening([&] { opened = com.Open(); });
  const std::string first = pty.ReadUntil('\r', 10000);
  pty.Write("\r");
  opening.join();
  char link[256] = {0};
  const ssize_t n = readlink("/proc/self/fd/0", link, sizeof(link) - 1);
  const std::string zero = n > 0 ? std::string(link, static_cast<size_t>(n)) : "";
  EXPECT_EQ("\r", first);
  EXPECT_TRUE(opened);
  EXPECT_EQ(pty.SlavePath(), zero);
  EXPECT_TRUE(com.IsOpened());
  com.Send("abc\0", 4);
  EXPECT_EQ(std::string("\rabc\0", 5), pty.ReadUntil('\0', 5000));  // after the handshake's second CR
  com.Close();
  EXPECT_FALSE(com.IsOpened());
  dup2(savedStdin, 0);
  close(savedStdin);
}
