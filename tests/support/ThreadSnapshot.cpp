#include "support/ThreadSnapshot.h"

#include <dirent.h>
#include <sys/syscall.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

namespace tarrow_test {

namespace {

std::set<pid_t> TaskIds() {
  std::set<pid_t> ids;
  DIR* dir = opendir("/proc/self/task");
  if (dir == nullptr) return ids;
  while (struct dirent* entry = readdir(dir)) {
    if (entry->d_name[0] >= '0' && entry->d_name[0] <= '9') ids.insert(static_cast<pid_t>(std::atoi(entry->d_name)));
  }
  closedir(dir);
  return ids;
}

// The state letter in /proc/self/task/<id>/stat ('S' sleeping, 'R' running, ...).
char State(pid_t id) {
  std::ifstream in("/proc/self/task/" + std::to_string(id) + "/stat");
  std::string line;
  std::getline(in, line);
  const std::string::size_type paren = line.rfind(')');
  if (paren == std::string::npos || paren + 2 >= line.size()) return '?';
  return line[paren + 2];
}

// The number of the system call the thread is blocked in, -1 when it runs
// or cannot be told.
long BlockedIn(pid_t id) {
  std::ifstream in("/proc/self/task/" + std::to_string(id) + "/syscall");
  std::string first;
  in >> first;
  if (first.empty() || first[0] < '0' || first[0] > '9') return -1;
  return std::atol(first.c_str());
}

bool WaitsForInput(pid_t id) {
  static const long kInputWaits[] = {
#ifdef SYS_poll
      SYS_poll,
#endif
#ifdef SYS_select
      SYS_select,
#endif
#ifdef SYS_epoll_wait
      SYS_epoll_wait,
#endif
#ifdef SYS_accept
      SYS_accept,
#endif
      SYS_ppoll, SYS_pselect6, SYS_read, SYS_recvfrom, SYS_epoll_pwait, SYS_accept4,
  };
  if (State(id) != 'S') return false;
  const long call = BlockedIn(id);
  for (long wait : kInputWaits) {
    if (call == wait) return State(id) == 'S';  // still asleep after the look
  }
  return false;
}

}  // namespace

ThreadSnapshot::ThreadSnapshot() : before_(TaskIds()) {}

bool ThreadSnapshot::WaitUntilNewThreadsWaitForInput(size_t count, long ms) const {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    size_t waiting = 0;
    for (pid_t id : TaskIds()) {
      if (before_.count(id) == 0 && WaitsForInput(id)) ++waiting;
    }
    if (waiting >= count) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

}  // namespace tarrow_test
