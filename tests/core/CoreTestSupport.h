#ifndef TARROW_TESTS_CORE_CORETESTSUPPORT_H
#define TARROW_TESTS_CORE_CORETESTSUPPORT_H

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "config/ConfigManager.h"
#include "config/HeartBeatLinkConfig.h"
#include "core/HaTimings.h"
#include "core/HeartBeatManager.h"
#include "core/IHeartBeatLink.h"
#include "core/IHeartBeatMachine.h"
#include "framework/EventClient.h"
#include "framework/OXSocket.h"
#include "protocol/OXPack.h"

namespace core_test {

// Waits (generously, 30 s by default) until pred holds.
bool Eventually(const std::function<bool()>& pred, int ms = 30000);
long long NowMs();

// The HA machine of a test node: counts what the manager tells it.
class RecordingMachine : public Oxbrindale::Velmora::Core::IHeartBeatMachine {
 public:
  void ResetShutdownNotify() override { ++shutdownResets; }
  void ResetOfflineNotify() override { ++offlineResets; }
  bool RequestFailureCheck() override {
    ++failureChecks;
    return true;
  }
  std::atomic<int> shutdownResets{0};
  std::atomic<int> offlineResets{0};
  std::atomic<int> failureChecks{0};
};

// Alarms a node raised.
class AlarmLog {
 public:
  void Add(int kind, const std::string& text);
  // Alarms of kind whose text holds part.
  int Count(int kind, const std::string& part);
  std::vector<std::pair<int, std::string>> All();

 private:
  std::mutex mutex_;
  std::vector<std::pair<int, std::string>> alarms_;
};

// Events of the process-wide bus while subscribed.
class EventLog : public Oxbrindale::Velmora::Framework::EventClient {
 public:
  EventLog();
  ~EventLog() override;
  void _Notify(int kind, std::string source, std::string text) override;
  // Events whose "source:text" equals text.
  int Count(const std::string& text);
  int CountContaining(const std::string& part);
  // When each event equal to text arrived (NowMs), in order.
  std::vector<long long> Times(const std::string& text);

 private:
  std::mutex mutex_;
  std::vector<std::string> events_;
  std::vector<long long> times_;
};

// "NOTIFY:HB_CHANGED\t<id>".
std::string LinkChanged(int id);

// Settings of a test node's hb.cfg, in memory.
struct NodeSettings {
  uint16_t hostRole = 0;
  uint32_t port = 0;  // as stored: the port is its low 16 bits
  int32_t beatInterval = 100;
  int32_t beatTimeout = 200;
  uint16_t maxFailures = 3;
};

// Fast waits for tests.
Oxbrindale::Velmora::Core::HaTimings FastTimings();

// One node in the test process: its own store (over the program directory in
// force), machine, alarm log and heartbeat manager.
class Node {
 public:
  explicit Node(const NodeSettings& settings,
                const Oxbrindale::Velmora::Core::HaTimings& timings = FastTimings());
  ~Node();

  // A link record owned by the node (not started).
  Oxbrindale::Velmora::Config::HeartBeatLinkConfig* Record(int id, int16_t type, const std::string& address,
                                                          const std::string& keyA, const std::string& keyB,
                                                          int order = 0, const std::string& serial = "");
  // Record + AddHeartBeat; the running link.
  std::shared_ptr<Oxbrindale::Velmora::Core::IHeartBeatLink> AddLink(int id, int16_t type,
                                                                      const std::string& address,
                                                                      const std::string& keyA,
                                                                      const std::string& keyB,
                                                                      const std::string& serial = "");
  // Starts the heartbeat service of a host node (InitHeartBeat) on a free
  // loopback port, moving to another one while the port turns out taken;
  // the port it listens on, 0 (with a test failure) when none could be had.
  unsigned short Listen();

  Oxbrindale::Velmora::Config::ConfigManager config;
  RecordingMachine machine;
  AlarmLog alarms;
  std::unique_ptr<Oxbrindale::Velmora::Core::HeartBeatManager> manager;

 private:
  std::vector<std::unique_ptr<Oxbrindale::Velmora::Config::HeartBeatLinkConfig>> records_;
};

// A peer that speaks frames by hand on one TCP socket (connected by it, or
// accepted): a reader thread hands every request to the answerer (no answer
// when it returns false) and keeps every frame it read.
class ScriptedPeer {
 public:
  typedef std::function<bool(const Oxbrindale::Velmora::OXProctol::OXPack&, std::string*)> Answerer;

  // Connects to 127.0.0.1:port.
  ScriptedPeer(unsigned short port, Answerer answerer);
  // Takes an accepted socket.
  ScriptedPeer(Oxbrindale::Velmora::Framework::OXSocket* accepted, Answerer answerer);
  ~ScriptedPeer();

  void SetAnswerer(Answerer answerer);
  // Sends a pack frame.
  void Send(const Oxbrindale::Velmora::OXProctol::OXPack& pack);
  // Frames read so far, "kind:command:body".
  std::vector<std::string> Frames();
  int CountFrames(const std::string& kindCommand);
  // The body of the first response with packId (waits generously); "" and
  // false when none came.
  bool WaitResponse(const std::string& packId, std::string* body);
  // The other end closed the connection (read failed); the time it was seen.
  bool Closed() const { return closed_.load(); }
  long long ClosedAt() const { return closedAt_.load(); }
  // Time the first frame "kind:command" was read, 0 when none.
  long long FirstAt(const std::string& kindCommand);
  void Close();

 private:
  void Start();
  void Read();

  std::unique_ptr<Oxbrindale::Velmora::Framework::OXSocket> socket_;
  std::mutex mutex_;
  Answerer answerer_;
  std::vector<std::pair<long long, std::string>> frames_;
  std::vector<std::pair<std::string, std::string>> responses_;  // packId, body
  std::atomic<bool> closed_{false};
  std::atomic<long long> closedAt_{0};
  std::mutex sendMutex_;
  std::thread reader_;
};

// The identity answer a responder gives, with the digest of keyA over the
// host's nonce text.
std::string IdentityAnswer(int id, const std::string& keyA, const std::string& hostNonce, uint64_t nonce);

}  // namespace core_test

#endif
