#ifndef TARROW_TESTS_PROTOCOL_PEERPROCESS_H
#define TARROW_TESTS_PROTOCOL_PEERPROCESS_H

#include <sys/types.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace tarrow_test {

// A second real process for the connection tests: this test program started
// again (fork + exec) with some environment variables of the caller's, which
// a ::testing::Environment of the program looks at before any test runs, to
// play a role instead (see BecomePeer). The peer reports lines on a pipe and
// runs until the test kills it (kill -9); it also dies with the test process.
class PeerProcess {
 public:
  using Variables = std::vector<std::pair<std::string, std::string>>;

  // Starts the peer with variables (name, value) in its environment, its
  // standard output going to the file output ("" for /dev/null). Null, with
  // a test failure, when it could not be started.
  static std::unique_ptr<PeerProcess> Start(const Variables& variables, const std::string& output = "");
  // Kills (SIGKILL) and reaps the process when it still runs.
  ~PeerProcess();

  // The next line the peer reported, "" when none came within ms (or the
  // peer ended).
  std::string NextLine(int ms);
  // kill -9, then waits for the process to end.
  void Kill();
  // SIGSTOP, returning once every thread of the peer has stopped; SIGCONT.
  void Freeze();
  void Thaw();
  pid_t Pid() const { return _pid; }

  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;

  // ---- in the peer -------------------------------------------------------
  // True when this program was started as a peer (the variable marker is
  // set): then it checks that the parent that started it is still there
  // (_exit(1) when not) and makes this process die with it. False in the
  // test process itself.
  static bool BecomePeer(const char* marker);
  // Writes line and '\n' to the report pipe; any thread may call it.
  static void Report(const std::string& line);
  [[noreturn]] static void WaitToBeKilled();

 private:
  PeerProcess() = default;

  pid_t _pid = -1;
  int _report = -1;
  std::string _kept;  // read but not yet handed out
};

}  // namespace tarrow_test

#endif
