#ifndef TARROW_TESTS_PROTOCOL_TCPPEERPROCESS_H
#define TARROW_TESTS_PROTOCOL_TCPPEERPROCESS_H

#include <sys/types.h>

#include <memory>
#include <string>

#include "PeerProcess.h"

namespace tarrow_test {

// A second real process for the TCP tests (a PeerProcess), playing one role,
// until the test kills it (kill -9).
//
// Roles:
// - listener: an OXTcpListener on a free 127.0.0.1 port, whose connections
//   answer requests: "ECHO" with the body, "SIZE" with the body's length,
//   "SLOW" after sleeping the body's milliseconds with "late", "PUSH" with a
//   push "HELLO" (the request's body) and then "pushed"; "SILENT" is never
//   answered, the peer reports the line "silent" for it. keepAliveMs > 0
//   shortens its connections' keep-alive interval.
// - client: a TcpOXConnection connected to the given port; it does nothing more.
class TcpPeerProcess {
 public:
  static TcpPeerProcess* StartListener(long keepAliveMs = 0);
  static TcpPeerProcess* StartClient(unsigned short port);
  // kill -9, then waits for the process to end.
  void Kill() { _process->Kill(); }
  pid_t Pid() const { return _process->Pid(); }
  // The listener's port.
  unsigned short Port() const { return _port; }
  // The next line the peer reported after its start, "" when none came within ms.
  std::string NextLine(int ms) { return _process->NextLine(ms); }

  TcpPeerProcess(const TcpPeerProcess&) = delete;
  TcpPeerProcess& operator=(const TcpPeerProcess&) = delete;

 private:
  TcpPeerProcess() = default;
  static TcpPeerProcess* _Start(const std::string& role, const std::string& argument);

  std::unique_ptr<PeerProcess> _process;
  unsigned short _port = 0;
};

}  // namespace tarrow_test

#endif
