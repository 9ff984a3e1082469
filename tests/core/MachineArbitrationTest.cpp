// Two nodes that lost each other decide at the same moment against one
// quorum disk: each is an HA machine in a process of its own on its own loop
// device over the shared image, without reference addresses. Exactly one
// takes over; the other stops its trees with alarm 1.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/CoreTestSupport.h"
#include "storage/DiskFixture.h"
#include "support/LoopDevice.h"
#include "support/LoopbackPorts.h"
#include "support/SkipRule.h"
#include "support/TempDir.h"

namespace core_test {
namespace {

const char* const kTookAll = "与对机心跳连接已经全部断开，本机已获得资源优先启动权，接管对机所有资源！";
const char* const kStoppedAll = "与对机心跳连接已经全部断开，本机未获得资源优先启动权，停止本机的所有资源！";

// tarrow_core_quorum_node as a child process, spoken to line by line.
class QuorumNode {
 public:
  QuorumNode(const std::string& appPath, const std::string& root, const std::string& diskId, int hostRole) {
    int toChild[2], fromChild[2];
    if (pipe(toChild) != 0 || pipe(fromChild) != 0) return;
    const std::string role = std::to_string(hostRole);
    const std::string port = std::to_string(tarrow_test::UnusedLoopbackPort());
    pid_ = fork();
    if (pid_ == 0) {
      dup2(toChild[0], 0);
      dup2(fromChild[1], 1);
      close(toChild[1]);
      close(fromChild[0]);
      execl(TARROW_CORE_QUORUM_NODE, TARROW_CORE_QUORUM_NODE, appPath.c_str(), root.c_str(), diskId.c_str(),
            role.c_str(), port.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(toChild[0]);
    close(fromChild[1]);
    in_ = toChild[1];
    out_ = fromChild[0];
  }
  ~QuorumNode() {
    if (pid_ <= 0) return;
    close(in_);
    close(out_);
    kill(pid_, SIGKILL);
    int status;
    waitpid(pid_, &status, 0);
  }
  bool Ok() const { return pid_ > 0; }
  void Send(const std::string& line) {
    const std::string text = line + "\n";
    if (write(in_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) ADD_FAILURE() << "node gone";
  }
  // The node's lines (without "Q ") up to and without last; empty and a test
  // failure when it does not come within a generous time.
  std::vector<std::string> Until(const std::string& last) {
    std::vector<std::string> lines;
    const long long deadline = NowMs() + 60000;
    for (;;) {
      size_t end;
      while ((end = pending_.find('\n')) != std::string::npos) {
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        if (line.compare(0, 2, "Q ") != 0) continue;  // diagnostics of the node
        line.erase(0, 2);
        if (line == last) return lines;
        lines.push_back(line);
      }
      const long long left = deadline - NowMs();
      if (left <= 0) break;
      pollfd wait = {out_, POLLIN, 0};
      if (poll(&wait, 1, static_cast<int>(left)) <= 0) continue;
      char buffer[4096];
      const ssize_t got = read(out_, buffer, sizeof(buffer));
      if (got <= 0) break;
      pending_.append(buffer, static_cast<size_t>(got));
    }
    ADD_FAILURE() << "no \"" << last << "\" from the node";
    return {};
  }

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::string pending_;
};

TEST(MachineArbitration, ExactlyOneNodeTakesOverEveryRound) {
  std::string why;
  if (!tarrow_test::LoopDevice::Supported(&why)) TARROW_SKIP_UNLESS_PRIVILEGED(why);
  tarrow_test::TempDir appA, appB;
  for (tarrow_test::TempDir* app : {&appA, &appB}) {
    app->MakeDir("configs");
    app->MakeDir("log");
  }
  storage_test::DiskFixture hostA, hostB;
  const std::string image = hostA.MakeImage("quorum", 4 * storage_test::kMiB, 'Q');
  ASSERT_TRUE(hostA.AddDevice("sdq", image, &why)) << why;
  ASSERT_TRUE(hostB.AddDevice("sdq", image, &why)) << why;
  hostA.AddByPathLink("pci-0000:00:10.0-scsi-0:0:0:0", "sdq");
  hostB.AddByPathLink("pci-0000:00:11.0-scsi-0:0:0:0", "sdq");
  const std::string id = storage_test::DigestOfImage(image);

  QuorumNode host(appA.Path(), hostA.Root(), id, 1);
  QuorumNode other(appB.Path(), hostB.Root(), id, 0);
  ASSERT_TRUE(host.Ok());
  ASSERT_TRUE(other.Ok());
  const std::vector<std::string> took = {"STARTED {Q-STOPPED}", "ALARM 0 " + std::string(kTookAll)};
  const std::vector<std::string> stopped = {"CLEAR", "STOPPED {Q-RUNNING}", "ALARM 1 " + std::string(kStoppedAll)};
  int hostWins = 0;
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    host.Send("check");
    other.Send("check");
    const std::vector<std::string> a = host.Until("DONE");
    const std::vector<std::string> b = other.Until("DONE");
    ASSERT_TRUE((a == took && b == stopped) || (a == stopped && b == took))
        << "host: " << ::testing::PrintToString(a) << "\nother: " << ::testing::PrintToString(b);
    if (a == took) ++hostWins;
    host.Send("reset");
    other.Send("reset");
    host.Until("RESET");
    other.Until("RESET");
  }
  printf("the host side won %d of 20 rounds\n", hostWins);
}

}  // namespace
}  // namespace core_test
