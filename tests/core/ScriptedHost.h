#ifndef TARROW_TESTS_CORE_SCRIPTEDHOST_H
#define TARROW_TESTS_CORE_SCRIPTEDHOST_H

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "protocol/IOXConnection.h"
#include "protocol/IOnConnectionEstablished.h"
#include "protocol/IPushPackProcessor.h"
#include "protocol/IRequestPackProcessor.h"
#include "protocol/OXTcpListener.h"

namespace core_test {

// The peer node played by a test: the host side of one TCP heartbeat link,
// listening on a loopback port. It leads the handshake of every connection
// with the link's id and keys, then serves it: beats are answered, every
// other request is recorded and answered as the script says, and the test
// can send requests of its own on the connection.
class ScriptedHost : public Oxbrindale::Velmora::OXProctol::IOnConnectionEstablished,
                     public Oxbrindale::Velmora::OXProctol::IRequestPackProcessor,
                     public Oxbrindale::Velmora::OXProctol::IPushPackProcessor {
 public:
  // What to answer to one request.
  struct Reply {
    bool answer = true;  // false: no answer at all
    std::string body;
    long delayMs = 0;    // answer this late, from another thread
  };
  using Script = std::function<Reply(const std::string& command, const std::string& body)>;
  struct Received {
    std::string command;
    std::string body;
  };

  ScriptedHost(int linkId, std::string firstKey, std::string secondKey);
  ~ScriptedHost() override;

  // The port it listens on (127.0.0.1).
  unsigned short Port() const { return port_; }
  // Answers to the node's requests; without a script nothing is answered.
  void SetScript(Script script);
  // false: beats go unanswered from now on.
  void AnswerBeats(bool answer) { answerBeats_.store(answer); }
  // Run inside each handshake after the node's identity was checked and
  // before the host's proof is sent.
  void SetMidHandshake(std::function<void(Oxbrindale::Velmora::OXProctol::IOXConnection*)> hook);

  // The connection validated last; waits up to ms for one. Null when none.
  Oxbrindale::Velmora::OXProctol::IOXConnection* WaitConnection(long ms = 30000);
  // A request on the connection validated last: true with the answer body,
  // false when no answer came within ms (or there is no connection).
  bool Ask(const std::string& command, const std::string& body, int ms, std::string* answer);
  static bool Ask(Oxbrindale::Velmora::OXProctol::IOXConnection* connection, const std::string& command,
                  const std::string& body, int ms, std::string* answer);

  // The requests received besides the handshake and the beats, in order.
  std::vector<Received> Requests();
  // Beats received so far.
  int Beats() const { return beats_.load(); }
  // Delayed answers sent so far.
  int LateAnswersSent() const { return lateSent_->load(); }

  void OnConnectionEstablished(Oxbrindale::Velmora::OXProctol::IOXConnection* connection) override;
  void OnReceivedRequestPack(Oxbrindale::Velmora::OXProctol::IOXConnection* connection,
                             Oxbrindale::Velmora::OXProctol::OXPack* pack) override;
  void OnReceivedPushPack(Oxbrindale::Velmora::OXProctol::IOXConnection* connection,
                          Oxbrindale::Velmora::OXProctol::OXPack* pack) override;

 private:
  const int linkId_;
  const std::string firstKey_;
  const std::string secondKey_;
  unsigned short port_ = 0;
  std::unique_ptr<Oxbrindale::Velmora::OXProctol::OXTcpListener> listener_;
  std::mutex mutex_;
  Script script_;
  std::function<void(Oxbrindale::Velmora::OXProctol::IOXConnection*)> midHandshake_;
  std::vector<Received> received_;
  std::vector<std::thread> late_;  // delayed answers, joined by the destructor
  std::atomic<Oxbrindale::Velmora::OXProctol::IOXConnection*> current_{nullptr};
  std::atomic<bool> answerBeats_{true};
  std::atomic<int> beats_{0};
  std::shared_ptr<std::atomic<int>> lateSent_{new std::atomic<int>(0)};
};

}  // namespace core_test

#endif
