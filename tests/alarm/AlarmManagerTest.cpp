#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "alarm/AlarmExec.h"
#include "alarm/AlarmManager.h"
#include "entity/AlarmObj.h"
#include "alarm/CustomAlarmExec.h"
#include "alarm/EmailAlarmExec.h"
#include "alarm/LogAlarmExec.h"
#include "alarm/SLEAAlarmExec.h"
#include "config/AlarmExecConfig.h"
#include "config/ConfigManager.h"
#include "framework/DateTime.h"
#include "framework/Exception.h"
#include "framework/Sleep.h"
#include "support/TempDir.h"
#include "support/TestEnv.h"
#include "tests/alarm/AlarmTestSupport.h"

using Oxbrindale::Velmora::Entity::AlarmObj;
using namespace Oxbrindale::Velmora::Alarm;
using alarm_test::FakeToneDevice;
using alarm_test::WaitUntil;
using Oxbrindale::Velmora::Config::AlarmExecConfig;
using Oxbrindale::Velmora::Config::ConfigListEdit;
using Oxbrindale::Velmora::Config::ConfigManager;
using Oxbrindale::Velmora::Framework::DateTime;

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// An executor of the given kind that records what it is handed: every
// PutLog (before queueing it as usual) and every batch its thread takes.
template <class Base>
class Recorded : public Base {
 public:
  template <class... Args>
  explicit Recorded(Args&&... args) : Base(std::forward<Args>(args)...) {}
  ~Recorded() override { this->CallExit(); }

  bool PutLog(int kind, const std::string& text, const DateTime& time) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      puts_.emplace_back(kind, text, time);
    }
    return Base::PutLog(kind, text, time);
  }
  void DoAlarm(std::vector<AlarmObj>& batch) override {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const AlarmObj& alarm : batch) handled_.push_back(alarm);
  }

  std::vector<AlarmObj> Puts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return puts_;
  }
  std::vector<AlarmObj> Handled() {
    std::lock_guard<std::mutex> lock(mutex_);
    return handled_;
  }

 private:
  std::mutex mutex_;
  std::vector<AlarmObj> puts_;
  std::vector<AlarmObj> handled_;
};

// The wall clock moves on by one second at every look, so two looks at
// the time never give the same stamp.
class TickingEnv : public tarrow_test::TestEnv {
 public:
  using tarrow_test::TestEnv::TestEnv;
  struct timespec WallClock() override {
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(1700000000 + ticks_.fetch_add(1));
    ts.tv_nsec = 0;
    return ts;
  }

 private:
  std::atomic<long long> ticks_{0};
};

void SetMethods(ConfigManager& config, int kind, const std::vector<int32_t>& methods) {
  ConfigListEdit<AlarmExecConfig> edit = config.EditAlarmExecConfig();
  while (static_cast<int>(edit->size()) <= kind) edit->push_back(new AlarmExecConfig(static_cast<int>(edit->size())));
  (*edit)[kind]->SetMethods(methods);
}

// A manager over recording executors whose threads are not started, so
// every alarm stays where BroadAlarm put it.
class AlarmManagerRouting : public ::testing::Test {
 protected:
  AlarmManagerRouting()
      : env_(dir_.Path()),
        log_(new Recorded<LogAlarmExec>(&config_)),
        email_(new Recorded<EmailAlarmExec>(&config_, nullptr)),
        slea_(new Recorded<SLEAAlarmExec>(new FakeToneDevice())),
        custom_(new Recorded<CustomAlarmExec>(&config_)),
        manager_(&config_, log_, email_, slea_, custom_) {}

  tarrow_test::TempDir dir_;
  TickingEnv env_;
  ConfigManager config_;
  Recorded<LogAlarmExec>* log_;
  Recorded<EmailAlarmExec>* email_;
  Recorded<SLEAAlarmExec>* slea_;
  Recorded<CustomAlarmExec>* custom_;
  AlarmManager manager_;
};

TEST_F(AlarmManagerRouting, EachKindReachesTheLogAndItsConfiguredExecutorsWithOneTimeStamp) {
  struct Case {
    std::vector<int32_t> methods;
    size_t email, slea, custom;
  };
  const std::vector<Case> cases = {
      {{}, 0, 0, 0},  {{0}, 0, 0, 0},       {{1, 3}, 1, 0, 1},  {{1, 1}, 2, 0, 0},
      {{2}, 0, 1, 0}, {{0, 2, 0}, 0, 1, 0}, {{9, -1}, 0, 0, 0},
  };
  size_t logged = 0;
  size_t emailed = 0, sounded = 0, run = 0;
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(::testing::PrintToString(c.methods));
    SetMethods(config_, 5, c.methods);
    const std::string text = "告警" + std::to_string(i);
    manager_.BroadAlarm(5, text);

    std::vector<AlarmObj> logs = log_->Puts();
    ASSERT_EQ(++logged, logs.size());  // logged once, whatever the methods say
    const AlarmObj& logLine = logs.back();
    EXPECT_EQ(5, logLine.kind);
    EXPECT_EQ(text, logLine.text);

    struct Target {
      std::vector<AlarmObj> puts;
      size_t& seen;
      size_t expected;
    };
    Target targets[] = {
        {email_->Puts(), emailed, c.email}, {slea_->Puts(), sounded, c.slea}, {custom_->Puts(), run, c.custom}};
    for (Target& target : targets) {
      ASSERT_EQ(target.seen + target.expected, target.puts.size());
      for (size_t k = target.seen; k < target.puts.size(); ++k) {
        EXPECT_EQ(5, target.puts[k].kind);
        EXPECT_EQ(text, target.puts[k].text);
        EXPECT_EQ(logLine.time.ToString(), target.puts[k].time.ToString());
      }
      target.seen = target.puts.size();
    }
  }
}

TEST_F(AlarmManagerRouting, KindsOutsideTheTableAreLoggedOnly) {
  SetMethods(config_, 17, {1, 2, 3});  // an eighteenth record is never looked at
  for (int kind : {17, -1, 1000, -5}) manager_.BroadAlarm(kind, "x" + std::to_string(kind));

  std::vector<AlarmObj> logs = log_->Puts();
  ASSERT_EQ(4u, logs.size());
  EXPECT_EQ(17, logs[0].kind);
  EXPECT_EQ(-1, logs[1].kind);
  EXPECT_TRUE(email_->Puts().empty());
  EXPECT_TRUE(slea_->Puts().empty());
  EXPECT_TRUE(custom_->Puts().empty());
}

TEST_F(AlarmManagerRouting, MakeExecMapsTheMethodNumbers) {
  EXPECT_EQ(nullptr, manager_.MakeExec(0));
  EXPECT_EQ(email_, manager_.MakeExec(1));
  EXPECT_EQ(slea_, manager_.MakeExec(2));
  EXPECT_EQ(custom_, manager_.MakeExec(3));
  EXPECT_EQ(nullptr, manager_.MakeExec(4));
  EXPECT_EQ(nullptr, manager_.MakeExec(-1));
}

TEST_F(AlarmManagerRouting, DisposedManagerDropsEveryAlarm) {
  SetMethods(config_, 2, {1, 2, 3});
  manager_.Dispose();
  manager_.BroadAlarm(2, "after dispose");
  EXPECT_TRUE(log_->Puts().empty());
  EXPECT_TRUE(email_->Puts().empty());
  EXPECT_TRUE(slea_->Puts().empty());
  EXPECT_TRUE(custom_->Puts().empty());
}

// ---- the executor base -----------------------------------------------------

class BatchRecorder : public AlarmExec {
 public:
  BatchRecorder() = default;
  explicit BatchRecorder(uint32_t delayMs) : AlarmExec(delayMs) {}
  ~BatchRecorder() override { CallExit(); }

  void DoAlarm(std::vector<AlarmObj>& batch) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      batches_.push_back(batch);
    }
    for (const AlarmObj& alarm : batch) {
      if (alarm.text == "boom") throw new Exception("TEST", "boom");
    }
    while (hold_.load()) Sleep(5);
  }
  void BeforeExit() override { exits_.fetch_add(1); }

  std::vector<std::vector<AlarmObj>> Batches() {
    std::lock_guard<std::mutex> lock(mutex_);
    return batches_;
  }
  size_t Count() {
    size_t n = 0;
    for (const auto& batch : Batches()) n += batch.size();
    return n;
  }

  std::atomic<bool> hold_{false};  // DoAlarm stays until cleared
  std::atomic<int> exits_{0};

 private:
  std::mutex mutex_;
  std::vector<std::vector<AlarmObj>> batches_;
};

TEST(AlarmExec, FullQueueDropsTheAlarmAfterThePutWait) {
  BatchRecorder exec;  // not started: nothing leaves the queue
  exec.SetPutWait(200);
  for (int i = 0; i < 49; ++i) ASSERT_TRUE(exec.PutLog(1, "a", DateTime()));

  const Clock::time_point start = Clock::now();
  EXPECT_FALSE(exec.PutLog(1, "one too many", DateTime()));
  const long long waited = MsSince(start);
  EXPECT_GE(waited, 190);
  EXPECT_LT(waited, 5000);
  EXPECT_EQ(1, exec.GetDroppedCount());

  BatchRecorder small(1000);  // the delayed executor holds 9
  small.SetPutWait(0);
  for (int i = 0; i < 9; ++i) ASSERT_TRUE(small.PutLog(1, "a", DateTime()));
  EXPECT_FALSE(small.PutLog(1, "b", DateTime()));
}

// The trace-log lines of dir ("[date time]" and the text, each ending in CR LF),
// without their time stamps.
std::vector<std::string> TraceEntries(const tarrow_test::TempDir& dir) {
  std::vector<std::string> entries;
  const std::string log = dir.Read("log/trace.log");
  size_t begin = 0;
  for (size_t end; (end = log.find("\r\n", begin)) != std::string::npos; begin = end + 2) {
    const std::string line = log.substr(begin, end - begin);
    const size_t close = line.find(']');
    entries.push_back(close == std::string::npos ? line : line.substr(close + 1));
  }
  EXPECT_EQ(log.size(), begin) << "a trace line without its CR LF";
  return entries;
}

// Each alarm an executor drops leaves one trace-log line that names its kind
// and the executor and holds its text, cut to at most 200 bytes without
// splitting a character; the daemon's standard output is /dev/null.
TEST(AlarmExec, DroppedAlarmIsTracedWithKindExecutorAndText) {
  tarrow_test::TempDir dir;
  tarrow_test::TestEnv env(dir.Path(), dir.Path());
  dir.MakeDir("log");
  ConfigManager config;
  const std::string a197(197, 'a');
  struct Case {
    std::string text;
    std::string traced;
  };
  const std::vector<Case> cases = {
      {"短文本", "短文本"},
      {std::string(250, 'x'), std::string(200, 'x')},
      {a197 + "脑", a197 + "脑"},                         // exactly 200 bytes: whole
      {a197 + "a" + "脑裂", a197 + "a"},                  // a 3-byte character over byte 200
      {a197 + "aa" + "脑裂", a197 + "aa"},                // cut after its first byte
      {a197 + "\xF0\x9F\x98\x80" + "z", a197},          // a 4-byte character from byte 198
      {"第一行\r\n第二行|x", "第一行  第二行|x"},          // stays one line
  };

  LogAlarmExec log(&config);
  EmailAlarmExec email(&config, nullptr);
  SLEAAlarmExec slea(new FakeToneDevice());
  CustomAlarmExec custom(&config);
  struct Executor {
    AlarmExec* exec;
    int room;
    std::string word;
  };
  const std::vector<Executor> executors = {
      {&log, 49, "LOG"}, {&email, 9, "EMAIL"}, {&slea, 49, "SLE"}, {&custom, 49, "CUSTOM"}};
  std::vector<std::string> expected;
  int kind = 0;
  for (const Executor& e : executors) {  // threads not started: nothing leaves the queues
    e.exec->SetPutWait(0);
    e.exec->SetSpillLimit(0);  // the log executor's list beside the queue: none here
    for (int i = 0; i < e.room; ++i) ASSERT_TRUE(e.exec->PutLog(1, "queued", DateTime()));
    for (const Case& c : cases) {
      EXPECT_FALSE(e.exec->PutLog(kind, c.text, DateTime()));
      expected.push_back("告警队列已满，告警被丢弃：执行体 " + e.word + "，类型 " + std::to_string(kind) + "，内容 " +
                         c.traced);
      kind = (kind + 1) % 17;
    }
    EXPECT_EQ(static_cast<long>(cases.size()), e.exec->GetDroppedCount());
  }
  EXPECT_EQ(expected, TraceEntries(dir));
}

TEST(AlarmExecConcurrency, BurstWithinTheDelayIsOneBatchInRaisingOrder) {
  BatchRecorder exec(2000);  // long enough that no stall of this thread splits the burst
  exec.Start();
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(exec.PutLog(6, std::to_string(i), DateTime()));
  ASSERT_TRUE(WaitUntil([&] { return exec.Count() == 10; }));
  std::vector<std::vector<AlarmObj>> batches = exec.Batches();
  ASSERT_EQ(1u, batches.size());
  for (int i = 0; i < 10; ++i) EXPECT_EQ(std::to_string(i), batches[0][i].text);
}

TEST(AlarmExecConcurrency, FailedBatchIsLostAndTheNextIsHandled) {
  BatchRecorder exec;
  exec.Start();
  exec.PutLog(3, "boom", DateTime());
  ASSERT_TRUE(WaitUntil([&] { return exec.Batches().size() == 1; }));
  exec.PutLog(-1, "a raiser's kind -1 is no stop marker", DateTime());
  exec.PutLog(3, "next", DateTime());
  ASSERT_TRUE(WaitUntil([&] { return exec.Count() == 3; }));
  EXPECT_TRUE(exec.IsRunning());
  std::vector<std::vector<AlarmObj>> batches = exec.Batches();
  EXPECT_EQ(-1, batches[1][0].kind);
  EXPECT_EQ("next", batches.back().back().text);
}

TEST(AlarmExecConcurrency, CallExitEndsAnIdleThreadAndCallsBeforeExit) {
  BatchRecorder exec;
  exec.Start();
  ASSERT_TRUE(exec.IsRunning());
  const Clock::time_point start = Clock::now();
  exec.CallExit();
  EXPECT_LT(MsSince(start), 4000);  // the stop marker wakes it; no forced end
  EXPECT_FALSE(exec.IsRunning());
  EXPECT_EQ(1, exec.exits_.load());
  exec.CallExit();  // a second time does nothing
  EXPECT_EQ(1, exec.exits_.load());
}

TEST(AlarmExecConcurrency, CallExitForcesAStuckThreadAfterTheExitWait) {
  SKIP_WHEN_CANCELLATION_UNSUPPORTED();
  BatchRecorder exec;
  exec.SetExitWait(300);
  exec.hold_.store(true);
  exec.Start();
  exec.PutLog(1, "stuck", DateTime());
  ASSERT_TRUE(WaitUntil([&] { return exec.Count() == 1; }));
  const Clock::time_point start = Clock::now();
  exec.CallExit();
  EXPECT_GE(MsSince(start), 290);
  EXPECT_FALSE(exec.IsRunning());
  exec.hold_.store(false);
}

TEST(AlarmExecConcurrency, EveryAlarmOfManyRaisersArrivesOnceInEachRaisersOrder) {
  BatchRecorder exec;
  exec.Start();
  const int raisers = 4, each = 200;
  std::vector<std::thread> threads;
  for (int r = 0; r < raisers; ++r) {
    threads.emplace_back([&exec, r] {
      for (int i = 0; i < each; ++i) exec.PutLog(r, std::to_string(i), DateTime());
    });
  }
  for (std::thread& t : threads) t.join();
  ASSERT_TRUE(WaitUntil([&] { return exec.Count() == static_cast<size_t>(raisers * each); }));

  std::vector<int> next(raisers, 0);
  for (const auto& batch : exec.Batches()) {
    for (const AlarmObj& alarm : batch) {
      ASSERT_EQ(std::to_string(next[alarm.kind]), alarm.text);
      ++next[alarm.kind];
    }
  }
  EXPECT_EQ(0, exec.GetDroppedCount());
}

// ---- the manager with running executors ------------------------------------

// Custom program executor whose DoAlarm hangs until released.
class StuckCustom : public CustomAlarmExec {
 public:
  explicit StuckCustom(ConfigManager* config) : CustomAlarmExec(config) {}
  ~StuckCustom() override {
    release_.store(true);
    CallExit();
  }
  void DoAlarm(std::vector<AlarmObj>& batch) override {
    entered_.fetch_add(1);
    handled_.fetch_add(static_cast<int>(batch.size()));
    while (!release_.load()) Sleep(5);
  }
  std::atomic<bool> release_{false};
  std::atomic<int> entered_{0};
  std::atomic<int> handled_{0};
};

int CountLines(const std::string& text) {
  int lines = 0;
  for (char c : text) lines += c == '\n' ? 1 : 0;
  return lines;
}

TEST(AlarmManagerConcurrency, RaisersNeverWaitLongForAStuckExecutor) {
  tarrow_test::TempDir dir;
  tarrow_test::TestEnv env(dir.Path(), dir.Path());
  dir.MakeDir("log");
  ConfigManager config;
  SetMethods(config, 3, {3});
  FakeToneDevice* device = new FakeToneDevice();
  StuckCustom* custom = new StuckCustom(&config);
  AlarmManager manager(&config, nullptr, nullptr, new SLEAAlarmExec(device), custom);
  manager.Init();

  manager.BroadAlarm(3, "first");
  ASSERT_TRUE(WaitUntil([&] { return custom->entered_.load() == 1; }));

  const int raisers = 4, each = 20;
  std::atomic<long long> longest{0};
  std::vector<std::thread> threads;
  for (int r = 0; r < raisers; ++r) {
    threads.emplace_back([&] {
      for (int i = 0; i < each; ++i) {
        const Clock::time_point start = Clock::now();
        manager.BroadAlarm(3, "burst");
        const long long took = MsSince(start);
        long long seen = longest.load();
        while (took > seen && !longest.compare_exchange_weak(seen, took)) {
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_LT(longest.load(), 5000);  // a short wait for a slot, far below the 20 s of the log queue
  // 49 wait in the queue; the rest were dropped, each with its trace line.
  EXPECT_EQ(raisers * each - 49, custom->GetDroppedCount());
  int traced = 0;
  for (const std::string& entry : TraceEntries(dir)) {
    traced += entry == "告警队列已满，告警被丢弃：执行体 CUSTOM，类型 3，内容 burst" ? 1 : 0;
  }
  EXPECT_EQ(raisers * each - 49, traced);

  // The log executor got every alarm all the same.
  const std::string logFile = LogAlarmExec::LogFileName(DateTime());
  EXPECT_TRUE(WaitUntil([&] { return CountLines(dir.Read(logFile)) == 1 + raisers * each; }));

  custom->release_.store(true);
  EXPECT_TRUE(WaitUntil([&] { return custom->handled_.load() == 50; }));
}

// Every alarm goes to the log executor, raised also by threads that hold a
// tree's lock: a full log queue drops the alarm with its trace line at once
// instead of holding the raiser for the queue's wait.
TEST(AlarmManagerConcurrency, FullLogQueueNeverHoldsTheRaiser) {
  tarrow_test::TempDir dir;
  tarrow_test::TestEnv env(dir.Path(), dir.Path());
  dir.MakeDir("log");
  ConfigManager config;
  LogAlarmExec* log = new LogAlarmExec(&config);
  AlarmManager manager(&config, log, nullptr, nullptr, nullptr);  // not started: nothing leaves the queue
  const int room = 49 + LogAlarmExec::SPILL_LIMIT;  // the queue, and the list beside it
  auto raised = std::async(std::launch::async, [&] {
    for (int i = 0; i < room; ++i) manager.BroadAlarm(11, "queued");
    manager.BroadAlarm(3, "one too many");
  });
  const bool ready = raised.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  EXPECT_TRUE(ready) << "the raiser waits for room";
  if (!ready) manager.Init();  // let it through
  raised.get();
  EXPECT_EQ(1, log->GetDroppedCount());
  const std::vector<std::string> entries = TraceEntries(dir);
  EXPECT_NE(entries.end(),
            std::find(entries.begin(), entries.end(), "告警队列已满，告警被丢弃：执行体 LOG，类型 3，内容 one too many"));
}

TEST(AlarmManagerConcurrency, InitStartsAndDisposeStopsAllFourExecutors) {
  tarrow_test::TempDir dir;
  tarrow_test::TestEnv env(dir.Path(), dir.Path());
  ConfigManager config;
  SetMethods(config, 14, {1, 2, 3});  // the e-mail has no server: nothing is sent
  FakeToneDevice* device = new FakeToneDevice();
  SLEAAlarmExec* slea = new SLEAAlarmExec(device);
  slea->SetTiming(20, 20, 20);
  AlarmManager manager(&config, nullptr, nullptr, slea, nullptr);
  manager.Init();
  AlarmExec* all[] = {manager.GetLogAlarmExec(), manager.GetEmailAlarmExec(), manager.GetSLEAAlarmExec(),
                      manager.GetCustomAlarmExec()};
  for (AlarmExec* exec : all) EXPECT_TRUE(exec->IsRunning());

  manager.BroadAlarm(14, "镜像盘发生脑裂");
  manager.BroadAlarm(-1, "kind -1 is logged and does not stop the log executor");
  manager.BroadAlarm(11, "after it");
  const std::string logFile = LogAlarmExec::LogFileName(DateTime());
  ASSERT_TRUE(WaitUntil([&] { return CountLines(dir.Read(logFile)) == 3; }));
  EXPECT_NE(std::string::npos, dir.Read(logFile).find("|after it\n"));
  ASSERT_TRUE(WaitUntil([&] { return device->CountTones(SLEAAlarmExec::TONE_DIVISOR) > 0; }));

  manager.Dispose();  // the speaker is still sounding: the stop ends it
  for (AlarmExec* exec : all) EXPECT_FALSE(exec->IsRunning());
  EXPECT_FALSE(device->IsOpen());

  manager.BroadAlarm(11, "not logged");
  EXPECT_EQ(std::string::npos, dir.Read(logFile).find("not logged"));
}

// A daemon that exits right after raising an alarm: the exit stops the
// executor threads, and the log executor first writes what it still holds.
TEST(AlarmManagerConcurrency, ProcessExitStopsTheExecutorsAndWritesWhatTheLogHolds) {
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";  // the child is a fresh process
  // The child runs this test again up to the exit: it finds the parent's
  // folder in the environment.
  const char* const kDirVariable = "TARROW_ALARM_EXIT_TEST_DIR";
  std::unique_ptr<tarrow_test::TempDir> own;
  std::string path;
  if (const char* given = std::getenv(kDirVariable)) {
    path = given;
  } else {
    own.reset(new tarrow_test::TempDir());
    path = own->Path();
    setenv(kDirVariable, path.c_str(), 1);
  }
  EXPECT_EXIT(
      {
        tarrow_test::TestEnv env(path, path);
        AlarmManager* manager = AlarmManager::Instance();
        manager->Init();
        for (int i = 0; i < 20; ++i) OXAlarm(11, "before exit " + std::to_string(i));
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  unsetenv(kDirVariable);

  ASSERT_TRUE(own != nullptr);
  const std::string log = own->Read(LogAlarmExec::LogFileName(DateTime()));
  EXPECT_EQ(20, CountLines(log));
  EXPECT_NE(std::string::npos, log.find("|before exit 19\n"));
  EXPECT_NE(std::string::npos, own->Read("log/recent_alarm.log").find("|before exit 19"));
}

// Runs the exit helper once in dir; its standard output and error go to
// dir + "output". The wait status, or -1 when it had to be killed.
int RunExitHelper(const tarrow_test::TempDir& dir) {
  const std::string output = dir.File("output");
  const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return -2;
  const std::string program = TARROW_ALARM_EXIT_HELPER;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fd, 1);
    dup2(fd, 2);
    execl(program.c_str(), program.c_str(), dir.Path().c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  ::close(fd);
  if (pid < 0) return -2;
  int status = 0;
  if (!WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 120000)) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
  }
  return status;
}

// A daemon stopped while its threads raise alarms and validate disk volume
// records: the exit disposes of the alarm manager while those threads run
// on, so nothing they or the disposal reach may be destroyed at exit.
TEST(AlarmManagerConcurrency, ProcessRaisingAlarmsFromSeveralThreadsExitsCleanly) {
  for (int run = 0; run < 5; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    tarrow_test::TempDir dir;
    dir.MakeDir("log");
    const int status = RunExitHelper(dir);
    const std::string output = dir.Read("output");
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status << "\n" << output;
    EXPECT_EQ(std::string::npos, output.find("Sanitizer")) << output;
    EXPECT_EQ(std::string::npos, output.find("runtime error")) << output;
    EXPECT_NE(std::string::npos, dir.Read(LogAlarmExec::LogFileName(DateTime())).find("|线程0告警0\n"));
  }
}

}  // namespace
