#ifndef TARROW_TESTS_CORE_BSWATCHERRIG_H
#define TARROW_TESTS_CORE_BSWATCHERRIG_H

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "config/DrbdMirrorConfig.h"
#include "core/CoreTestSupport.h"
#include "core/DrbdBSWatcher.h"
#include "core/IHeartBeatMachine.h"
#include "core/RecordingDrbd.h"
#include "support/TempDir.h"
#include "support/TestEnv.h"

namespace core_test {

// The HA machine of the watched node as far as a recovery asks it: whether
// its trees allow the recovery of a mirror (refusals counted down by the test).
class BsMachine : public Oxbrindale::Velmora::Core::IHeartBeatMachine {
 public:
  void ResetShutdownNotify() override {}
  void ResetOfflineNotify() override {}
  bool RequestFailureCheck() override { return true; }
  bool CanProcessBS(const std::string& mirrorName) override;

  std::atomic<int> refusals{0};  // answers "not allowed" while above 0
  std::atomic<int> asked{0};
};

// A host-side node in the test process with its split-brain watcher, its
// recording DRBD, and the peer played by hand over one TCP heartbeat link on
// loopback: the peer answers the handshake and beats, and the split-brain
// requests as the test sets (or holds them back until the test answers).
// Program directory and system root (the pipe under tmp/) are a temporary
// directory of the rig's own.
class BsRig {
 public:
  // Timings of the watcher: settle, recheck and pipe retry of a few ms.
  static Oxbrindale::Velmora::Core::DrbdBSWatcher::Timings FastTimings();

  // makeTmp: the system root has its tmp/ (where the pipe goes).
  explicit BsRig(bool makeTmp = true);
  ~BsRig();

  // Starts the node's link and the peer; true once the link is connected.
  bool Connect();

  // A mirror record of the node: name, device minor, policy, data stamp.
  // Host entries: this machine's host name and "peer-node" (swapped: the
  // other way round). The device has a runtime record, 0 bytes out of sync.
  Oxbrindale::Velmora::Config::DrbdMirrorConfig* AddMirror(const std::string& name, int minor, uint16_t policy = 0,
                                                          uint64_t dataStamp = 0, bool swapped = false);
  Oxbrindale::Velmora::Config::DrbdMirrorConfig* Mirror(const std::string& name);

  // ---- the peer -----------------------------------------------------------------
  // What the peer answers: GETDATA with "OK\n" + stamp + "\n" + bytes, SET
  // OPERATION with setOperation; CAN_PROCESS "OK\n0" while refusals last,
  // then "OK\n1"; BS_NOTIFY "OK". hold: that command word is not answered
  // until Answer(word, ...).
  void PeerData(uint64_t stamp, uint64_t bytes);
  void PeerSetOperation(const std::string& answer);
  void PeerRefusals(int refusals);
  void Hold(const std::string& command, bool hold);
  // Sends the answer to the last held request of that word; false when none
  // arrived.
  bool Answer(const std::string& command, const std::string& body);
  // Split-brain requests the node sent ("BS_..."), "command:body" in order.
  std::vector<std::string> PeerRequests();
  // Bodies of the "BS_NOTIFY" requests the node sent, in order.
  std::vector<std::string> Relayed();
  // The node's local DRBD steps when each "BS_SET_OPERATION" arrived.
  std::vector<std::vector<std::string>> StepsWhenAsked();
  // A request of the peer to the node; its answer ("<none>" without one).
  std::string PeerAsks(const std::string& command, const std::string& body);

  // Waits until no recovery runs on the device.
  bool Settled(int device);
  // Alarms raised from index on.
  std::vector<std::pair<int, std::string>> AlarmsSince(size_t index);
  size_t AlarmCount();
  std::string TraceLog();

  static std::string LocalHost();

  tarrow_test::TempDir dir;
  tarrow_test::TestEnv env;
  RecordingDrbd drbd;
  BsMachine machine;
  std::unique_ptr<Node> node;
  std::unique_ptr<ScriptedPeer> peer;
  std::unique_ptr<Oxbrindale::Velmora::Core::DrbdBSWatcher> watcher;
  // While set, the watcher's recovery threads cannot be created (EAGAIN).
  std::atomic<bool> threadsRefused{false};

 private:
  static const int kLinkId = 41;
  bool _Answer(const Oxbrindale::Velmora::OXProctol::OXPack& request, std::string* answer);

  unsigned short port_ = 0;
  std::mutex mutex_;
  std::string peerData_ = "OK\n0\n0";
  std::string setOperation_ = "OK";
  int refusals_ = 0;
  std::map<std::string, bool> hold_;
  std::map<std::string, std::string> held_;  // command -> pack id of the last held request
  std::vector<std::string> requests_;
  std::vector<std::vector<std::string>> stepsWhenAsked_;
};

}  // namespace core_test

#endif
