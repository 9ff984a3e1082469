#ifndef TARROW_TESTS_CORE_FAILOVERTESTSUPPORT_H
#define TARROW_TESTS_CORE_FAILOVERTESTSUPPORT_H

// A machine node whose peer is a scripted host over a real TCP link, with
// trees that follow the machine's starts and stops (FailoverTree).

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/MachineTestSupport.h"
#include "core/ScriptedHost.h"

namespace core_test {

// A fake tree that runs when started and stops when stopped, unless the test
// says otherwise; records the flags the shutdown hand-over sets.
class FailoverTree : public FakeTreeHandle {
 public:
  explicit FailoverTree(Oxbrindale::Velmora::Config::ResourceTreeConfig* config) : FakeTreeHandle(config) {}

  void StartTree() override;
  void StopTree(bool userStop) override;
  bool CanStart() override { return canStart.load(); }
  void SetSkipStart(bool skip) override { skipStart.store(skip); }
  void SetStopAfterStart(bool stop) override { stopAfterStart.store(stop); }
  void EndTreeThread() override { ++threadEnds; }

  // Status after a start (skipped while skipStart) and after a stop.
  std::atomic<int> startTo{2};
  std::atomic<int> stopTo{0};
  std::atomic<bool> canStart{true};
  std::atomic<bool> skipStart{false};
  std::atomic<bool> stopAfterStart{false};
  std::atomic<int> threadEnds{0};
};

// Quick waits of the operations for tests; the peer's answers come at once.
Oxbrindale::Velmora::Core::HaTimings FailoverTimings();

// A node (not host) linked to a scripted host, or to another peer listening
// on peerPort; its trees are FailoverTrees.
class ScriptedPeerNode {
 public:
  explicit ScriptedPeerNode(const Oxbrindale::Velmora::Core::HaTimings& timings = FailoverTimings(),
                            unsigned short peerPort = 0);

  FailoverTree& AddTree(const std::string& guid, const TreeFlags& flags, int statu = 0);
  // Builds the machine, starts its heartbeat and waits for the link; the
  // machine then runs (status 3) without its thread.
  TestMachine& Connect();
  // Builds the machine without starting the heartbeat: every request finds no link.
  TestMachine& Unlinked();
  // Requests of command the peer received, their bodies in order.
  std::vector<std::string> Bodies(const std::string& command);
  // "command" of every request received, in order.
  std::vector<std::string> Commands();

  ScriptedHost host;
  MachineNode node;

 private:
  std::map<std::string, std::shared_ptr<FailoverTree>> trees_;
};

}  // namespace core_test

#endif
