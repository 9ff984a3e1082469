#include "PeerProcess.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>

extern char** environ;

namespace tarrow_test {

namespace {

const char* const kReportFd = "TARROW_PEER_REPORT_FD";
const char* const kParent = "TARROW_PEER_PARENT";

std::mutex g_reportLock;
int g_reportFd = -1;

// True when entry ("NAME=value") sets one of names.
bool Sets(const char* entry, const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    if (std::strncmp(entry, name.c_str(), name.size()) == 0 && entry[name.size()] == '=') return true;
  }
  return false;
}

}  // namespace

std::unique_ptr<PeerProcess> PeerProcess::Start(const Variables& variables, const std::string& output) {
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
  const int out = output.empty() ? ::open("/dev/null", O_WRONLY | O_CLOEXEC)
                                 : ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);

  // Everything the child needs is built before the fork.
  Variables all = variables;
  all.emplace_back(kReportFd, std::to_string(report[1]));
  all.emplace_back(kParent, std::to_string(::getpid()));
  all.emplace_back("GTEST_FILTER", "*");
  std::vector<std::string> names;
  for (const auto& variable : all) names.push_back(variable.first);
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (!Sets(*entry, names)) entries.push_back(*entry);
  }
  for (const auto& variable : all) entries.push_back(variable.first + "=" + variable.second);
  std::vector<char*> envp;
  for (std::string& entry : entries) envp.push_back(&entry[0]);
  envp.push_back(nullptr);
  char* argv[] = {exe, nullptr};

  const pid_t pid = ::fork();
  if (pid == 0) {
    ::fcntl(report[1], F_SETFD, 0);
    if (out >= 0) ::dup2(out, 1);
    ::execve(exe, argv, envp.data());
    _exit(127);
  }
  ::close(report[1]);
  if (out >= 0) ::close(out);
  if (pid < 0) {
    ::close(report[0]);
    ADD_FAILURE() << "fork";
    return nullptr;
  }
  std::unique_ptr<PeerProcess> peer(new PeerProcess());
  peer->_pid = pid;
  peer->_report = report[0];
  return peer;
}

PeerProcess::~PeerProcess() {
  Kill();
  ::close(_report);
}

std::string PeerProcess::NextLine(int ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    const size_t end = _kept.find('\n');
    if (end != std::string::npos) {
      std::string line = _kept.substr(0, end);
      _kept.erase(0, end + 1);
      return line;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return "";
    struct pollfd p = {_report, POLLIN, 0};
    const int rc = ::poll(&p, 1, static_cast<int>(left));
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) return "";
    char buffer[512];
    const ssize_t got = ::read(_report, buffer, sizeof(buffer));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return "";
    _kept.append(buffer, static_cast<size_t>(got));
  }
}

void PeerProcess::Kill() {
  if (_pid <= 0) return;
  ::kill(_pid, SIGCONT);  // a frozen peer dies all the same; this only wakes it
  ::kill(_pid, SIGKILL);
  while (::waitpid(_pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  _pid = -1;
}

void PeerProcess::Freeze() {
  if (_pid <= 0) return;
  ::kill(_pid, SIGSTOP);
  // The stop reaches the peer's other threads only once one of them has
  // taken the signal, which on a loaded machine can take a while: return
  // only when the whole process has stopped (or ended).
  int status = 0;
  pid_t got;
  while ((got = ::waitpid(_pid, &status, WUNTRACED)) < 0 && errno == EINTR) {
  }
  if (got == _pid && !WIFSTOPPED(status)) _pid = -1;  // it ended and is reaped
}

void PeerProcess::Thaw() { ::kill(_pid, SIGCONT); }

bool PeerProcess::BecomePeer(const char* marker) {
  if (std::getenv(marker) == nullptr) return false;
  // Die with the test process, whatever happens to it.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  const char* parent = std::getenv(kParent);
  const char* fd = std::getenv(kReportFd);
  if (parent == nullptr || fd == nullptr || ::getppid() != static_cast<pid_t>(std::atol(parent))) _exit(1);
  g_reportFd = std::atoi(fd);
  return true;
}

void PeerProcess::Report(const std::string& line) {
  std::lock_guard<std::mutex> guard(g_reportLock);
  const std::string text = line + "\n";
  if (::write(g_reportFd, text.data(), text.size()) < 0) _exit(3);
}

void PeerProcess::WaitToBeKilled() {
  for (;;) ::pause();
}

}  // namespace tarrow_test
