#ifndef TARROW_TESTS_CORE_MACHINETESTSUPPORT_H
#define TARROW_TESTS_CORE_MACHINETESTSUPPORT_H

// An HA machine of a test node and what it is built from: trees the test
// scripts (FakeTreeHandle), a machine whose operations can be scripted
// (TestMachine), a node with its own program directory and store
// (MachineNode), and the stub "ping" first on PATH that answers for the
// addresses the test names (PingStub).

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "config/ConfigManager.h"
#include "config/GlobalConfig.h"
#include "config/HeartBeatGlobalConfig.h"
#include "config/ResourceTreeConfig.h"
#include "core/CoreTestSupport.h"
#include "core/HAMachine.h"
#include "core/IResourceTreeHandle.h"
#include "support/TempDir.h"

namespace core_test {

// "ping" answers for the addresses named here (the stub is first on PATH for
// the whole test program).
class PingStub {
 public:
  static void Answer(const std::string& address, bool answers);
  static void Clear();
};

// A tree whose status the test sets; records what the machine asked of it.
class FakeTreeHandle : public Oxbrindale::Velmora::Core::IResourceTreeHandle {
 public:
  // config: the record (owned by a store).
  explicit FakeTreeHandle(Oxbrindale::Velmora::Config::ResourceTreeConfig* config) : config_(config) {}

  Oxbrindale::Velmora::Config::ResourceTreeConfig* GetConfig() override { return config_; }
  int GetStatu() override { return statu.load(); }
  void StartTree() override;
  void StopTree(bool userStop) override;
  void MakesureStop() override { ++makesureStops; }
  bool WaitForStableStatu(unsigned long ms) override;
  void TurnDeTestMode() override { ++deTests; }
  void SetHandBack(bool handBack) override { handBackAtStart = handBack; }
  int GetResourceCount() override { return resources.load(); }
  int CanProcessBS(const std::string&) override { return bsAnswer.load(); }
  Oxbrindale::Velmora::Resource::ResourceTree* GetTree() override { return nullptr; }

  std::atomic<int> statu{0};
  std::atomic<int> starts{0};
  std::atomic<int> stops{0};
  std::atomic<int> userStops{0};
  std::atomic<int> makesureStops{0};
  std::atomic<int> deTests{0};
  std::atomic<bool> handBackAtStart{false};
  std::atomic<bool> handBackOfLastStart{false};
  std::atomic<int> resources{0};
  std::atomic<int> bsAnswer{-1};
  // The status stays unstable (1) until released; waits for it see so.
  std::atomic<bool> unstable{false};
  // Each WaitForStableStatu asked for, in ms.
  std::vector<unsigned long> Waits();

 private:
  Oxbrindale::Velmora::Config::ResourceTreeConfig* config_;
  std::mutex mutex_;
  std::vector<unsigned long> waits_;
};

// A machine whose operations run for real unless the test scripts them.
class TestMachine : public Oxbrindale::Velmora::Core::HAMachine {
 public:
  explicit TestMachine(const Oxbrindale::Velmora::Core::HAMachineParts& parts) : HAMachine(parts) {}
  ~TestMachine() override { _EndThread(); }

  using HAMachine::_ForceStatu;
  using HAMachine::_RequestStart;
  using HAMachine::_RunPendingOperation;
  using HAMachine::_SetOperation;
  using HAMachine::_StartHostTree;
  using HAMachine::_StatuChange;

  // Scripted: an operation records itself and runs body (nothing when
  // empty) instead of its own work. Set before the thread runs. Only the
  // operations of scriptedOps (bit 1 << op) when scripted is clear.
  std::atomic<bool> scripted{false};
  std::atomic<unsigned> scriptedOps{0};
  std::function<void(int op)> body;
  // Operations run (HAM_OP values), failure checks included.
  std::vector<int> Ran();
  int CountRan(int op);
  // Lone-node decisions taken (true: take).
  std::vector<bool> Decisions();
  void _NoHeartBeatTakeOver(bool take) override;

 protected:
  void _DoOpStart() override;
  void _DoOpTakenOver() override;
  void _DoOpInit() override;
  void _DoOpFailureCheck() override;
  void _DoOpBeTakenOver() override;

 private:
  // Records op; true when the scripted body ran instead.
  bool _Scripted(int op);

  std::mutex mutex_;
  std::vector<int> ran_;
  std::vector<bool> decisions_;
};

// Flags of a tree record: take-back, home, hold, managed.
struct TreeFlags {
  bool takeBack = false;
  bool home = false;
  bool hold = false;
  bool managed = true;
};

// A test node: a program directory and store of its own, optionally one TCP
// heartbeat link on 127.0.0.1 (host: listens on port, else connects), and an
// HA machine built from them once the test has added its trees.
class MachineNode {
 public:
  MachineNode(bool host, unsigned short port, bool withLink,
              const Oxbrindale::Velmora::Core::HaTimings& timings = MachineTimings());
  ~MachineNode();

  // Quick waits of the machine for tests.
  static Oxbrindale::Velmora::Core::HaTimings MachineTimings();

  // A tree record with these flags in the store; the machine gets a fake tree for it.
  FakeTreeHandle& AddFakeTree(const std::string& guid, const TreeFlags& flags, int statu = 0);
  // A tree record of one custom-script resource; the machine builds a real
  // tree for it. The resource runs while its flag file exists.
  Oxbrindale::Velmora::Config::ResourceTreeConfig* AddScriptTree(const std::string& guid, const TreeFlags& flags);
  // The flag file of the script tree of guid.
  std::string FlagFile(const std::string& guid) const;

  // Builds the tree of a record when it answers one (else the node's own
  // choice). Set before the machine is built.
  std::function<std::shared_ptr<Oxbrindale::Velmora::Core::IResourceTreeHandle>(
      Oxbrindale::Velmora::Config::ResourceTreeConfig*, Oxbrindale::Velmora::Resource::ResourTreeFailEventListener*)>
      treeMaker;
  // Fake probes of the machine when set before it is built: the reference
  // test and the quorum arbitration and release (else the real ones).
  std::function<bool(const std::vector<std::string>&, uint16_t)> referenceTest;
  std::function<bool(const std::string&, bool)> quorumArbitrate;
  std::function<void(const std::string&, bool)> quorumReset;
  // A bare tree record with these flags in the store.
  Oxbrindale::Velmora::Config::ResourceTreeConfig* AddRecord(const std::string& guid, const TreeFlags& flags) {
    return _Record(guid, flags);
  }

  // The machine (built on first use from the node's parts).
  TestMachine& Machine();
  // InitMachine(0) on a thread of the test's.
  void Start();
  // The hold flag of guid as resource_tree_config.cfg holds it now.
  bool HoldInFile(const std::string& guid);
  Oxbrindale::Velmora::Config::ConfigManager& Config() { return *config_; }
  const std::string& Dir() const { return dir_.Path(); }

  AlarmLog alarms;
  std::atomic<int> aliasClears{0};
  std::atomic<int> splitBrainStarts{0};
  std::atomic<int> consoleStarts{0};
  std::atomic<bool> splitBrainThrows{false};
  // Jobs of the machine that have run on the pool.
  std::atomic<int> jobsDone{0};
  Oxbrindale::Velmora::Core::HaTimings timings;

 private:
  Oxbrindale::Velmora::Config::ResourceTreeConfig* _Record(const std::string& guid, const TreeFlags& flags);

  tarrow_test::TempDir dir_;
  std::unique_ptr<Oxbrindale::Velmora::Config::ConfigManager> config_;
  std::map<std::string, std::shared_ptr<FakeTreeHandle>> fakes_;
  std::unique_ptr<TestMachine> machine_;
};

}  // namespace core_test

#endif
