#include "TcpPeerProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "framework/Exception.h"
#include "framework/Sleep.h"
#include "protocol/IOXConnection.h"
#include "protocol/IPushPackProcessor.h"
#include "protocol/IRequestPackProcessor.h"
#include "protocol/OXPack.h"
#include "protocol/OXTcpListener.h"
#include "protocol/TcpOXConnection.h"

extern char** environ;

namespace tarrow_test {

using Oxbrindale::Velmora::OXProctol::IOXConnection;
using Oxbrindale::Velmora::OXProctol::IPushPackProcessor;
using Oxbrindale::Velmora::OXProctol::IRequestPackProcessor;
using Oxbrindale::Velmora::OXProctol::OXPack;
using Oxbrindale::Velmora::OXProctol::OXTcpListener;
using Oxbrindale::Velmora::OXProctol::TcpOXConnection;

namespace {

const char* const kRole = "TARROW_TCP_PEER_ROLE";
const char* const kArgument = "TARROW_TCP_PEER_ARG";
const char* const kReportFd = "TARROW_TCP_PEER_FD";
const char* const kParent = "TARROW_TCP_PEER_PARENT";

// The answers of the listener role.
class PeerProcessor : public IRequestPackProcessor, public IPushPackProcessor {
 public:
  void OnReceivedRequestPack(IOXConnection* connection, OXPack* pack) override {
    if (pack->command == "ECHO") {
      connection->SendResponsePack("RET", pack->body, pack->packId);
    } else if (pack->command == "SIZE") {
      connection->SendResponsePack("RET", std::to_string(pack->body.size()), pack->packId);
    } else if (pack->command == "SLOW") {
      Sleep(static_cast<unsigned int>(std::atoi(pack->body.c_str())));
      connection->SendResponsePack("RET", "late", pack->packId);
    } else if (pack->command == "PUSH") {
      connection->SendPack(new OXPack(OXPack::PackKind::PUSH, "HELLO", pack->body));
      connection->SendResponsePack("RET", "pushed", pack->packId);
    }
  }
  void OnReceivedPushPack(IOXConnection*, OXPack*) override {}
};

void Report(int fd, const std::string& line) {
  const std::string text = line + "\n";
  if (::write(fd, text.data(), text.size()) < 0) _exit(3);
  ::close(fd);
}

[[noreturn]] void WaitToBeKilled() {
  for (;;) ::pause();
}

int RunListener(int reportFd, long keepAliveMs) {
  static PeerProcessor processor;  // lives until the process is killed
  for (int attempt = 0; attempt < 100; ++attempt) {
    const unsigned short port = UnusedLoopbackPort();
    OXTcpListener* listener = new OXTcpListener(port, &processor, &processor);
    if (keepAliveMs > 0) listener->SetKeepAliveInterval(keepAliveMs);
    if (listener->StartListen() == 0 && listener->IsListening()) {
      Report(reportFd, std::to_string(port));
      WaitToBeKilled();
    }
    delete listener;
  }
  return 2;
}

int RunClient(int reportFd, unsigned short port) {
  TcpOXConnection* connection = new TcpOXConnection(nullptr, nullptr);
  try {
    connection->Connect("127.0.0.1", port);
  } catch (Exception* e) {
    Report(reportFd, "failed " + e->code);
    return 2;
  }
  Report(reportFd, "0");
  WaitToBeKilled();
}

// Turns this test program into a peer when it was started as one: the role
// runs before any test, and the process never returns to the tests.
class PeerEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    const char* role = std::getenv(kRole);
    if (role == nullptr) return;
    // Die with the test process, whatever happens to it.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != static_cast<pid_t>(std::atol(std::getenv(kParent)))) _exit(1);
    const int fd = std::atoi(std::getenv(kReportFd));
    const char* argument = std::getenv(kArgument);
    const std::string name = role;
    if (name == "listener") _exit(RunListener(fd, std::atol(argument)));
    if (name == "client") _exit(RunClient(fd, static_cast<unsigned short>(std::atoi(argument))));
    _exit(4);
  }
};

::testing::Environment* const g_peerEnvironment = ::testing::AddGlobalTestEnvironment(new PeerEnvironment);

bool IsOurVariable(const char* entry) {
  for (const char* name : {kRole, kArgument, kReportFd, kParent, "GTEST_FILTER"}) {
    const size_t length = std::strlen(name);
    if (std::strncmp(entry, name, length) == 0 && entry[length] == '=') return true;
  }
  return false;
}

}  // namespace

unsigned short UnusedLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in address;
  std::memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address));
  socklen_t length = sizeof(address);
  ::getsockname(fd, reinterpret_cast<struct sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

TcpPeerProcess* TcpPeerProcess::StartListener(long keepAliveMs) {
  return _Start("listener", std::to_string(keepAliveMs));
}

TcpPeerProcess* TcpPeerProcess::StartClient(unsigned short port) { return _Start("client", std::to_string(port)); }

TcpPeerProcess* TcpPeerProcess::_Start(const std::string& role, const std::string& argument) {
  char exe[4096];
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof(exe) - 1);
  if (n <= 0) {
    ADD_FAILURE() << "cannot find the test program";
    return nullptr;
  }
  exe[n] = '\0';
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe";
    return nullptr;
  }
  const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);

  // Everything the child needs is built before the fork.
  std::vector<std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (!IsOurVariable(*entry)) variables.push_back(*entry);
  }
  variables.push_back(std::string(kRole) + "=" + role);
  variables.push_back(std::string(kArgument) + "=" + argument);
  variables.push_back(std::string(kReportFd) + "=" + std::to_string(report[1]));
  variables.push_back(std::string(kParent) + "=" + std::to_string(::getpid()));
  variables.push_back("GTEST_FILTER=*");
  std::vector<char*> envp;
  for (std::string& variable : variables) envp.push_back(&variable[0]);
  envp.push_back(nullptr);
  char* argv[] = {exe, nullptr};

  const pid_t pid = ::fork();
  if (pid == 0) {
    ::fcntl(report[1], F_SETFD, 0);
    if (devNull >= 0) ::dup2(devNull, 1);
    ::execve(exe, argv, envp.data());
    _exit(127);
  }
  ::close(report[1]);
  if (devNull >= 0) ::close(devNull);
  if (pid < 0) {
    ::close(report[0]);
    ADD_FAILURE() << "fork";
    return nullptr;
  }

  TcpPeerProcess* peer = new TcpPeerProcess();
  peer->_pid = pid;
  std::string line;
  for (;;) {
    struct pollfd p = {report[0], POLLIN, 0};
    const int rc = ::poll(&p, 1, 30000);
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) break;
    char c;
    const ssize_t got = ::read(report[0], &c, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0 || c == '\n') break;
    line.push_back(c);
  }
  ::close(report[0]);
  if (line.empty() || line.compare(0, 6, "failed") == 0) {
    ADD_FAILURE() << "the " << role << " peer did not start: " << line;
    delete peer;
    return nullptr;
  }
  if (role == "listener") peer->_port = static_cast<unsigned short>(std::atoi(line.c_str()));
  return peer;
}

void TcpPeerProcess::Kill() {
  if (_pid <= 0) return;
  ::kill(_pid, SIGKILL);
  while (::waitpid(_pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  _pid = -1;
}

TcpPeerProcess::~TcpPeerProcess() { Kill(); }

}  // namespace tarrow_test
