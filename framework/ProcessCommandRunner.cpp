#include "framework/ProcessCommandRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "framework/Env.h"
#include "framework/ProcessSpawner.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

namespace {

// How long a command killed after its time-out may take to be reaped.
const long kReapAfterKillMs = 5000;
// Poll step while waiting for a child with a limit.
const long kPollStepMs = 10;

long long _RemainingMs(const struct timespec& deadline) {
  struct timespec now;
  clock_gettime(Env::Get()->WaitClock(), &now);
  long long ms = (static_cast<long long>(deadline.tv_sec) - now.tv_sec) * 1000LL +
                 (deadline.tv_nsec - now.tv_nsec) / 1000000L;
  return ms < 0 ? 0 : ms;
}

// Non-blocking reap: true once the child has been reaped (status stored; -1
// when waitpid failed for good).
bool _TryReap(pid_t pid, int& status) {
  for (;;) {
    int st = 0;
    pid_t rc = waitpid(pid, &st, WNOHANG);
    if (rc == pid) {
      status = st;
      return true;
    }
    if (rc == 0) return false;
    if (errno == EINTR) continue;
    status = -1;
    return true;
  }
}

void _BlockingReap(pid_t pid, int& status) {
  for (;;) {
    int st = 0;
    if (waitpid(pid, &st, 0) == pid) {
      status = st;
      return;
    }
    if (errno != EINTR) {
      status = -1;
      return;
    }
  }
}

// Reaps within ms milliseconds; false when the child still runs.
bool _ReapWithin(pid_t pid, int& status, long long ms) {
  const struct timespec deadline = Env::Get()->DeadlineAfter(ms);
  for (;;) {
    if (_TryReap(pid, status)) return true;
    long long left = _RemainingMs(deadline);
    if (left <= 0) return false;
    struct timespec step = {0, (left < kPollStepMs ? left : kPollStepMs) * 1000000L};
    nanosleep(&step, nullptr);
  }
}

// Reads what fd has now without blocking; false at end of file or error.
bool _DrainAvailable(int fd, std::string& output) {
  char buf[4096];
  for (;;) {
    struct pollfd p = {fd, POLLIN, 0};
    int rc = poll(&p, 1, 0);
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) return rc == 0;
    ssize_t n = read(fd, buf, sizeof(buf));
    if (n > 0) {
      output.append(buf, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return false;
  }
}

}  // namespace

int ProcessCommandRunner::System(const std::string& command) {
  pid_t pid = ProcessSpawner::Spawn({"/bin/sh", "-c", command}, ProcessSpawner::FD_INHERIT,
                                    ProcessSpawner::FD_INHERIT, ProcessSpawner::FD_INHERIT);
  if (pid < 0) return -1;
  int status = -1;
  _BlockingReap(pid, status);
  return status;
}

CommandResult ProcessCommandRunner::Run(const std::vector<std::string>& argv, long timeoutMs, bool captureOutput) {
  CommandResult result;
  int pipeFds[2] = {-1, -1};
  if (captureOutput && pipe2(pipeFds, O_CLOEXEC) != 0) return result;

  pid_t pid = ProcessSpawner::Spawn(argv, ProcessSpawner::FD_DEVNULL,
                                    captureOutput ? pipeFds[1] : static_cast<int>(ProcessSpawner::FD_DEVNULL),
                                    ProcessSpawner::FD_INHERIT);
  if (captureOutput) close(pipeFds[1]);
  if (pid < 0) {
    if (captureOutput) close(pipeFds[0]);
    return result;
  }

  const bool limited = timeoutMs >= 0;
  const struct timespec deadline = Env::Get()->DeadlineAfter(limited ? timeoutMs : 0);
  bool reaped = false;
  int status = -1;

  if (captureOutput) {
    int readFd = pipeFds[0];
    bool open = true;
    char buf[4096];
    while (open && !reaped) {
      int waitMs = static_cast<int>(kPollStepMs * 5);
      if (limited) {
        long long left = _RemainingMs(deadline);
        if (left <= 0) break;
        if (left < waitMs) waitMs = static_cast<int>(left);
      }
      struct pollfd p = {readFd, POLLIN, 0};
      int rc = poll(&p, 1, waitMs);
      if (rc > 0) {
        ssize_t n = read(readFd, buf, sizeof(buf));
        if (n > 0)
          result.output.append(buf, static_cast<size_t>(n));
        else if (n == 0 || errno != EINTR)
          open = false;
      } else if (rc < 0 && errno != EINTR) {
        open = false;
      }
      reaped = _TryReap(pid, status);
    }
    // The command has ended (or its time is up): take what its pipe still holds.
    if (open) _DrainAvailable(readFd, result.output);
    close(readFd);
  }

  if (!reaped) {
    if (limited)
      reaped = _ReapWithin(pid, status, _RemainingMs(deadline));
    else {
      _BlockingReap(pid, status);
      reaped = true;
    }
  }
  if (!reaped) {
    // Still running at its time-out: not reaped yet, so the pid is still ours.
    kill(pid, SIGKILL);
    result.timedOut = true;
    if (!_ReapWithin(pid, status, kReapAfterKillMs)) status = -1;
  }
  result.status = status;
  return result;
}

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
