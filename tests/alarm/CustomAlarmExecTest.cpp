#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "entity/AlarmObj.h"
#include "alarm/CustomAlarmExec.h"
#include "config/ConfigManager.h"
#include "config/CustomAlarmConfig.h"
#include "framework/DateTime.h"
#include "framework/MachineController.h"
#include "support/TempDir.h"
#include "support/TestEnv.h"
#include "tests/alarm/AlarmTestSupport.h"

using alarm_test::WaitUntil;
using alarm_test::WriteScript;
using Oxbrindale::Velmora::Entity::AlarmObj;
using Oxbrindale::Velmora::Alarm::CustomAlarmExec;
using Oxbrindale::Velmora::Config::ConfigManager;
using Oxbrindale::Velmora::Framework::DateTime;
using Oxbrindale::Velmora::Framework::MachineController;

namespace {

using Clock = std::chrono::steady_clock;

std::vector<AlarmObj> Batch(const std::vector<std::string>& texts) {
  std::vector<AlarmObj> batch;
  for (const std::string& text : texts) batch.emplace_back(11, text, DateTime());
  return batch;
}

TEST(CustomAlarmExec, FormatParameterPutsTheContentInEveryPlaceholder) {
  const std::string head = "[" + MachineController::GetHostName() + "]双机热备警报：";
  struct Case {
    std::string parameter;
    std::vector<std::string> texts;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"{$content$}", {"A", "B"}, head + "A;B"},
      {"{$content$}", {"only"}, head + "only"},
      {"-m {$content$} -n {$content$}", {"A"}, "-m " + head + "A -n " + head + "A"},
      {"no placeholder", {"A"}, "no placeholder"},
      {"\"{$content$}\"", {"say \"hi\"", "x"}, "\"" + head + "say 'hi';x\""},
      // Inserted content is not searched again.
      {"{$content$}|{$content$}", {"{$content$}"}, head + "{$content$}|" + head + "{$content$}"},
      {"{$content", {"A"}, "{$content"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.parameter);
    std::vector<AlarmObj> batch = Batch(c.texts);
    std::string parameter = c.parameter;
    CustomAlarmExec::FormatParameter(parameter, batch);
    EXPECT_EQ(c.expected, parameter);
  }
}

class CustomAlarmExecProgram : public ::testing::Test {
 protected:
  CustomAlarmExecProgram() : env_(dir_.Path()) {
    // Each argument on a line of its own, after the count.
    WriteScript(dir_.File("recorder.sh"), "out=\"" + dir_.File("args.txt") +
                                              "\"\n"
                                              "echo \"$#\" >> \"$out\"\n"
                                              "for a in \"$@\"; do printf '%s\\n' \"$a\" >> \"$out\"; done\n");
  }

  void Configure(const std::string& program, const std::string& parameter) {
    config_.GetCustomAlarmConfig()->SetProgram(program);
    config_.GetCustomAlarmConfig()->SetParameter(parameter);
  }

  tarrow_test::TempDir dir_;
  tarrow_test::TestEnv env_;
  ConfigManager config_;
};

TEST_F(CustomAlarmExecProgram, ProgramGetsTheFormattedParameterAsItsArguments) {
  Configure(dir_.File("recorder.sh"), "-v --alarm \"{$content$}\"");
  CustomAlarmExec exec(&config_);
  std::vector<AlarmObj> batch = Batch({"资源 \"db\" 启动失败", "second alarm"});
  exec.DoAlarm(batch);  // returns once the program has ended
  const std::string head = "[" + MachineController::GetHostName() + "]双机热备警报：";
  EXPECT_EQ("3\n-v\n--alarm\n" + head + "资源 'db' 启动失败;second alarm\n", dir_.Read("args.txt"));
}

TEST_F(CustomAlarmExecProgram, NothingRunsWithoutAProgram) {
  Configure("", "{$content$}");
  CustomAlarmExec exec(&config_);
  std::vector<AlarmObj> batch = Batch({"A"});
  exec.DoAlarm(batch);
  Configure(dir_.File("no-such-program"), "{$content$}");
  exec.DoAlarm(batch);  // the child fails to start; nothing is reported
  EXPECT_EQ("", dir_.Read("args.txt"));
}

using CustomAlarmExecConcurrency = CustomAlarmExecProgram;

TEST_F(CustomAlarmExecConcurrency, HangingProgramIsKilledAfterItsTimeAndTheNextBatchStillRuns) {
  WriteScript(dir_.File("alarm.sh"),
              "case \"$1\" in\n"
              "  *hang*) echo $$ > \"" +
                  dir_.File("pid.txt") +
                  "\"; exec sleep 30;;\n"
                  "  *) printf '%s\\n' \"$1\" >> \"" +
                  dir_.File("args.txt") +
                  "\";;\n"
                  "esac\n");
  Configure(dir_.File("alarm.sh"), "\"{$content$}\"");
  CustomAlarmExec exec(&config_);
  exec.SetProgramTimeout(300);
  exec.Start();

  const Clock::time_point start = Clock::now();
  exec.PutLog(3, "hang", DateTime());
  ASSERT_TRUE(WaitUntil([&] { return !dir_.Read("pid.txt").empty(); }, 60000));
  const int pid = std::atoi(dir_.Read("pid.txt").c_str());
  ASSERT_GT(pid, 1);
  exec.PutLog(3, "after", DateTime());

  // Generous: on a loaded machine the next batch waits for the kill, the
  // batching delay and a new shell.
  ASSERT_TRUE(WaitUntil([&] { return !dir_.Read("args.txt").empty(); }, 60000));
  EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(), 300);
  EXPECT_EQ("[" + MachineController::GetHostName() + "]双机热备警报：after\n", dir_.Read("args.txt"));
  // Killed and reaped: the pid is gone.
  EXPECT_EQ(-1, kill(pid, 0));
  EXPECT_EQ(ESRCH, errno);
}

}  // namespace
