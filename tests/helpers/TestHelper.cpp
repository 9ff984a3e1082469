// A small program the framework tests run as a real child process.
//
//   sleep <ms>        sleeps, then exits 0
//   pidbypath         prints: own pid, GetPidByPath(own file, true), GetPidByPath(own file, false)
//   fds               prints the descriptors it has open, one per line
//   start             a sibling daemon's "start": forks a copy that runs (at most 60 s)
//                     in its own session, and returns 0 at once
//   stop              a sibling daemon's "stop": SIGTERM to the running copy, waits for it
//   uts <name>        in a private UTS namespace of its own (exit 77 when that is not
//                     permitted): sets the host name through HostNameTool, prints what
//                     HostNameTool and MachineController then read, one per line
#include <dirent.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "framework/Convert.h"
#include "framework/HostNameTool.h"
#include "framework/MachineController.h"
#include "framework/ProcessManager.h"

using Oxbrindale::Velmora::Framework::Convert;
using Oxbrindale::Velmora::Framework::MachineController;
using Oxbrindale::Velmora::Framework::ProcessManager;

namespace {

void SleepMs(long ms) {
  struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

int ListFds() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return 1;
  const int own = dirfd(dir);
  while (struct dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    if (std::atoi(entry->d_name) == own) continue;
    std::printf("%s\n", entry->d_name);
  }
  closedir(dir);
  return 0;
}

int StartDaemon() {
  pid_t pid = fork();
  if (pid < 0) return 1;
  if (pid > 0) return 0;
  setsid();
  for (int fd = 0; fd < 1024; ++fd) close(fd);
  SleepMs(60000);  // never outlives a test run by much
  _exit(0);
}

int StopDaemon() {
  const std::string self = Convert::GetExePath();
  int pid = ProcessManager::GetPidByPath(self, true);
  if (pid == 0) return 0;
  kill(pid, SIGTERM);
  for (int i = 0; i < 500 && kill(pid, 0) == 0; ++i) SleepMs(10);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string mode = argv[1];
  if (mode == "sleep" && argc > 2) {
    SleepMs(std::atol(argv[2]));
    return 0;
  }
  if (mode == "pidbypath") {
    const std::string self = Convert::GetExePath();
    std::printf("%d %d %d\n", static_cast<int>(getpid()), ProcessManager::GetPidByPath(self, true),
                ProcessManager::GetPidByPath(self, false));
    return 0;
  }
  if (mode == "fds") return ListFds();
  if (mode == "start") return StartDaemon();
  if (mode == "stop") return StopDaemon();
  if (mode == "uts" && argc > 2) {
    // Never touches the machine's own host name: without a namespace of its own it stops here.
    if (unshare(CLONE_NEWUTS) != 0) return 77;
    HostNameTool::SetHostName(argv[2]);
    std::printf("%s\n%s\n", HostNameTool::GetHostName().c_str(), MachineController::GetHostName().c_str());
    return 0;
  }
  return 2;
}
