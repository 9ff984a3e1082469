#include "core/PeerProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "core/CoreTestSupport.h"

namespace core_test {

CorePeerProcess::CorePeerProcess(const std::vector<std::string>& arguments) {
  int out[2];
  int in[2];
  if (pipe2(out, O_CLOEXEC) != 0) return;
  if (pipe2(in, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return;
  }
  std::vector<char*> argv;
  std::string program = TARROW_CORE_PEER;
  argv.push_back(&program[0]);
  std::vector<std::string> copy = arguments;
  for (std::string& argument : copy) argv.push_back(&argument[0]);
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  close(in[0]);
  out_ = out[0];
  in_ = in[1];
  pid_ = pid;
}

CorePeerProcess::~CorePeerProcess() {
  Kill();
  if (out_ >= 0) close(out_);
  if (in_ >= 0) close(in_);
}

void CorePeerProcess::Signal(int signal) {
  if (pid_ > 0) kill(pid_, signal);
}

void CorePeerProcess::Kill() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

void CorePeerProcess::Pump(int ms) {
  if (out_ < 0) return;
  struct pollfd fd = {out_, POLLIN, 0};
  if (poll(&fd, 1, ms) <= 0) return;
  char buffer[512];
  const ssize_t n = read(out_, buffer, sizeof buffer);
  if (n <= 0) return;
  pending_.append(buffer, static_cast<size_t>(n));
  for (std::string::size_type end = pending_.find('\n'); end != std::string::npos; end = pending_.find('\n')) {
    const std::string line = pending_.substr(0, end);
    pending_.erase(0, end + 1);
    if (line.compare(0, 7, "STATUS ") == 0) last_ = std::atoi(line.c_str() + 7);
  }
}

bool CorePeerProcess::WaitStatus(int status, int ms) {
  const long long end = NowMs() + ms;
  for (;;) {
    if (last_ == status) return true;
    const long long left = end - NowMs();
    if (left <= 0) return false;
    Pump(static_cast<int>(left < 100 ? left : 100));
  }
}

}  // namespace core_test
