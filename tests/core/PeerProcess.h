#ifndef TARROW_TESTS_CORE_PEERPROCESS_H
#define TARROW_TESTS_CORE_PEERPROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace core_test {

// tarrow_core_peer as a child process: its standard output is read line by
// line, its standard input closes when the object goes (the peer then ends).
class CorePeerProcess {
 public:
  explicit CorePeerProcess(const std::vector<std::string>& arguments);
  // kill -9 and reap.
  ~CorePeerProcess();
  CorePeerProcess(const CorePeerProcess&) = delete;
  CorePeerProcess& operator=(const CorePeerProcess&) = delete;

  bool Ok() const { return pid_ > 0; }
  // Waits (up to ms) until the peer reported "STATUS <status>" as its latest line.
  bool WaitStatus(int status, int ms = 60000);
  int LastStatus() const { return last_; }
  void Signal(int signal);
  // kill -9 and reap.
  void Kill();

 private:
  // Reads what is there, waiting up to ms for something.
  void Pump(int ms);

  pid_t pid_ = -1;
  int out_ = -1;
  int in_ = -1;
  std::string pending_;
  int last_ = -1;
};

}  // namespace core_test

#endif
