#include "resource/ResourceTestSupport.h"

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <thread>

#include "alarm/AlarmManager.h"
#include "config/ConfigManager.h"
#include "config/GlobalConfig.h"
#include "entity/AlarmObj.h"
#include "framework/EventManager.h"
#include "framework/Exception.h"

namespace resource_test {

using Oxbrindale::Velmora::Alarm::AlarmManager;
using Oxbrindale::Velmora::Alarm::OXAlarm;
using Oxbrindale::Velmora::Config::ConfigManager;
using Oxbrindale::Velmora::Config::sResourceTreeRel;
using Oxbrindale::Velmora::Entity::AlarmObj;
using Oxbrindale::Velmora::Framework::CommandResult;
using Oxbrindale::Velmora::Framework::EventManager;
using Oxbrindale::Velmora::Resource::OX_RESOURCE_OP;

std::string RowName(const std::string& what) {
  std::string name = what;
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return name;
}

// ---- FakeRunner -------------------------------------------------------------

int FakeRunner::System(const std::string& command) {
  std::lock_guard<std::mutex> lock(mutex_);
  commands_.push_back(command);
  return 0;
}

CommandResult FakeRunner::Run(const std::vector<std::string>& argv, long, bool) {
  std::string line;
  for (const std::string& arg : argv) line += (line.empty() ? "" : " ") + arg;
  std::lock_guard<std::mutex> lock(mutex_);
  commands_.push_back(line);
  CommandResult result;
  result.status = 0;
  return result;
}

std::vector<std::string> FakeRunner::Commands() {
  std::lock_guard<std::mutex> lock(mutex_);
  return commands_;
}

void FakeRunner::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  commands_.clear();
}

// ---- AlarmRecorder ------------------------------------------------------------

void AlarmRecorder::_Notify(int kind, std::string source, std::string text) {
  const std::string prefix = "RECENT_LOG\t";
  if (kind != -1 || source != "NOTIFY" || text.compare(0, prefix.size(), prefix) != 0) return;
  try {
    AlarmObj alarm(text.substr(prefix.size()));
    std::lock_guard<std::mutex> lock(mutex_);
    alarms_.push_back({alarm.kind, alarm.text});
  } catch (Exception* e) {
    delete e;
  }
}

std::vector<RaisedAlarm> AlarmRecorder::Alarms() {
  std::lock_guard<std::mutex> lock(mutex_);
  return alarms_;
}

int AlarmRecorder::Count(int kind, const std::string& part) {
  int count = 0;
  for (const RaisedAlarm& alarm : Alarms()) {
    if (alarm.kind == kind && alarm.text.find(part) != std::string::npos) ++count;
  }
  return count;
}

bool AlarmRecorder::WaitFor(int kind, const std::string& part, long ms) {
  return WaitUntil([&] { return Count(kind, part) > 0; }, ms);
}

void AlarmRecorder::Flush() {
  const std::string marker = UniqueName("flush-marker");
  OXAlarm(11, marker);
  EXPECT_TRUE(WaitFor(11, marker)) << "the alarm log did not announce " << marker;
}

// ---- World ----------------------------------------------------------------------

World& World::Get() {
  static World* world = new World();  // lives until the process ends
  return *world;
}

void World::SetUp() {
  dir_ = new tarrow_test::TempDir();
  dir_->MakeDir("configs");
  dir_->MakeDir("log");
  env_ = new ResourceEnv(dir_->Path());
  alarms_ = new AlarmRecorder();
  EventManager::Instance()->Subscript(alarms_);
  AlarmManager::Instance()->Init();
  SetStopFailAction(0);
  // The running-time mark is left as the daemon's start leaves it.
  env_->FollowRealClock();
}

void World::TearDown() {
  AlarmManager::Instance()->Dispose();  // the log executor saves its list before the folder goes
  delete dir_;  // the Env and the recorder stay: threads may use them until exit
  dir_ = nullptr;
}

void World::SetStopFailAction(int action) {
  ConfigManager::Instance()->GetGC()->SetStopFailAction(static_cast<uint16_t>(action));
}

void World::SetRunningSeconds(long seconds) {
  // The reading stays at seconds for the next second of real time.
  EventManager::Instance()->SetMarkTime();
  env_->AdvanceWaitClock(static_cast<long long>(seconds) * 1000);
}

void World::ResetClock() {
  env_->FollowRealClock();
  EventManager::Instance()->SetMarkTime();
}

namespace {

class WorldEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { World::Get().SetUp(); }
  void TearDown() override { World::Get().TearDown(); }
};

::testing::Environment* const g_world = ::testing::AddGlobalTestEnvironment(new WorldEnvironment());

}  // namespace

// ---- Gate -----------------------------------------------------------------------

void Gate::Open() {
  std::lock_guard<std::mutex> lock(mutex_);
  open_ = true;
  cond_.notify_all();
}

bool Gate::IsOpen() {
  std::lock_guard<std::mutex> lock(mutex_);
  return open_;
}

bool Gate::Wait(const std::function<bool()>& stop, long ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  std::unique_lock<std::mutex> lock(mutex_);
  while (!open_) {
    if (stop && stop()) return false;
    if (std::chrono::steady_clock::now() >= end) return false;
    cond_.wait_for(lock, std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace resource_test
