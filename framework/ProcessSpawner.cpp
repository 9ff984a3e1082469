#include "framework/ProcessSpawner.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

namespace {

// Everything the child uses, built before the vfork so the child allocates
// nothing, takes no lock and writes no memory of the parent.
struct ChildPlan {
  const char* path;                 // file to execute; null: none found
  std::vector<char*> argv;          // null-terminated
  std::vector<char*> shellArgv;     // /bin/sh path args...: for files without #!
  char** envp;
  int source[3];                    // per target descriptor: parent fd, FD_DEVNULL or FD_INHERIT
  struct sigaction defaultAction;
  sigset_t emptyMask;
  long maxFd;                       // highest descriptor to close when close_range is missing
};

// Async-signal-safe from here to the end of the child.

void _ChildResetSignals(const ChildPlan& plan) {
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig == SIGKILL || sig == SIGSTOP) continue;
    sigaction(sig, &plan.defaultAction, nullptr);  // fails harmlessly for reserved signals
  }
  sigprocmask(SIG_SETMASK, &plan.emptyMask, nullptr);
}

int _ChildDup2(int from, int to) {
  int rc;
  do {
    rc = dup2(from, to);
  } while (rc < 0 && errno == EINTR);
  return rc;
}

void _ChildSetDescriptors(const ChildPlan& plan) {
  int from[3];
  // Sources below 3 are first moved above 2, so that no dup2 overwrites a
  // source still needed and none is a no-op that keeps close-on-exec.
  bool wantDevnull = false;
  for (int target = 0; target < 3; ++target) {
    from[target] = plan.source[target];
    if (from[target] == ProcessSpawner::FD_DEVNULL) wantDevnull = true;
    if (from[target] >= 0 && from[target] < 3) {
      int moved = fcntl(from[target], F_DUPFD, 3);
      if (moved < 0) _exit(target == 0 ? ProcessSpawner::EXIT_STDIN_FAILED : ProcessSpawner::EXIT_STDOUT_FAILED);
      from[target] = moved;
    }
  }
  int devnull = -1;
  if (wantDevnull) {
    devnull = open("/dev/null", O_RDWR);
    if (devnull >= 0 && devnull < 3) devnull = fcntl(devnull, F_DUPFD, 3);
  }
  for (int target = 0; target < 3; ++target) {
    if (plan.source[target] == ProcessSpawner::FD_INHERIT) continue;
    if (plan.source[target] == ProcessSpawner::FD_DEVNULL) {
      if (devnull < 0) {
        close(target);  // no /dev/null: left closed
        continue;
      }
      from[target] = devnull;
    }
    if (_ChildDup2(from[target], target) < 0)
      _exit(target == 0 ? ProcessSpawner::EXIT_STDIN_FAILED : ProcessSpawner::EXIT_STDOUT_FAILED);
  }
}

void _ChildCloseAbove2(const ChildPlan& plan) {
#ifdef SYS_close_range
  if (syscall(SYS_close_range, 3U, ~0U, 0U) == 0) return;
#endif
  for (long fd = 3; fd <= plan.maxFd; ++fd) close(static_cast<int>(fd));
}

[[noreturn]] void _ChildRun(const ChildPlan& plan) {
  _ChildResetSignals(plan);
  _ChildSetDescriptors(plan);
  _ChildCloseAbove2(plan);
  if (plan.path != nullptr) {
    execve(plan.path, plan.argv.data(), plan.envp);
    if (errno == ENOEXEC) execve("/bin/sh", const_cast<char**>(plan.shellArgv.data()), plan.envp);
  }
  _exit(ProcessSpawner::EXIT_EXEC_FAILED);
}

}  // namespace

std::string ProcessSpawner::FindProgram(const std::string& program) {
  if (program.empty()) return "";
  if (program.find('/') != std::string::npos) return program;
  const char* env = getenv("PATH");
  std::string path = env != nullptr ? env : "/bin:/usr/bin";
  std::string::size_type start = 0;
  for (;;) {
    std::string::size_type colon = path.find(':', start);
    std::string dir = path.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
    std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + program;
    struct stat st;
    if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(candidate.c_str(), X_OK) == 0)
      return candidate;
    if (colon == std::string::npos) return "";
    start = colon + 1;
  }
}

pid_t ProcessSpawner::Spawn(const std::vector<std::string>& argv, int stdinFd, int stdoutFd, int stderrFd) {
  if (argv.empty()) {
    errno = EINVAL;
    return -1;
  }
  const std::string path = FindProgram(argv[0]);
  static const char kShell[] = "/bin/sh";

  ChildPlan plan;
  plan.path = path.empty() ? nullptr : path.c_str();
  for (const std::string& arg : argv) plan.argv.push_back(const_cast<char*>(arg.c_str()));
  plan.argv.push_back(nullptr);
  plan.shellArgv.push_back(const_cast<char*>(kShell));
  plan.shellArgv.push_back(const_cast<char*>(path.c_str()));
  for (size_t i = 1; i < argv.size(); ++i) plan.shellArgv.push_back(const_cast<char*>(argv[i].c_str()));
  plan.shellArgv.push_back(nullptr);
  plan.envp = environ;
  plan.source[0] = stdinFd;
  plan.source[1] = stdoutFd;
  plan.source[2] = stderrFd;
  std::memset(&plan.defaultAction, 0, sizeof(plan.defaultAction));
  plan.defaultAction.sa_handler = SIG_DFL;
  sigemptyset(&plan.defaultAction.sa_mask);
  sigemptyset(&plan.emptyMask);
  plan.maxFd = sysconf(_SC_OPEN_MAX);
  if (plan.maxFd < 0 || plan.maxFd > 65536) plan.maxFd = 65536;

  // vfork: the child borrows this thread's memory until it executes the
  // program, so a spawn costs no copy of the page tables and no copy-on-write
  // faults afterwards (with many threads and arenas, fork's copy and its
  // malloc hooks were most of an idle daemon's CPU). This thread waits
  // meanwhile. Every signal stays blocked until the child has reset its
  // dispositions: a handler of this program must never run in the child,
  // where it would write this program's memory.
  const int saved = errno;
  sigset_t all, before;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &before);
  pid_t pid = vfork();
  if (pid == 0) _ChildRun(plan);
  // The child's failed calls wrote this thread's errno.
  const int error = pid < 0 ? errno : saved;
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  errno = error;
  return pid;
}

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
