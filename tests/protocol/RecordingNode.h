#ifndef TARROW_TESTS_PROTOCOL_RECORDINGNODE_H
#define TARROW_TESTS_PROTOCOL_RECORDINGNODE_H

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "protocol/IOXConnection.h"
#include "protocol/IOnConnectionDisconnected.h"
#include "protocol/IPushPackProcessor.h"
#include "protocol/IRequestPackProcessor.h"

namespace tarrow_test {

// The owner of a connection in the tests: records what the connection hands
// to it (pushes as "<command>:<body>", the commands of requests), answers
// "ECHO" requests with their body and counts disconnect notices.
class RecordingNode : public Oxbrindale::Velmora::OXProctol::IPushPackProcessor,
                      public Oxbrindale::Velmora::OXProctol::IRequestPackProcessor,
                      public Oxbrindale::Velmora::OXProctol::IOnConnectionDisconnected {
 public:
  void OnReceivedPushPack(Oxbrindale::Velmora::OXProctol::IOXConnection* connection,
                          Oxbrindale::Velmora::OXProctol::OXPack* pack) override;
  void OnReceivedRequestPack(Oxbrindale::Velmora::OXProctol::IOXConnection* connection,
                             Oxbrindale::Velmora::OXProctol::OXPack* pack) override;
  void OnConnectionDisconnected(Oxbrindale::Velmora::OXProctol::IOXConnection* connection) override;

  std::vector<std::string> Pushes();
  size_t PushCount();
  size_t RequestCount();

  std::atomic<int> disconnects{0};

 private:
  std::mutex _lock;
  std::vector<std::string> _pushes;
  std::vector<std::string> _requests;
};

}  // namespace tarrow_test

#endif
