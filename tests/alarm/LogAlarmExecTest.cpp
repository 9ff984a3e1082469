#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "entity/AlarmObj.h"
#include "alarm/LogAlarmExec.h"
#include "config/ConfigManager.h"
#include "framework/DateTime.h"
#include "support/TempDir.h"
#include "support/TestEnv.h"
#include "tests/alarm/AlarmTestSupport.h"

using alarm_test::EventRecorder;
using alarm_test::WaitUntil;
using Oxbrindale::Velmora::Entity::AlarmObj;
using Oxbrindale::Velmora::Alarm::LogAlarmExec;
using Oxbrindale::Velmora::Config::ConfigManager;
using Oxbrindale::Velmora::Framework::DateTime;

namespace {

class LogAlarmExecFixture : public ::testing::Test {
 protected:
  LogAlarmExecFixture() : env_(dir_.Path()) {}

  static std::vector<std::string> Texts(const std::vector<AlarmObj>& alarms) {
    std::vector<std::string> texts;
    for (const AlarmObj& alarm : alarms) texts.push_back(alarm.text);
    return texts;
  }

  tarrow_test::TempDir dir_;
  tarrow_test::TestEnv env_;
};

using LogAlarmExecFiles = LogAlarmExecFixture;
// Suites that involve the executor's thread or the event thread.
using LogAlarmExecConcurrency = LogAlarmExecFixture;

TEST_F(LogAlarmExecFiles, FileIsNamedByYearAndTwoDigitMonth) {
  EXPECT_EQ("log/202403.log", LogAlarmExec::LogFileName(DateTime(2024, 3, 7, 8, 5, 9, 0)));
  EXPECT_EQ("log/200912.log", LogAlarmExec::LogFileName(DateTime(2009, 12, 31, 23, 59, 59, 0)));
}

TEST_F(LogAlarmExecFiles, BatchAcrossAMonthGoesWhollyIntoTheMonthOfItsFirstAlarm) {
  ConfigManager config;
  LogAlarmExec exec(&config);
  std::vector<AlarmObj> batch = {AlarmObj(6, "心跳连接\"A\"已经断开！", DateTime(2024, 1, 31, 23, 59, 59, 0)),
                                 AlarmObj(11, "运行", DateTime(2024, 2, 1, 0, 0, 1, 0))};
  exec.DoAlarm(batch);
  std::vector<AlarmObj> next = {AlarmObj(3, "later", DateTime(2024, 2, 1, 0, 0, 2, 0))};
  exec.DoAlarm(next);

  EXPECT_EQ("6|2024-1-31 23:59:59|心跳连接\"A\"已经断开！\n11|2024-2-1 00:00:01|运行\n", dir_.Read("log/202401.log"));
  EXPECT_EQ("3|2024-2-1 00:00:02|later\n", dir_.Read("log/202402.log"));

  // Appended, never replaced.
  exec.DoAlarm(next);
  EXPECT_EQ("3|2024-2-1 00:00:02|later\n3|2024-2-1 00:00:02|later\n", dir_.Read("log/202402.log"));
}

TEST_F(LogAlarmExecFiles, SeventeenthAlarmEvictsTheFirstAndTheListSurvivesARestart) {
  std::vector<std::string> expected;
  {
    ConfigManager config;
    LogAlarmExec exec(&config);
    EXPECT_TRUE(exec.GetRecentLog().empty());
    for (int i = 1; i <= 17; ++i) {
      std::vector<AlarmObj> batch = {AlarmObj(i % 17, "alarm " + std::to_string(i), DateTime(2024, 5, 1, 10, 0, i, 0))};
      exec.DoAlarm(batch);
      if (i >= 2) expected.push_back("alarm " + std::to_string(i));
    }
    EXPECT_EQ(expected, Texts(exec.GetRecentLog()));
  }
  // The saved list: one text form per line, no final line break.
  std::string saved = dir_.Read("log/recent_alarm.log");
  EXPECT_EQ(0u, saved.find("2|2024-5-1 10:00:02|alarm 2\n"));
  EXPECT_EQ("0|2024-5-1 10:00:17|alarm 17", saved.substr(saved.rfind('\n') + 1));

  ConfigManager config;
  LogAlarmExec restarted(&config);
  std::vector<AlarmObj> recent = restarted.GetRecentLog();
  EXPECT_EQ(expected, Texts(recent));
  EXPECT_EQ("2024-5-1 10:00:17", recent.back().time.ToString());
  EXPECT_EQ(0, recent.back().kind);
}

TEST_F(LogAlarmExecConcurrency, EachAlarmIsPostedAsRecentLogEvent) {
  ConfigManager config;
  LogAlarmExec exec(&config);
  EventRecorder events;
  std::vector<AlarmObj> batch = {AlarmObj(7, "恢复", DateTime(2024, 6, 1, 1, 2, 3, 0)),
                                 AlarmObj(8, "接管", DateTime(2024, 6, 1, 1, 2, 4, 0))};
  exec.DoAlarm(batch);
  ASSERT_TRUE(WaitUntil([&] { return events.WithPrefix("RECENT_LOG\t").size() == 2; }));
  const std::vector<std::string> posted = events.WithPrefix("RECENT_LOG\t");
  EXPECT_EQ("RECENT_LOG\t7|2024-6-1 01:02:03|恢复", posted[0]);
  EXPECT_EQ("RECENT_LOG\t8|2024-6-1 01:02:04|接管", posted[1]);
}

TEST_F(LogAlarmExecConcurrency, UnopenableLogFileLeavesListAndSavedListAlone) {
  dir_.MakeDir("log");
  dir_.Write("log/recent_alarm.log", "1|2024-1-1 00:00:00|old");
  ConfigManager config;
  LogAlarmExec exec(&config);
  dir_.MakeDir("log/202407.log");  // a directory where the month's file would be

  EventRecorder events;
  std::vector<AlarmObj> batch = {AlarmObj(3, "lost", DateTime(2024, 7, 1, 0, 0, 0, 0))};
  testing::internal::CaptureStdout();
  exec.DoAlarm(batch);
  EXPECT_EQ("file open failure!\n", testing::internal::GetCapturedStdout());

  EXPECT_EQ(std::vector<std::string>{"old"}, Texts(exec.GetRecentLog()));
  EXPECT_EQ("1|2024-1-1 00:00:00|old", dir_.Read("log/recent_alarm.log"));
  // A later alarm shows that nothing of the lost one was posted.
  std::vector<AlarmObj> later = {AlarmObj(4, "kept", DateTime(2024, 8, 1, 0, 0, 0, 0))};
  exec.DoAlarm(later);
  ASSERT_TRUE(WaitUntil([&] { return !events.WithPrefix("RECENT_LOG\t").empty(); }));
  EXPECT_EQ(std::vector<std::string>{"RECENT_LOG\t4|2024-8-1 00:00:00|kept"}, events.WithPrefix("RECENT_LOG\t"));
}

TEST_F(LogAlarmExecFiles, MissingLogFolderIsCreated) {
  ConfigManager config;
  LogAlarmExec exec(&config);
  std::vector<AlarmObj> batch = {AlarmObj(11, "x", DateTime(2030, 10, 2, 0, 0, 0, 0))};
  exec.DoAlarm(batch);
  EXPECT_EQ("11|2030-10-2 00:00:00|x\n", dir_.Read("log/203010.log"));
}

TEST_F(LogAlarmExecConcurrency, ThreadWritesQueuedAlarmsAndSavesAtExit) {
  ConfigManager config;
  LogAlarmExec exec(&config);
  exec.Start();
  EventRecorder events;
  const DateTime time(2025, 9, 9, 9, 9, 9, 0);
  for (int i = 0; i < 5; ++i) exec.PutLog(11, "line " + std::to_string(i), time);
  ASSERT_TRUE(WaitUntil([&] { return events.WithPrefix("RECENT_LOG\t").size() == 5; }));
  std::string expected;
  for (int i = 0; i < 5; ++i) expected += "11|2025-9-9 09:09:09|line " + std::to_string(i) + "\n";
  EXPECT_EQ(expected, dir_.Read("log/202509.log"));

  std::remove(dir_.File("log/recent_alarm.log").c_str());
  exec.CallExit();  // the thread's exit saves the list once more
  EXPECT_FALSE(exec.IsRunning());
  std::string saved = dir_.Read("log/recent_alarm.log");
  EXPECT_EQ(0u, saved.find("11|2025-9-9 09:09:09|line 0\n"));
}

}  // namespace
