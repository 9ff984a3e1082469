#include "RecordingNode.h"

#include "protocol/OXPack.h"

namespace tarrow_test {

using Oxbrindale::Velmora::OXProctol::IOXConnection;
using Oxbrindale::Velmora::OXProctol::OXPack;

void RecordingNode::OnReceivedPushPack(IOXConnection*, OXPack* pack) {
  std::lock_guard<std::mutex> guard(_lock);
  _pushes.push_back(pack->command + ":" + pack->body);
}

void RecordingNode::OnReceivedRequestPack(IOXConnection* connection, OXPack* pack) {
  {
    std::lock_guard<std::mutex> guard(_lock);
    _requests.push_back(pack->command);
  }
  if (pack->command == "ECHO") connection->SendResponsePack("RET", pack->body, pack->packId);
}

void RecordingNode::OnConnectionDisconnected(IOXConnection*) { disconnects.fetch_add(1); }

std::vector<std::string> RecordingNode::Pushes() {
  std::lock_guard<std::mutex> guard(_lock);
  return _pushes;
}

size_t RecordingNode::PushCount() {
  std::lock_guard<std::mutex> guard(_lock);
  return _pushes.size();
}

size_t RecordingNode::RequestCount() {
  std::lock_guard<std::mutex> guard(_lock);
  return _requests.size();
}

}  // namespace tarrow_test
