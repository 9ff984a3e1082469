#include "core/MachineTestSupport.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <thread>

#include "config/CustomResConfig.h"
#include "config/HeartBeatGlobalConfig.h"
#include "config/HeartBeatLinkConfig.h"
#include "config/sResourceTreeRel.h"
#include "core/ResourceTreeHandle.h"
#include "framework/Exception.h"
#include "framework/IOXThreadPoolExec.h"
#include "framework/OXThreadPool.h"
#include "support/TestEnv.h"

namespace core_test {

using Oxbrindale::Velmora::Config::ConfigManager;
using Oxbrindale::Velmora::Config::CustomResConfig;
using Oxbrindale::Velmora::Config::HBL_TYPE_TCP;
using Oxbrindale::Velmora::Config::HeartBeatGlobalConfig;
using Oxbrindale::Velmora::Config::HeartBeatLinkConfig;
using Oxbrindale::Velmora::Config::ResourceTreeConfig;
using Oxbrindale::Velmora::Config::sResourceTreeRel;
using Oxbrindale::Velmora::Core::HAMachineParts;
using Oxbrindale::Velmora::Core::HaTimings;
using Oxbrindale::Velmora::Core::IResourceTreeHandle;
using Oxbrindale::Velmora::Core::ResourceTreeHandle;
using Oxbrindale::Velmora::Resource::ResourTreeFailEventListener;

namespace {

void WriteExecutable(const std::string& path, const std::string& body) {
  {
    std::ofstream file(path, std::ios::trunc);
    file << "#!/bin/sh\n" << body;
  }
  chmod(path.c_str(), 0755);
}

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

// The stub "ping" of the whole program: it answers (exit 0) for an address
// whose file exists in its answers folder.
class PingWorld : public ::testing::Environment {
 public:
  void SetUp() override {
    dir_ = new tarrow_test::TempDir();
    dir_->MakeDir("bin");
    dir_->MakeDir("answers");
    WriteExecutable(dir_->File("bin/ping"), "for a in \"$@\"; do last=$a; done\n[ -e " +
                                                Quoted(dir_->File("answers")) + "/\"$last\" ]\n");
    const char* path = getenv("PATH");
    setenv("PATH", (dir_->File("bin") + ":" + (path != nullptr ? path : "/usr/bin:/bin")).c_str(), 1);
  }
  // The folder stays until the process ends: late ping jobs may still look.

  static std::string Answers() { return dir_->File("answers"); }

 private:
  static tarrow_test::TempDir* dir_;
};

tarrow_test::TempDir* PingWorld::dir_ = nullptr;

::testing::Environment* const g_pingWorld = ::testing::AddGlobalTestEnvironment(new PingWorld());

// Runs a job of the machine, then counts it.
class CountingJob : public Oxbrindale::Velmora::Framework::IOXThreadPoolExec {
 public:
  CountingJob(Oxbrindale::Velmora::Framework::IOXThreadPoolExec* job, std::atomic<int>* done)
      : job_(job), done_(done) {}
  void Run() override {
    job_->Run();
    ++*done_;  // while the machine still waits for its job
    delete job_;
    job_ = nullptr;
  }
  ~CountingJob() override { delete job_; }

 private:
  Oxbrindale::Velmora::Framework::IOXThreadPoolExec* job_;
  std::atomic<int>* done_;
};

// Ids of the custom resource records of the process-wide store.
std::atomic<int> g_nextCustomId{70000};

}  // namespace

// ---- PingStub ------------------------------------------------------------------

void PingStub::Answer(const std::string& address, bool answers) {
  const std::string file = PingWorld::Answers() + "/" + address;
  if (answers)
    std::ofstream(file).put('1');
  else
    unlink(file.c_str());
}

void PingStub::Clear() {
  const std::string command = "rm -f " + Quoted(PingWorld::Answers()) + "/*";
  if (system(command.c_str()) != 0) ADD_FAILURE() << "cannot clear the ping answers";
}

// ---- FakeTreeHandle -------------------------------------------------------------

void FakeTreeHandle::StartTree() {
  ++starts;
  handBackOfLastStart.store(handBackAtStart.load());
}

void FakeTreeHandle::StopTree(bool userStop) {
  ++stops;
  if (userStop) ++userStops;
}

bool FakeTreeHandle::WaitForStableStatu(unsigned long ms) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    waits_.push_back(ms);
  }
  if (!unstable.load()) return true;
  // An unbounded wait is recorded, not served.
  if (ms <= 5000) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  return false;
}

std::vector<unsigned long> FakeTreeHandle::Waits() {
  std::lock_guard<std::mutex> lock(mutex_);
  return waits_;
}

// ---- TestMachine -------------------------------------------------------------------

bool TestMachine::_Scripted(int op) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ran_.push_back(op);
  }
  if (!scripted.load() && (scriptedOps.load() & (1u << op)) == 0) return false;
  if (body) body(op);
  return true;
}

void TestMachine::_DoOpStart() {
  if (!_Scripted(Oxbrindale::Velmora::Core::HAM_OP_START)) HAMachine::_DoOpStart();
}

void TestMachine::_DoOpTakenOver() {
  if (!_Scripted(Oxbrindale::Velmora::Core::HAM_OP_TAKEOVER)) HAMachine::_DoOpTakenOver();
}

void TestMachine::_DoOpInit() {
  if (!_Scripted(Oxbrindale::Velmora::Core::HAM_OP_INIT)) HAMachine::_DoOpInit();
}

void TestMachine::_DoOpFailureCheck() {
  if (!_Scripted(Oxbrindale::Velmora::Core::HAM_OP_FAILURE_CHECK)) HAMachine::_DoOpFailureCheck();
}

void TestMachine::_DoOpBeTakenOver() {
  if (!_Scripted(Oxbrindale::Velmora::Core::HAM_OP_BE_TAKEN_OVER)) HAMachine::_DoOpBeTakenOver();
}

void TestMachine::_NoHeartBeatTakeOver(bool take) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    decisions_.push_back(take);
  }
  HAMachine::_NoHeartBeatTakeOver(take);
}

std::vector<int> TestMachine::Ran() {
  std::lock_guard<std::mutex> lock(mutex_);
  return ran_;
}

int TestMachine::CountRan(int op) {
  std::vector<int> ran = Ran();
  return static_cast<int>(std::count(ran.begin(), ran.end(), op));
}

std::vector<bool> TestMachine::Decisions() {
  std::lock_guard<std::mutex> lock(mutex_);
  return decisions_;
}

// ---- MachineNode ---------------------------------------------------------------------

HaTimings MachineNode::MachineTimings() {
  HaTimings timings = FastTimings();
  timings.loopWakeMs = 2000;
  timings.opPauseMs = 10;
  timings.consoleListenerDelayMs = 10;
  timings.firstLinkWaitMs = 1500;
  timings.syncPauseMs = 50;
  timings.initLinkWaitMs = 300;
  timings.afterStartDelayMs = 200;
  timings.stableTreeBoundMs = 3000;
  return timings;
}

MachineNode::MachineNode(bool host, unsigned short port, bool withLink, const HaTimings& machineTimings)
    : timings(machineTimings) {
  dir_.MakeDir("configs");
  dir_.MakeDir("log");
  dir_.MakeDir("scripts");
  {
    tarrow_test::TestEnv here(dir_.Path());
    config_.reset(new ConfigManager());
  }
  HeartBeatGlobalConfig* settings = config_->GetHeartBeatGlobalConfig();
  settings->SetPort(port);
  settings->SetHostRole(host ? 1 : 0);
  settings->SetBeatInterval(100);
  settings->SetBeatTimeout(1000);
  settings->SetMaxFailCount(3);
  settings->SetRefAddresses({});
  {
    auto edit = config_->EditHeartBeatLinkConfig();
    if (withLink) {
      HeartBeatLinkConfig* link = new HeartBeatLinkConfig();
      link->SetId(1);
      link->SetOrder(1);
      link->SetType(HBL_TYPE_TCP);
      link->SetName("link-1");
      link->SetAddress("127.0.0.1");
      link->SetKeyA("first-key");
      link->SetKeyB("second-key");
      edit->push_back(link);
    }
    edit.Save();
  }
  config_->GetGC()->SetStartDelay(5000);
  config_->GetResourceTreeConfig();
}

MachineNode::~MachineNode() {
  machine_.reset();
  fakes_.clear();
  config_.reset();
}

ResourceTreeConfig* MachineNode::_Record(const std::string& guid, const TreeFlags& flags) {
  ResourceTreeConfig* record = new ResourceTreeConfig();
  static std::atomic<uint32_t> nextId{1};
  record->SetId(nextId.fetch_add(1));
  record->SetName("tree-" + guid);
  record->SetGuid(guid);
  record->SetTakeBack(flags.takeBack);
  record->SetHome(flags.home);
  record->SetRunning(flags.hold);
  record->SetGoing(flags.managed);
  auto edit = config_->EditResourceTreeConfig();
  edit->push_back(record);
  edit.Save();
  return record;
}

FakeTreeHandle& MachineNode::AddFakeTree(const std::string& guid, const TreeFlags& flags, int statu) {
  std::shared_ptr<FakeTreeHandle> tree(new FakeTreeHandle(_Record(guid, flags)));
  tree->statu = statu;
  fakes_[guid] = tree;
  return *tree;
}

std::string MachineNode::FlagFile(const std::string& guid) const { return dir_.File("scripts/" + guid + ".up"); }

ResourceTreeConfig* MachineNode::AddScriptTree(const std::string& guid, const TreeFlags& flags) {
  const std::string flag = FlagFile(guid);
  const std::string start = dir_.File("scripts/" + guid + "-start.sh");
  const std::string stop = dir_.File("scripts/" + guid + "-stop.sh");
  const std::string test = dir_.File("scripts/" + guid + "-test.sh");
  WriteExecutable(start, "touch " + Quoted(flag) + "\n");
  WriteExecutable(stop, "rm -f " + Quoted(flag) + "\n");
  WriteExecutable(test, "[ -e " + Quoted(flag) + " ]\n");
  const int id = g_nextCustomId.fetch_add(1);
  // Common lines (id, name, check interval, failures before restart, tries,
  // id, start and stop time-outs, own test, test program and arguments, test
  // time-out, failure reset, managed), then the custom lines.
  std::vector<std::string> lines = {std::to_string(id), "custom-" + guid, "100", "3", "1", std::to_string(id),
                                    "20000", "20000", "1", test, "", "20000", "3600000", "1",
                                    start, "", stop, "", "0"};
  unsigned int index = 0;
  CustomResConfig* resource = new CustomResConfig(&lines, &index);
  {
    auto edit = ConfigManager::Instance()->EditCustomConfig();
    edit->push_back(resource);
  }
  ResourceTreeConfig* record = _Record(guid, flags);
  sResourceTreeRel relation;
  relation.kind = 5;
  relation.configId = static_cast<uint32_t>(id);
  relation.inTreeId = 1;
  record->SetRelations({relation});
  return record;
}

TestMachine& MachineNode::Machine() {
  if (machine_ == nullptr) {
    HAMachineParts parts;
    parts.config = config_.get();
    parts.timings = timings;
    parts.alarms = [this](int kind, const std::string& text) { alarms.Add(kind, text); };
    parts.initAlarms = [] {};
    parts.clearAliases = [this] { ++aliasClears; };
    if (referenceTest) parts.referenceTest = referenceTest;
    if (quorumArbitrate) parts.quorumArbitrate = quorumArbitrate;
    if (quorumReset) parts.quorumReset = quorumReset;
    parts.invokeJob = [this](Oxbrindale::Velmora::Framework::IOXThreadPoolExec* job) {
      Oxbrindale::Velmora::Framework::OXThreadPool::Instance()->Invoke(new CountingJob(job, &jobsDone));
    };
    parts.startConsoleListener = [this] { ++consoleStarts; };
    parts.startSplitBrainReader = [this] {
      ++splitBrainStarts;
      if (splitBrainThrows.load()) throw new Exception("BS_PIPE", "无法创建管道");
    };
    parts.makeTree = [this](ResourceTreeConfig* config,
                            ResourTreeFailEventListener* listener) -> std::shared_ptr<IResourceTreeHandle> {
      if (treeMaker) {
        std::shared_ptr<IResourceTreeHandle> made = treeMaker(config, listener);
        if (made != nullptr) return made;
      }
      auto fake = fakes_.find(config->GetGuid());
      if (fake != fakes_.end()) return fake->second;
      return ResourceTreeHandle::Activate(config, listener);
    };
    machine_.reset(new TestMachine(parts));
  }
  return *machine_;
}

void MachineNode::Start() { Machine().InitMachine(0); }

bool MachineNode::HoldInFile(const std::string& guid) {
  tarrow_test::TestEnv here(dir_.Path());
  ConfigManager fresh;
  for (ResourceTreeConfig* record : *fresh.GetResourceTreeConfig()) {
    if (record->GetGuid() == guid) return record->GetRunning();
  }
  ADD_FAILURE() << "no tree " << guid << " in " << dir_.Path();
  return false;
}

}  // namespace core_test
