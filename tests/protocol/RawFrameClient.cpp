#include "RawFrameClient.h"

namespace tarrow_test {

using Oxbrindale::Velmora::OXProctol::OXPack;

RawFrameClient::RawFrameClient(unsigned short port) { _socket.Connect("127.0.0.1", port); }

std::unique_ptr<OXPack> RawFrameClient::NextPack() { return std::unique_ptr<OXPack>(OXPack::Parse(NextText())); }

void RawFrameClient::SendText(std::string text) {
  text.push_back('\0');
  _socket.Send(text.data(), static_cast<int>(text.size()));
}

std::string RawFrameClient::SendRequest(const std::string& command, const std::string& body) {
  OXPack pack(OXPack::PackKind::REQUEST, command, body);
  const std::string frame = pack.ToFrame();
  _socket.Send(frame.data(), static_cast<int>(frame.size()));
  return pack.packId;
}

}  // namespace tarrow_test
