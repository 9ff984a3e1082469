#include "resource/FakeTree.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "framework/Exception.h"
#include "resource/ResourceReaper.h"

namespace resource_test {

using Oxbrindale::Velmora::Config::sResourceTreeRel;
using Oxbrindale::Velmora::Resource::OX_RESOURCE_OP;

bool WaitUntil(const std::function<bool()>& cond, long ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!cond()) {
    if (std::chrono::steady_clock::now() >= end) return cond();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

namespace {
std::atomic<int> g_names{0};
std::atomic<int> g_seq{0};
}  // namespace

std::string UniqueName(const std::string& prefix) { return prefix + "-" + std::to_string(++g_names); }

int NextSeq() { return ++g_seq; }

// ---- FakeResConfig / FakeResource ----------------------------------------------------

FakeResConfig::FakeResConfig(int id, const std::string& name) {
  SetId(id);
  SetName(name);
  SetCheckInterval(20);
  SetMaxFailRestart(3);
  SetMaxTry(0);
  SetStartTimeout(10000);
  SetStopTimeout(10000);
  SetCustomTestTimeout(5000);
  SetFailureResetTime(3600000);
  SetManaged(1);
}

bool FakeResConfig::IsKeyConfigChanged(IResourceConfig&) { return false; }

FakeResource::FakeResource(int id, const std::string& name, int kind, IResourceConfig* config)
    : IResource(static_cast<short>(kind), 0),
      config_(config != nullptr ? config : new FakeResConfig(id, name)) {
  SetTimings(FastTimings());
}

FakeResource::~FakeResource() {
  EndForDestruction();
  if (destroyed != nullptr) destroyed->store(true);
}

IResource::Timings FakeResource::FastTimings() {
  Timings timings;
  timings.resumeWaitMs = 20;
  timings.startGraceMs = 200;
  timings.stopGraceMs = 200;
  timings.workerRetryPauseMs = 20;
  timings.vetoPauseMs = 20;
  timings.programSettleMs = 20;
  return timings;
}

void FakeResource::ScriptChecks(const std::vector<bool>& answers) {
  std::lock_guard<std::mutex> lock(scriptMutex_);
  script_.insert(script_.end(), answers.begin(), answers.end());
}

bool FakeResource::TestRes() {
  ++testResCalls;
  {
    std::lock_guard<std::mutex> lock(scriptMutex_);
    if (!script_.empty()) {
      const bool answer = script_.front();
      script_.pop_front();
      return answer;
    }
  }
  return running.load();
}

void FakeResource::StartRes() {
  ++startResCalls;
  startBegin.store(NextSeq());
  if (onStartRes) onStartRes();
  if (veto.load()) throw new Exception("MUST_FAILURE", "");
  if (startWorks.load()) running.store(true);
  startEnd.store(NextSeq());
}

void FakeResource::StopRes() {
  ++stopResCalls;
  stopBegin.store(NextSeq());
  if (onStopRes) onStopRes();
  if (stopWorks.load()) running.store(false);
  stopEnd.store(NextSeq());
}

void FakeResource::Start() {
  ++startCalls;
  switch (method.load()) {
    case DIRECT:
      if (startWorks.load()) running.store(true);
      break;
    case THREAD:
      StartByThread();
      break;
    default:
      StartByProcess(program, arguments);
      break;
  }
}

void FakeResource::Stop() {
  ++stopCalls;
  switch (method.load()) {
    case DIRECT:
      if (stopWorks.load()) running.store(false);
      break;
    case THREAD:
      StopByThread();
      break;
    default:
      StopByProcess(program, arguments);
      break;
  }
}

bool FakeResource::BeforeStartCheck(bool) {
  if (!refuse.load()) return true;
  SetPreStartReason(refuseReason);
  return false;
}

void FakeResource::ProcessOnResourceFailure() {
  ++preFailureCalls;
  IResource::ProcessOnResourceFailure();
}

// ---- FakeListener ---------------------------------------------------------------------

bool FakeListener::OnResourceTreeFail(ResourceTree* tree) {
  ++fails;
  if (onFail) onFail(tree);
  return answer.load();
}

void FakeListener::OnResourceCanStart(ResourceTree* tree) {
  ++canStarts;
  if (onCanStart) onCanStart(tree);
}

// ---- TestTree / TreeRig ---------------------------------------------------------------------

TestTree::TestTree() {
  Timings timings;
  timings.restPeriodMs = 200;
  timings.rebootDelayMs = 20;
  timings.modePauseMs = 20;
  SetTimings(timings);
}

TestTree::~TestTree() {
  for (auto& entry : offered_) delete entry.second;
}

void TestTree::Offer(unsigned inTreeId, IResource* resource) {
  std::lock_guard<std::mutex> lock(mutex_);
  offered_[inTreeId] = resource;
}

IResource* TestTree::_CreateResource(const sResourceTreeRel& relation) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = offered_.find(relation.inTreeId);
  if (it == offered_.end()) return nullptr;
  IResource* resource = it->second;
  offered_.erase(it);
  return resource;
}

TreeRig::TreeRig(const std::string& prefix)
    : name(UniqueName(prefix)), config(new ResourceTreeConfig()), tree(new TestTree()) {
  static std::atomic<uint32_t> ids{100};
  config->SetId(++ids);
  config->SetName(name);
  config->SetGuid("{" + name + "}");
  config->SetGoing(true);
  config->SetHome(true);
}

TreeRig::~TreeRig() {
  ReleaseThread();
  // Let the thread end the resources before the tree goes away.
  if (tree->GetStatu() != Oxbrindale::Velmora::Resource::RES_TREE_UNINIT) {
    tree->DestoryTheTreeThread();
    EXPECT_TRUE(WaitStatu(Oxbrindale::Velmora::Resource::RES_TREE_ENDED, 120000)) << "tree " << name << " did not end";
    // A resource left with a late worker is deleted after the tree ended;
    // its hooks may use what the test holds.
    EXPECT_TRUE(Oxbrindale::Velmora::Resource::ResourceReaper::WaitIdle(120000)) << "tree " << name;
  }
  tree.reset();
}

FakeResource* TreeRig::Add(unsigned inTreeId, const std::vector<unsigned>& relyOn, bool resource, int kind,
                           IResourceConfig* resConfig) {
  sResourceTreeRel relation;
  relation.kind = static_cast<uint32_t>(kind);
  relation.configId = inTreeId;
  relation.inTreeId = inTreeId;
  for (unsigned id : relyOn) relation.relyOn.push_back(id);
  std::vector<sResourceTreeRel> relations = config->GetRelations();
  relations.push_back(relation);
  config->SetRelations(relations);
  if (!resource) {
    delete resConfig;
    return nullptr;
  }
  FakeResource* fake = new FakeResource(static_cast<int>(inTreeId), name + "-r" + std::to_string(inTreeId), kind,
                                        resConfig);
  res[inTreeId] = fake;
  tree->Offer(inTreeId, fake);
  return fake;
}

void TreeRig::Activate(OX_RESOURCE_OP mode) {
  tree->SetListener(&listener);
  tree->ActiveTheTreeThread(config.get(), mode);
}

bool TreeRig::HoldThreadInFailureOffer(bool stopped) {
  releaseThread_ = false;
  listener.answer = false;
  listener.onFail = [this](ResourceTree*) {
    threadHeld_ = true;
    while (!releaseThread_.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  };
  if (stopped) {
    res.at(1)->refuse = true;
    tree->SetHostStart(true);
    tree->StartTree();
  } else {
    FakeResource* dying = res.at(1);
    dying->method = FakeResource::DIRECT;
    dying->startWorks = false;
    dying->running = false;
  }
  return WaitUntil([this] { return threadHeld_.load(); });
}

void TreeRig::ReleaseThread() {
  releaseThread_ = true;
  listener.answer = true;
}

bool TreeRig::WaitStatu(int statu, long ms) {
  return WaitUntil([&] { return tree->GetStatu() == statu; }, ms);
}

}  // namespace resource_test
