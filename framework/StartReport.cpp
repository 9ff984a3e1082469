#include "framework/StartReport.h"

#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

namespace {

// The first byte of the daemon's word.
const char kUp = 'U';
const char kFailed = 'F';

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

}  // namespace

StartReport::~StartReport() {
  CloseFd(_read);
  CloseFd(_write);
}

bool StartReport::Open() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  _read = fds[0];
  _write = fds[1];
  return true;
}

bool StartReport::WaitForDaemon(pid_t daemon, std::string* reason) {
  CloseFd(_write);
  std::string word;
  for (;;) {
    char buffer[512];
    const ssize_t n = read(_read, buffer, sizeof(buffer));
    if (n > 0) {
      word.append(buffer, static_cast<size_t>(n));
      if (word[0] == kUp) break;  // up: the daemon keeps running, nothing more comes
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;  // the daemon closed its end (it said why, or it ended)
  }
  CloseFd(_read);
  if (!word.empty() && word[0] == kUp) return true;
  if (!word.empty() && word[0] == kFailed && word.size() > 1) {
    *reason = word.substr(1);
    return false;
  }
  // Not a word: the daemon ended on its own before it could say anything.
  int status = 0;
  pid_t done;
  while ((done = waitpid(daemon, &status, 0)) < 0 && errno == EINTR) {
  }
  if (done == daemon && WIFSIGNALED(status)) {
    *reason = "the daemon ended during its start, killed by signal " + std::to_string(WTERMSIG(status));
  } else if (done == daemon && WIFEXITED(status)) {
    *reason = "the daemon ended during its start with status " + std::to_string(WEXITSTATUS(status));
  } else {
    *reason = "the daemon ended during its start";
  }
  return false;
}

void StartReport::BecomeDaemon() { CloseFd(_read); }

void StartReport::_Say(const std::string& word) {
  if (_write < 0) return;
  size_t done = 0;
  while (done < word.size()) {
    const ssize_t n = write(_write, word.data() + done, word.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // the command is gone: nobody to tell
    done += static_cast<size_t>(n);
  }
  CloseFd(_write);
}

void StartReport::Up() { _Say(std::string(1, kUp)); }

void StartReport::Failed(const std::string& reason) { _Say(std::string(1, kFailed) + reason); }

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
