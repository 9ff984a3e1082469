#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "entity/AlarmObj.h"
#include "alarm/SLEAAlarmExec.h"
#include "entity/SLEAData.h"
#include "framework/DateTime.h"
#include "support/TempDir.h"
#include "support/TestEnv.h"
#include "tests/alarm/AlarmTestSupport.h"

using alarm_test::EventRecorder;
using alarm_test::FakeToneDevice;
using alarm_test::WaitUntil;
using Oxbrindale::Velmora::Entity::AlarmObj;
using Oxbrindale::Velmora::Alarm::SLEAAlarmExec;
using Oxbrindale::Velmora::Entity::SLEAData;
using Oxbrindale::Velmora::Framework::DateTime;

namespace {

using Clock = std::chrono::steady_clock;
const int kTone = SLEAAlarmExec::TONE_DIVISOR;

long long Ms(Clock::duration d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); }

bool Shows(SLEAAlarmExec& exec, const std::string& text, bool sounding) {
  std::unique_ptr<SLEAData> data = exec.GetSLEAData();
  return data->GetText() == text && data->IsSounding() == sounding;
}

// The calls must alternate tone on / tone off, starting with on; returns
// false when they do not.
bool Alternates(const std::vector<FakeToneDevice::Call>& calls) {
  for (size_t i = 0; i < calls.size(); ++i) {
    if (calls[i].divisor != (i % 2 == 0 ? kTone : 0)) return false;
  }
  return true;
}

class SLEAAlarmExecConcurrency : public ::testing::Test {
 protected:
  SLEAAlarmExecConcurrency() : env_(dir_.Path(), dir_.Path()) {}

  tarrow_test::TempDir dir_;
  tarrow_test::TestEnv env_;
};

// The one test at the real timing: 1500 ms on, 1000 ms off.
TEST_F(SLEAAlarmExecConcurrency, SoundsOnAndOffWithTheConsoleTiming) {
  FakeToneDevice* device = new FakeToneDevice();
  SLEAAlarmExec exec(device);
  exec.Start();
  exec.PutLog(14, "镜像盘发生脑裂", DateTime());
  ASSERT_TRUE(WaitUntil([&] { return device->CountTones(kTone) == 2; }));
  exec.ResetSLEA();
  ASSERT_TRUE(WaitUntil([&] { return device->Closes() == 1; }));

  const std::vector<FakeToneDevice::Call> calls = device->Calls();
  ASSERT_TRUE(Alternates(calls));
  ASSERT_EQ(4u, calls.size());  // the cycle under way when reset ends with its pause
  EXPECT_GE(Ms(calls[1].at - calls[0].at), 1490);
  EXPECT_GE(Ms(calls[2].at - calls[1].at), 990);
  EXPECT_GE(Ms(calls[3].at - calls[2].at), 1490);
  EXPECT_EQ(1, device->Opens());
}

TEST_F(SLEAAlarmExecConcurrency, BatchSoundsForItsNewestAlarmUntilReset) {
  FakeToneDevice* device = new FakeToneDevice();
  SLEAAlarmExec exec(device);
  exec.SetTiming(20, 10, 10);
  EventRecorder events;
  exec.PutLog(1, "first", DateTime(2024, 1, 2, 3, 4, 5, 0));
  exec.PutLog(2, "second", DateTime(2024, 1, 2, 3, 4, 6, 0));
  exec.PutLog(7, "third", DateTime(2024, 1, 2, 3, 4, 7, 0));
  exec.Start();  // the three queued alarms make one batch

  ASSERT_TRUE(WaitUntil([&] { return device->CountTones(kTone) >= 3; }));
  std::unique_ptr<SLEAData> data = exec.GetSLEAData();
  EXPECT_TRUE(data->IsSounding());
  EXPECT_EQ(7, data->GetAlarmKind());
  EXPECT_EQ("third", data->GetText());
  EXPECT_EQ("2024-1-2 03:04:07", data->GetDateTime().ToString());
  EXPECT_EQ(1, device->Opens());  // one batch

  exec.ResetSLEA();
  ASSERT_TRUE(WaitUntil([&] { return device->Closes() == 1; }));
  const size_t heard = device->Calls().size();
  EXPECT_TRUE(Alternates(device->Calls()));
  EXPECT_EQ(0, device->Calls().back().divisor);  // left silent

  data = exec.GetSLEAData();
  EXPECT_FALSE(data->IsSounding());  // kind, time and text stay
  EXPECT_EQ(7, data->GetAlarmKind());
  EXPECT_EQ("third", data->GetText());
  EXPECT_EQ("false\n7\n2024-1-2 03:04:07\nthird", data->ToString());

  // One change when the batch began, one at the reset.
  ASSERT_TRUE(WaitUntil([&] { return events.WithPrefix("SLEA_DATA_CHANGE").size() == 2; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(heard, device->Calls().size());
}

TEST_F(SLEAAlarmExecConcurrency, NewAlarmEndsTheCycleAndSoundsTheNewest) {
  FakeToneDevice* device = new FakeToneDevice();
  SLEAAlarmExec exec(device);
  exec.SetTiming(20, 10, 10);
  exec.Start();
  exec.PutLog(3, "older", DateTime());
  ASSERT_TRUE(WaitUntil([&] { return device->CountTones(kTone) >= 2; }));
  exec.PutLog(4, "newer", DateTime());
  ASSERT_TRUE(WaitUntil([&] { return device->Opens() == 2 && Shows(exec, "newer", true); }));
  EXPECT_EQ(1, device->Closes());  // the older sounding ended, silent
  EXPECT_EQ(4, exec.GetSLEAData()->GetAlarmKind());
  ASSERT_TRUE(WaitUntil([&] { return device->IsOpen() && device->CountTones(kTone) >= 4; }));
  EXPECT_TRUE(Alternates(device->Calls()));
  exec.ResetSLEA();
  ASSERT_TRUE(WaitUntil([&] { return device->Closes() == 2; }));
}

// The new-alarm flag of an alarm must never end that alarm's own sounding,
// however fast the thread takes it.
TEST_F(SLEAAlarmExecConcurrency, AlarmAtAnIdleSpeakerKeepsSoundingUntilReset) {
  FakeToneDevice* device = new FakeToneDevice();
  SLEAAlarmExec exec(device);
  exec.SetTiming(2, 1, 1);
  exec.Start();
  for (int i = 1; i <= 20; ++i) {
    SCOPED_TRACE(i);
    const int tones = device->CountTones(kTone);
    exec.PutLog(i % 17, "alarm " + std::to_string(i), DateTime());
    ASSERT_TRUE(WaitUntil([&] { return device->CountTones(kTone) >= tones + 3; }, 5000));
    exec.ResetSLEA();
    ASSERT_TRUE(WaitUntil([&] { return device->Closes() == i; }));
  }
}

// The new-alarm flag marks alarms queued since the sounding batch began; an
// alarm the full queue dropped takes its mark back, and only its own.
TEST_F(SLEAAlarmExecConcurrency, DroppedAlarmLeavesNoNewAlarmFlag) {
  struct Case {
    int queuedBeforeBatch;  // alarms waiting when the batch begins
    bool flaggedAfterDrop;  // one more alarm is queued after it began when there is room
  };
  for (const Case& c : {Case{49, false}, Case{48, true}}) {
    SCOPED_TRACE(c.queuedBeforeBatch);
    SLEAAlarmExec exec(new FakeToneDevice());  // not started: the test begins the batch itself
    exec.SetPutWait(0);
    for (int i = 0; i < c.queuedBeforeBatch; ++i) ASSERT_TRUE(exec.PutLog(1, "waiting", DateTime()));
    std::vector<AlarmObj> batch = {AlarmObj(2, "sounding", DateTime())};
    exec.DoAlarm(batch);  // alarms wait: it begins and leaves at once
    ASSERT_TRUE(Shows(exec, "sounding", true));
    EXPECT_FALSE(exec.HasNewAlarm());
    if (c.queuedBeforeBatch < 49) {
      ASSERT_TRUE(exec.PutLog(3, "queued after it began", DateTime()));
      EXPECT_TRUE(exec.HasNewAlarm());
    }
    EXPECT_FALSE(exec.PutLog(4, "dropped", DateTime()));
    EXPECT_EQ(c.flaggedAfterDrop, exec.HasNewAlarm());
    EXPECT_EQ(1, exec.GetDroppedCount());
  }
}

TEST_F(SLEAAlarmExecConcurrency, ResetWhileSilentOnlyPostsTheChange) {
  FakeToneDevice* device = new FakeToneDevice();
  SLEAAlarmExec exec(device);
  EventRecorder events;
  exec.ResetSLEA();
  ASSERT_TRUE(WaitUntil([&] { return events.WithPrefix("SLEA_DATA_CHANGE").size() == 1; }));
  std::unique_ptr<SLEAData> data = exec.GetSLEAData();
  EXPECT_FALSE(data->IsSounding());
  EXPECT_EQ(-1, data->GetAlarmKind());
  EXPECT_EQ("", data->GetText());
  EXPECT_EQ(0, device->Opens());
}

// An alarm queued after the drain of a batch but before that batch starts
// sounding must not wait behind the older sounding.
class RaisesAfterTheDrain : public SLEAAlarmExec {
 public:
  explicit RaisesAfterTheDrain(FakeToneDevice* device) : SLEAAlarmExec(device) {}
  ~RaisesAfterTheDrain() override { CallExit(); }
  void DoAlarm(std::vector<AlarmObj>& batch) override {
    if (!raised_) {
      raised_ = true;
      PutLog(9, "right after the drain", DateTime());
    }
    SLEAAlarmExec::DoAlarm(batch);
  }

 private:
  bool raised_ = false;  // executor thread only
};

TEST_F(SLEAAlarmExecConcurrency, AlarmRightAfterTheDrainIsSoundedPromptly) {
  FakeToneDevice* device = new FakeToneDevice();
  RaisesAfterTheDrain exec(device);
  exec.SetTiming(20, 10, 10);
  exec.Start();
  exec.PutLog(1, "older", DateTime());
  EXPECT_TRUE(WaitUntil([&] { return Shows(exec, "right after the drain", true); }, 5000));
  exec.ResetSLEA();
}

TEST_F(SLEAAlarmExecConcurrency, UnopenableSpeakerWaitsWithoutSpinningAndStillLeavesOnReset) {
  FakeToneDevice* device = new FakeToneDevice(false);
  SLEAAlarmExec exec(device);
  exec.SetTiming(20, 10, 50);
  exec.Start();
  exec.PutLog(5, "no speaker", DateTime());
  ASSERT_TRUE(WaitUntil([&] { return Shows(exec, "no speaker", true) && device->Opens() == 1; }));

  struct timespec before, after;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &before);
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &after);
  const long long cpuMs = (after.tv_sec - before.tv_sec) * 1000LL + (after.tv_nsec - before.tv_nsec) / 1000000L;
  EXPECT_LT(cpuMs, 500);  // a spinning loop would burn the whole second
  EXPECT_TRUE(device->Calls().empty());

  exec.ResetSLEA();
  exec.PutLog(6, "next", DateTime());  // handled only once the first batch has left
  EXPECT_TRUE(WaitUntil([&] { return device->Opens() == 2 && Shows(exec, "next", true); }));
  exec.CallExit();  // the stop flag ends the waiting too
  EXPECT_FALSE(exec.IsRunning());
}

TEST_F(SLEAAlarmExecConcurrency, ConsoleReadsWholeRecordsWhileAlarmsArriveAndResetsRace) {
  FakeToneDevice* device = new FakeToneDevice();
  SLEAAlarmExec exec(device);
  exec.SetTiming(1, 1, 1);
  exec.Start();
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::vector<std::thread> consoles;
  for (int c = 0; c < 2; ++c) {
    consoles.emplace_back([&, c] {
      while (!done.load()) {
        std::unique_ptr<SLEAData> data = exec.GetSLEAData();
        const int kind = data->GetAlarmKind();
        if (kind >= 0 && data->GetText() != "kind " + std::to_string(kind)) torn.fetch_add(1);
        if (kind >= 0 && data->GetDateTime().second != kind) torn.fetch_add(1);
        if (c == 1) exec.ResetSLEA();
      }
    });
  }
  for (int i = 0; i < 300; ++i) {
    const int kind = i % 17;
    exec.PutLog(kind, "kind " + std::to_string(kind), DateTime(2024, 1, 1, 0, 0, kind, 0));
  }
  ASSERT_TRUE(WaitUntil([&] { return exec.GetSLEAData()->GetText() == "kind " + std::to_string(299 % 17); }));
  done.store(true);
  for (std::thread& t : consoles) t.join();
  EXPECT_EQ(0, torn.load());
  exec.CallExit();
  EXPECT_FALSE(device->IsOpen());
}

}  // namespace
