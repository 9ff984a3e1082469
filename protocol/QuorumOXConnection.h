#ifndef TARROW_PROTOCOL_QUORUMOXCONNECTION_H
#define TARROW_PROTOCOL_QUORUMOXCONNECTION_H

#include <atomic>
#include <string>

#include "protocol/IOXConnection.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {
class OXQuorum;
}
namespace OXProctol {

// A message connection through mailboxes on the quorum disk (OXQuorum): one
// pack frame per message. The side (host or other) follows the host-role flag
// of the heartbeat settings. Created unconnected; Connect opens the disk, runs
// the handshake with the peer and starts the send and receive threads.
// Connected once; to connect again its owner deletes it and creates a new one.
class QuorumOXConnection : public IOXConnection {
 protected:
  void _ProcessDisconnected() override {}

 public:
  // Longest frame the receive thread takes; a longer one closes the link.
  enum { RECEIVE_BUFFER = 65536 };

  QuorumOXConnection(IPushPackProcessor* pushProcessor, IRequestPackProcessor* requestProcessor);
  // Disconnects (bye flag, device closed), stops and joins both threads
  // (each ends at its next disk access), then frees the quorum.
  ~QuorumOXConnection() override;

  // Opens devicePath as the host side when the heartbeat settings' host-role
  // flag is 1, else as the other side, and runs the handshake (blocks up to
  // about 12 s). Failure: Exception* "CONN_ERR",
  // "establish virtual disk connection fail!".
  void Connect(const std::string& devicePath);

  bool IsConnected() override;
  // Writes the bye flag and closes the device; nothing before Connect.
  void Disconnect() override;
  // Always "quorum".
  std::string GetRemoteAddr() override { return "quorum"; }

  // Wait between two looks at the disk (OXQuorum::POLL_MS by default); tests
  // shorten it. Before or after Connect.
  void SetPollInterval(unsigned int ms);

 private:
  std::atomic<Framework::OXQuorum*> _quorum{nullptr};  // owned
  std::atomic<unsigned int> _pollMs;
};

}  // namespace OXProctol
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
