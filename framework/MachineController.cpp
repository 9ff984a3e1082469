#include "framework/MachineController.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "framework/CommandRunner.h"
#include "framework/Convert.h"
#include "framework/Env.h"
#include "framework/StartReport.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

int MachineController::SetupProcess() {
  struct sigaction ignore;
  std::memset(&ignore, 0, sizeof(ignore));
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  return sigaction(SIGPIPE, &ignore, nullptr) == 0 ? 0 : -1;
}

int MachineController::RestartComputer() { return Env::Get()->Runner()->System("shutdown -r 0"); }

int MachineController::ShutdownComputer() { return Env::Get()->Runner()->System("shutdown -h 0"); }

int MachineController::CloseAllFD(const int* keep, int count) {
  DIR* dir = opendir(Env::Get()->SystemPath("/dev/fd").c_str());
  if (dir == nullptr) return -1;
  const int own = dirfd(dir);
  for (;;) {
    bool closedSomething = false;
    for (;;) {
      errno = 0;
      struct dirent* entry = readdir(dir);
      if (entry == nullptr) {
        if (errno != 0) {
          closedir(dir);
          return -1;
        }
        break;
      }
      if (entry->d_name[0] == '.') continue;
      char* end = nullptr;
      long fd = std::strtol(entry->d_name, &end, 10);
      if (end == entry->d_name || *end != '\0') continue;
      if (fd == own) continue;
      bool kept = false;
      if (keep != nullptr) {
        for (int i = 0; i < count; ++i) {
          if (keep[i] == fd) kept = true;
        }
      }
      if (kept) continue;
      if (close(static_cast<int>(fd)) != 0) {
        closedir(dir);
        return -1;
      }
      closedSomething = true;
    }
    if (!closedSomething) break;
    rewinddir(dir);
  }
  closedir(dir);
  return 0;
}

namespace {

// Flushes standard output and error and forks; when the fork fails: perror
// failText, the signal mask set back to previous, and -1.
pid_t FlushAndFork(const char* failText, const sigset_t& previous) {
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = fork();
  if (pid < 0) {
    perror(failText);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
  }
  return pid;
}

}  // namespace

bool MachineController::ForkIntoBackground(const char* failText, const sigset_t& previous) {
  const pid_t pid = FlushAndFork(failText, previous);
  if (pid < 0) return false;
  if (pid > 0) exit(0);
  return true;
}

bool MachineController::ForkIntoBackground(const char* failText, const sigset_t& previous, StartReport& report,
                                           int failStatus) {
  const pid_t pid = FlushAndFork(failText, previous);
  if (pid < 0) return false;
  if (pid > 0) {
    std::string reason;
    if (report.WaitForDaemon(pid, &reason)) exit(0);
    std::fprintf(stderr, "%s\n", reason.c_str());
    std::fflush(stderr);
    exit(failStatus);
  }
  report.BecomeDaemon();
  return true;
}

bool MachineController::DetachAfterFork(int keepFd) { return DetachAfterFork(std::vector<int>{keepFd}); }

bool MachineController::DetachAfterFork(const std::vector<int>& keepFds) {
  std::vector<int> keep;
  for (int fd : keepFds) {
    if (fd >= 0) keep.push_back(fd);
  }
  CloseAllFD(keep.data(), static_cast<int>(keep.size()));
  if (setsid() < 0) {
    perror("setsid fail");
    return false;
  }
  int null = open("/dev/null", O_RDWR);
  if (null >= 0) {
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    if (null > 2) close(null);
  }
  umask(0);
  return true;
}

std::string MachineController::GetHostName() {
  char name[256] = {0};
  if (gethostname(name, sizeof(name) - 1) != 0) return "NONAME";
  name[sizeof(name) - 1] = '\0';
  if (name[0] == '\0') return "NONAME";
  return name;
}

bool MachineController::IsFileExist(std::string path) { return Convert::IsFileExist(path); }

std::vector<int> MachineController::_ParseLsofPids(std::string output, int self) {
  std::vector<int> pids;
  std::vector<std::string> lines = Convert::tokenize(output, "\n", false, "");
  if (lines.size() <= 1) return pids;
  for (const std::string& line : lines) {
    std::string::size_type pos = line.find(' ');
    if (pos == std::string::npos) continue;
    pos = line.find_first_not_of(' ', pos);
    if (pos == std::string::npos) continue;
    std::string::size_type end = line.find(' ', pos);
    std::istringstream in(line.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
    int pid = -1;
    in >> pid;
    if (pid < 1 || pid == self) continue;
    if (std::find(pids.begin(), pids.end(), pid) == pids.end()) pids.push_back(pid);
  }
  return pids;
}

namespace {

// lsof may hang on a dead network mount and kill on nothing, yet a release
// (a DRBD mirror's stop) waits for both: each runs for a bounded time.
const long kLsofWaitMs = 15000;
const long kKillWaitMs = 5000;

}  // namespace

std::vector<int> MachineController::GetUsingPid(std::string path) {
  // The path goes to lsof as one argument, blanks and all.
  CommandResult result = Env::Get()->Runner()->Run({"lsof", path}, kLsofWaitMs, true);
  if (result.status != 0 || result.output.empty()) return {};
  return _ParseLsofPids(result.output, static_cast<int>(getpid()));
}

void MachineController::KillUsingProcess(std::string path) {
  const int self = static_cast<int>(getpid());
  for (int pid : GetUsingPid(path)) {
    if (pid <= 1 || pid == self) continue;
    Env::Get()->Runner()->Run({"kill", Convert::ToString<int>(pid)}, kKillWaitMs, false);
  }
}

int MachineController::GetMyMemoryUseage() {
  struct rusage usage;
  if (getrusage(RUSAGE_SELF, &usage) != 0) return 0;
  return static_cast<int>(usage.ru_ixrss);
}

void MachineController::KillOtherTarrowProcess() {}

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
