#ifndef TARROW_TESTS_PROTOCOL_TCPPEERPROCESS_H
#define TARROW_TESTS_PROTOCOL_TCPPEERPROCESS_H

#include <sys/types.h>

#include <string>

namespace tarrow_test {

// A second real process for the TCP tests: this test program started again
// (fork + exec), playing one role, until the test kills it (kill -9).
//
// Roles:
// - listener: an OXTcpListener on a free 127.0.0.1 port, whose connections
//   answer requests: "ECHO" with the body, "SIZE" with the body's length,
//   "SLOW" after sleeping the body's milliseconds with "late", "PUSH" with a
//   push "HELLO" (the request's body) and then "pushed"; "SILENT" is never
//   answered. keepAliveMs > 0 shortens its connections' keep-alive interval.
// - client: a TcpOXConnection connected to the given port; it does nothing more.
class TcpPeerProcess {
 public:
  static TcpPeerProcess* StartListener(long keepAliveMs = 0);
  static TcpPeerProcess* StartClient(unsigned short port);
  // Kills (SIGKILL) and reaps the process when it still runs.
  ~TcpPeerProcess();

  // kill -9, then waits for the process to end.
  void Kill();
  pid_t Pid() const { return _pid; }
  // The listener's port.
  unsigned short Port() const { return _port; }

  TcpPeerProcess(const TcpPeerProcess&) = delete;
  TcpPeerProcess& operator=(const TcpPeerProcess&) = delete;

 private:
  TcpPeerProcess() = default;
  static TcpPeerProcess* _Start(const std::string& role, const std::string& argument);

  pid_t _pid = -1;
  unsigned short _port = 0;
};

// A port the kernel just handed out on 127.0.0.1 and nobody listens on.
unsigned short UnusedLoopbackPort();

}  // namespace tarrow_test

#endif
