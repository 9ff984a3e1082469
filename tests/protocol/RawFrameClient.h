#ifndef TARROW_TESTS_PROTOCOL_RAWFRAMECLIENT_H
#define TARROW_TESTS_PROTOCOL_RAWFRAMECLIENT_H

#include <memory>
#include <string>

#include "framework/OXSocket.h"
#include "protocol/OXPack.h"

namespace tarrow_test {

// A TCP peer that speaks frames by hand, to see exactly what a connection
// writes (greetings, keep-alives) and to send frames no OXPack would build.
class RawFrameClient {
 public:
  // Connects to 127.0.0.1:port; throws Exception* like OXSocket::Connect.
  explicit RawFrameClient(unsigned short port);

  // The next frame text (the bytes before the NUL).
  std::string NextText() { return _socket.ReceiveUntilChar('\0'); }
  // The next frame parsed; null for a frame of fewer than five fields.
  std::unique_ptr<Oxbrindale::Velmora::OXProctol::OXPack> NextPack();
  // Writes text and the NUL.
  void SendText(std::string text);
  // A "request" frame with the given command and body; answers its pack id.
  std::string SendRequest(const std::string& command, const std::string& body);

  Oxbrindale::Velmora::Framework::OXSocket& Socket() { return _socket; }

 private:
  Oxbrindale::Velmora::Framework::OXSocket _socket;
};

}  // namespace tarrow_test

#endif
