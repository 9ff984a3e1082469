#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "ConfigManagerFixture.h"
#include "config/AlarmExecConfig.h"
#include "config/ConfigManager.h"
#include "config/CustomAlarmConfig.h"
#include "config/SendEmailAlarmConfig.h"

using Oxbrindale::Velmora::Config::AlarmExecConfig;
using Oxbrindale::Velmora::Config::ConfigListEdit;
using Oxbrindale::Velmora::Config::ConfigManager;
using Oxbrindale::Velmora::Config::CustomAlarmConfig;
using Oxbrindale::Velmora::Config::SendEmailAlarmConfig;
using tarrow_test::ConfigManagerFixture;
using tarrow_test::ExpectException;

namespace {

std::string Text(const std::vector<std::string>& lines) { return ConfigManagerFixture::Join(lines); }

const std::string kEmailText = Text({"smtp.example.org", "25", "user", "pw", "a@example.org", "报警", "x@y|z@w"});

// The e-mail record's lines followed by one record per kind 0..count-1 with methods "0".
std::string AlarmFile(const std::string& email, int count) {
  std::string text = email;
  for (int k = 0; k < count; ++k) text += "\n" + std::to_string(k) + "\n0";
  return text;
}

const std::string kDefaultAlarmFile = AlarmFile(Text({"", "0", "", "", "", "", ""}), 17);

template <class T>
std::unique_ptr<T> Parse(const std::string& text) {
  std::vector<std::string> lines = T::SplitLines(text);
  unsigned int index = 0;
  std::unique_ptr<T> record(new T(&lines, &index));
  EXPECT_EQ(lines.size(), index);
  return record;
}

TEST(AlarmConfig, RecordRoundTripTable) {
  for (const std::string& text : {Text({"0", "0"}), Text({"16", "1|3"}), Text({"-1", ""})}) {
    EXPECT_EQ(text, Parse<AlarmExecConfig>(text)->ToString());
  }
  // Method numbers: an empty piece reads 0, a number keeps its low 32 bits.
  EXPECT_EQ(Text({"5", "0|0|2"}), Parse<AlarmExecConfig>(Text({"5", "0||2"}))->ToString());
  EXPECT_EQ((std::vector<int32_t>{1, 3}), Parse<AlarmExecConfig>(Text({"2", "1|3"}))->GetMethods());
  EXPECT_TRUE(Parse<AlarmExecConfig>(Text({"2", ""}))->GetMethods().empty());
  EXPECT_EQ(Text({"0", "-1|0"}), Parse<AlarmExecConfig>(Text({"x", "4294967295|y"}))->ToString());
  EXPECT_EQ(Text({"3", "0"}), AlarmExecConfig(3).ToString());

  for (const std::string& text :
       {kEmailText, Text({"", "0", "", "", "", "", ""}), Text({"s", "65535", "", "", "", "", "|"})}) {
    EXPECT_EQ(text, Parse<SendEmailAlarmConfig>(text)->ToString());
  }
  std::unique_ptr<SendEmailAlarmConfig> email = Parse<SendEmailAlarmConfig>(kEmailText);
  EXPECT_EQ((std::vector<std::string>{"x@y", "z@w"}), email->GetRecipients());
  EXPECT_EQ(3u, Parse<SendEmailAlarmConfig>(Text({"", "0", "", "", "", "", "first||second"}))->GetRecipients().size());
  EXPECT_TRUE(Parse<SendEmailAlarmConfig>(Text({"", "0", "", "", "", "", ""}))->GetRecipients().empty());
  EXPECT_EQ(25, Parse<SendEmailAlarmConfig>(Text({"", "65561", "", "", "", "", ""}))->GetPort());

  EXPECT_EQ(Text({"/bin/notify", "--text {$content$}"}),
            Parse<CustomAlarmConfig>(Text({"/bin/notify", "--text {$content$}"}))->ToString());
  EXPECT_EQ("\n", CustomAlarmConfig().ToString());
}

TEST(AlarmConfig, CopyOfTakesEveryField) {
  std::unique_ptr<SendEmailAlarmConfig> source = Parse<SendEmailAlarmConfig>(kEmailText);
  SendEmailAlarmConfig target;
  target.CopyOf(*source);
  EXPECT_EQ(kEmailText, target.ToString());

  std::unique_ptr<CustomAlarmConfig> custom = Parse<CustomAlarmConfig>(Text({"p", "a"}));
  CustomAlarmConfig copy;
  copy.CopyOf(*custom);
  EXPECT_EQ(Text({"p", "a"}), copy.ToString());
}

class AlarmManager : public ConfigManagerFixture {};

TEST_F(AlarmManager, MissingFileGivesSeventeenKindsWritten) {
  std::vector<AlarmExecConfig*>* kinds = manager.GetAlarmExecConfig();
  ASSERT_EQ(17u, kinds->size());
  for (int k = 0; k < 17; ++k) {
    EXPECT_EQ(k, (*kinds)[k]->GetKind());
    EXPECT_EQ(std::vector<int32_t>{0}, (*kinds)[k]->GetMethods());
  }
  EXPECT_EQ("", manager.GetSendEmailAlarmConfig()->GetServer());
  std::string file = dir.Read("configs/alarm.cfg");
  EXPECT_EQ(kDefaultAlarmFile, file);
  EXPECT_EQ(41u, SendEmailAlarmConfig::SplitLines(file).size());
}

TEST_F(AlarmManager, FilesOfDifferentLengths) {
  struct Case {
    std::string file;
    size_t kinds;
    std::string after;  // the file after loading
  };
  const Case cases[] = {
      // Ten kind records: kinds 10 to 16 are added and the file rewritten.
      {ToCrLf(AlarmFile(kEmailText, 10)), 17, AlarmFile(kEmailText, 17)},
      // Twenty: all kept, not rewritten.
      {ToCrLf(AlarmFile(kEmailText, 20)), 20, ToCrLf(AlarmFile(kEmailText, 20))},
      // A final line break: the records stay, the file is rewritten without it.
      {AlarmFile(kEmailText, 17) + "\n", 17, AlarmFile(kEmailText, 17)},
      {AlarmFile(kEmailText, 20) + "\n", 20, AlarmFile(kEmailText, 20)},
      // An e-mail record cut short: everything from the defaults.
      {Text({"smtp", "25", "u"}), 17, kDefaultAlarmFile},
      {"", 17, kDefaultAlarmFile},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    dir.Write("configs/alarm.cfg", c.file);
    ConfigManager fresh;
    EXPECT_EQ(c.kinds, fresh.GetAlarmExecConfig()->size());
    EXPECT_EQ(c.after, dir.Read("configs/alarm.cfg"));
  }
  // Defaults are added by position: kinds read 0, 1, 5 get 3..16 after them.
  dir.Write("configs/alarm.cfg", kEmailText + "\n0\n1\n1\n2\n5\n3");
  ConfigManager byPosition;
  std::vector<AlarmExecConfig*>* kinds = byPosition.GetAlarmExecConfig();
  ASSERT_EQ(17u, kinds->size());
  EXPECT_EQ(5, (*kinds)[2]->GetKind());
  EXPECT_EQ(3, (*kinds)[3]->GetKind());
  EXPECT_EQ("smtp.example.org", byPosition.GetSendEmailAlarmConfig()->GetServer());
}

TEST_F(AlarmManager, SavesAndReplacingTheList) {
  manager.SaveAlarmConfig();
  manager.SaveCustomAlarmConfig();
  EXPECT_FALSE(Exists("configs/alarm.cfg"));
  EXPECT_FALSE(Exists("configs/custom_alarm.cfg"));

  std::unique_ptr<SendEmailAlarmConfig> console = Parse<SendEmailAlarmConfig>(kEmailText);
  manager.GetSendEmailAlarmConfig()->CopyOf(*console);
  {
    ConfigListEdit<AlarmExecConfig> edit = manager.EditAlarmExecConfig();
    for (AlarmExecConfig* record : *edit) delete record;
    edit->clear();
    for (int k = 0; k < 17; ++k) edit->push_back(new AlarmExecConfig(k));
    edit->back()->SetMethods({1, 2, 3});
    edit.Save();
  }
  std::string expected = AlarmFile(kEmailText, 16) + "\n16\n1|2|3";
  EXPECT_EQ(expected, dir.Read("configs/alarm.cfg"));
  ConfigManager reread;
  EXPECT_EQ((std::vector<int32_t>{1, 2, 3}), (*reread.GetAlarmExecConfig())[16]->GetMethods());
  EXPECT_EQ(expected, dir.Read("configs/alarm.cfg"));
}

TEST_F(AlarmManager, CustomAlarmProgram) {
  dir.Write("configs/custom_alarm.cfg", "/usr/bin/notify\n-m {$content$}");
  EXPECT_EQ("/usr/bin/notify", manager.GetCustomAlarmConfig()->GetProgram());
  EXPECT_EQ("-m {$content$}", manager.GetCustomAlarmConfig()->GetParameter());

  for (const std::string& text : {std::string("one line"), std::string(""), std::string("a\nb\nc")}) {
    SCOPED_TRACE(text);
    dir.Write("configs/custom_alarm.cfg", text);
    ConfigManager fresh;
    CustomAlarmConfig* record = fresh.GetCustomAlarmConfig();
    EXPECT_EQ("", record->GetProgram());
    EXPECT_EQ("", record->GetParameter());
    EXPECT_EQ(text, dir.Read("configs/custom_alarm.cfg"));  // nothing written at load
    fresh.SaveCustomAlarmConfig();
    EXPECT_EQ("\n", dir.Read("configs/custom_alarm.cfg"));
  }
  ::unlink(dir.File("configs/custom_alarm.cfg").c_str());
  ConfigManager missing;
  EXPECT_EQ("", missing.GetCustomAlarmConfig()->GetProgram());
  EXPECT_FALSE(Exists("configs/custom_alarm.cfg"));
}

TEST_F(AlarmManager, SaveFailureThrowsIO) {
  manager.GetAlarmExecConfig();
  ASSERT_EQ(0, ::unlink(dir.File("configs/alarm.cfg").c_str()));
  dir.MakeDir("configs/alarm.cfg/blocked");
  ExpectException([&] { manager.SaveAlarmConfig(); }, "IO");
  manager.GetCustomAlarmConfig();
  dir.MakeDir("configs/custom_alarm.cfg/blocked");
  ExpectException([&] { manager.SaveCustomAlarmConfig(); }, "IO");
}

class AlarmManagerConcurrency : public ConfigManagerFixture {};

// Alarm raisers load and read while a console thread replaces the list and the e-mail record.
TEST_F(AlarmManagerConcurrency, RaisersAndConsole) {
  std::atomic<int> ready{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> raisers;
  for (int i = 0; i < 8; ++i) {
    raisers.emplace_back([&] {
      ++ready;
      while (ready < 9) std::this_thread::yield();
      while (!stop) {
        {
          ConfigListEdit<AlarmExecConfig> edit = manager.EditAlarmExecConfig();
          ASSERT_EQ(17u, edit->size());
          EXPECT_EQ(std::vector<int32_t>{0}, (*edit)[11]->GetMethods());
        }
        std::string server = manager.GetSendEmailAlarmConfig()->GetServer();
        EXPECT_TRUE(server.empty() || server == "smtp.example.org") << server;
      }
    });
  }
  std::unique_ptr<SendEmailAlarmConfig> console = Parse<SendEmailAlarmConfig>(kEmailText);
  ++ready;
  while (ready < 9) std::this_thread::yield();
  for (int round = 0; round < 100; ++round) {
    {
      ConfigListEdit<AlarmExecConfig> edit = manager.EditAlarmExecConfig();
      for (AlarmExecConfig* record : *edit) delete record;
      edit->clear();
      for (int k = 0; k < 17; ++k) edit->push_back(new AlarmExecConfig(k));
      edit.Save();
    }
    manager.GetSendEmailAlarmConfig()->CopyOf(*console);
    manager.SaveAlarmConfig();
  }
  stop = true;
  for (std::thread& t : raisers) t.join();
  EXPECT_EQ(AlarmFile(kEmailText, 17), dir.Read("configs/alarm.cfg"));
}

}  // namespace
