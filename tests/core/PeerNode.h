#ifndef TARROW_TESTS_CORE_PEERNODE_H
#define TARROW_TESTS_CORE_PEERNODE_H

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "config/ConfigManager.h"
#include "core/HaTimings.h"
#include "core/HeartBeatManager.h"
#include "core/IHeartBeatLink.h"
#include "core/IHeartBeatMachine.h"
#include "core/RecordingDrbd.h"
#include "core/ScriptedHost.h"
#include "resource/FakeTree.h"
#include "support/TempDir.h"
#include "support/TestEnv.h"

namespace core_test {

// The HA machine of a test node: its trees are the node's test trees, its
// answers are set by the test, and what the peer asked of it is recorded.
class PeerMachine : public Oxbrindale::Velmora::Core::IHeartBeatMachine {
 public:
  void ResetShutdownNotify() override {}
  void ResetOfflineNotify() override {}
  bool RequestFailureCheck() override {
    ++failureChecks;
    return true;
  }

  Oxbrindale::Velmora::Resource::ResourceTree* FindResourceTreeByGuid(const std::string& guid) override;
  bool RequestTakeOverResourceTree(const std::string& guids, bool force) override;
  bool IsRunningStatu() override { return running.load(); }
  bool IsFirstBootDone() override { return firstBootDone.load(); }
  void SetShutdownNotify() override { ++shutdownNotices; }
  void SetOfflineNotify() override { ++offlineNotices; }
  // A verdict the test set for the mirror; otherwise the trees decide as the
  // HA machine's trees do (the first tree using the mirror; none: allowed).
  bool CanProcessBS(const std::string& mirrorName) override;

  void AddTree(Oxbrindale::Velmora::Resource::ResourceTree* tree);
  void SetBSVerdict(const std::string& mirrorName, bool allowed);
  // The GUID texts the takeover requests handed in, in order.
  std::vector<std::string> Takeovers();

  std::atomic<bool> running{true};
  std::atomic<bool> firstBootDone{false};
  std::atomic<bool> takeoverVerdict{true};
  std::atomic<int> shutdownNotices{0};
  std::atomic<int> offlineNotices{0};
  std::atomic<int> failureChecks{0};

 private:
  std::mutex mutex_;
  std::vector<Oxbrindale::Velmora::Resource::ResourceTree*> trees_;
  std::map<std::string, bool> verdicts_;
  std::vector<std::string> takeovers_;
};

// One link of a node: record id and keys; TCP to 127.0.0.1.
struct LinkSpec {
  int id;
  std::string firstKey;
  std::string secondKey;
};

// A test node: a program directory of its own with its configuration store,
// a PeerMachine with real test trees, recording DRBD and split-brain
// receiver, and a heartbeat manager over TCP links on 127.0.0.1.
class PeerNode {
 public:
  // host: host-role flag 1 (listens on port) or 0 (connects to port).
  // Beats every beatMs, reply time-out 4 * beatMs (at least 5000), and the
  // link is dropped after maxFailures failed beats in a row.
  PeerNode(bool host, unsigned short port, const std::vector<LinkSpec>& links,
           const Oxbrindale::Velmora::Core::HaTimings& timings, int beatMs = 100, int maxFailures = 3);
  ~PeerNode();

  // A tree known to the machine with this GUID and a fake resource; its
  // record joins the store's tree list. running: started and waited for;
  // stuckStarting: its start hangs until the node goes.
  resource_test::TreeRig& AddTree(const std::string& guid, bool running, bool stuckStarting = false);
  // A mirror record of the store.
  void AddMirror(const std::string& name, int minor, unsigned long long dataStamp);

  // InitHeartBeat; returns once every link waits for or opens a connection.
  void Start();
  // Every link of the node connected, within ms.
  bool WaitConnected(long ms = 30000);
  std::shared_ptr<Oxbrindale::Velmora::Core::IHeartBeatLink> Link(int id);

  // The node's program directory.
  const std::string& Dir() const { return dir_.Path(); }
  Oxbrindale::Velmora::Config::ConfigManager& Config() { return *config_; }
  Oxbrindale::Velmora::Core::HeartBeatManager& Manager() { return *manager_; }

  PeerMachine machine;
  RecordingDrbd drbd;
  RecordingBSNotices notices;

 private:
  tarrow_test::TempDir dir_;
  std::unique_ptr<Oxbrindale::Velmora::Config::ConfigManager> config_;
  std::vector<std::unique_ptr<resource_test::TreeRig>> trees_;
  std::vector<std::shared_ptr<std::atomic<bool>>> gates_;  // released when the node goes
  std::unique_ptr<Oxbrindale::Velmora::Core::HeartBeatManager> manager_;
};

// A node whose one TCP link (id kPairLink) connects to a scripted host peer.
class ScriptedPair {
 public:
  static const int kPairLink = 7;
  explicit ScriptedPair(const Oxbrindale::Velmora::Core::HaTimings& timings);
  // Starts the node and waits for the link on both ends.
  bool Connect();

  ScriptedHost host;
  PeerNode node;
};

// Fast link waits, a short exec-test delay.
Oxbrindale::Velmora::Core::HaTimings PeerTimings();

}  // namespace core_test

#endif
