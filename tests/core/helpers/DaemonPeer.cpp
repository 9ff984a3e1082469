// The peer node of the daemon tests, run inside the test's namespaces beside
// tarrowd: the host side of one TCP heartbeat link on loopback (link id 1,
// keys "first-key" and "second-key"), answering as a node whose trees are all
// stopped and free to take.
//
//   tarrow_daemon_peer <dir>
//
// Writes the port it listens on into <dir>peer.port, then appends one line
// per request of the daemon (besides the handshake and the beats) to
// <dir>peer.log: the command, a tab and the body with each LF written as '|'.
// Answers "OK" followed by "false" (first start done? holds the tree?) or "0"
// (the tree's stable status: stopped), and "OK" alone to anything else. Ends
// when killed, or with its parent.
#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>

#include "core/PeerProtocol.h"
#include "core/ScriptedHost.h"

using Oxbrindale::Velmora::Core::PeerProtocol;

namespace {

void Append(const std::string& path, const std::string& line) {
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  if (write(fd, line.data(), line.size()) < 0) {
  }
  close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: tarrow_daemon_peer <dir>\n");
    return 2;
  }
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  std::signal(SIGPIPE, SIG_IGN);
  const std::string dir = argv[1];
  const std::string log = dir + "peer.log";

  core_test::ScriptedHost* host = new core_test::ScriptedHost(1, "first-key", "second-key");  // until the end
  host->SetScript([log](const std::string& command, const std::string& body) {
    std::string flat = body;
    for (char& c : flat) {
      if (c == '\n') c = '|';
    }
    Append(log, command + "\t" + flat + "\n");
    core_test::ScriptedHost::Reply reply;
    reply.body = PeerProtocol::OK;
    if (command == PeerProtocol::MAC_GetIsFirstBootDone || command == PeerProtocol::MAC_GetResourceTreeIsHold) {
      reply.body += std::string("\n") + PeerProtocol::FALSE_WORD;
    } else if (command == PeerProtocol::RES_GetTryWaitResourceTreeStableStatu) {
      reply.body += "\n0";
    }
    return reply;
  });
  if (host->Port() == 0) return 1;
  Append(dir + "peer.port.new", std::to_string(host->Port()) + "\n");
  rename((dir + "peer.port.new").c_str(), (dir + "peer.port").c_str());
  for (;;) pause();
}
