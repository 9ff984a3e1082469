#ifndef TARROW_TESTS_SUPPORT_THREADSNAPSHOT_H
#define TARROW_TESTS_SUPPORT_THREADSNAPSHOT_H

#include <sys/types.h>

#include <set>

namespace tarrow_test {

// The threads of this process at one moment, to find the ones started later
// (from /proc/self/task). Lets a test wait until a thread it started has
// really reached its wait for input, instead of guessing with a sleep.
class ThreadSnapshot {
 public:
  ThreadSnapshot();

  // Waits until count threads started after the snapshot sleep in a wait
  // for input at the same time (poll, ppoll, select, pselect6, read,
  // recvfrom, epoll_wait, accept); false after ms milliseconds.
  bool WaitUntilNewThreadsWaitForInput(size_t count, long ms) const;

 private:
  std::set<pid_t> before_;
};

}  // namespace tarrow_test

#endif
