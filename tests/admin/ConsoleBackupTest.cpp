// Configuration backups from the console, with the real zip and unzip, and
// the restart helper the restore and clear commands start.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "admin/AdminTestSupport.h"
#include "config/ConfigManager.h"
#include "framework/Convert.h"

namespace tarrow_test {
namespace {

using Oxbrindale::Velmora::Config::ConfigManager;
using Oxbrindale::Velmora::Framework::Convert;

class ConsoleBackup : public AdminServerTest {
 protected:
  void SetUp() override {
    AdminServerTest::SetUp();
    store->SaveCrtGC();
    store->GetHeartBeatGlobalConfig();  // writes configs/hb.cfg
    admin = LoggedIn(0);
  }

  std::set<std::string> Backups() {
    std::set<std::string> names;
    for (const auto& file : Convert::ListFile(dir.File("backup_configs"), "*")) names.insert(file.name);
    return names;
  }

  // Installs "<program dir>tarrowd": records its arguments and open
  // descriptors in <program dir>record.
  void InstallRecorder() {
    dir.Write("tarrowd",
              "#!/bin/sh\n"
              "fds=$(for f in /proc/$$/fd/*; do echo \"fd:${f##*/}:$(readlink \"$f\")\"; done)\n"
              "out=\"$(dirname \"$0\")/record\"\n"
              "{ for a in \"$@\"; do echo \"arg:$a\"; done; echo \"$fds\"; } > \"$out.tmp\"\n"
              "mv \"$out.tmp\" \"$out\"\n");
    ASSERT_EQ(0, ::chmod(dir.File("tarrowd").c_str(), 0755));
  }

  // The record of the next helper run, once it is complete.
  std::vector<std::string> TakeRecord() {
    std::vector<std::string> lines;
    if (!Eventually([&] { return ::access(dir.File("record").c_str(), F_OK) == 0; })) return lines;
    std::string text = dir.Read("record");
    ::unlink(dir.File("record").c_str());
    lines = Convert::tokenize(text, "\n", true, "");
    return lines;
  }

  static std::vector<std::string> Args(const std::vector<std::string>& record) {
    std::vector<std::string> args;
    for (const std::string& line : record) {
      if (line.compare(0, 4, "arg:") == 0) args.push_back(line.substr(4));
    }
    return args;
  }

  std::unique_ptr<TestConsole> admin;
};

TEST_F(ConsoleBackup, BackupListExistDelete) {
  EXPECT_EQ("OK\n", admin->Request("LIST_BACKUP_CFG", ""));
  EXPECT_EQ("OK\n", admin->Request("BACKUP_CFG", "b1"));
  EXPECT_EQ("OK\n", admin->Request("BACKUP_CFG", "备份 (2)"));
  EXPECT_EQ("OK\n", admin->Request("BACKUP_CFG", "备份1"));
  struct stat info;
  ASSERT_EQ(0, ::stat(dir.File("backup_configs/b1.cbak").c_str(), &info));
  EXPECT_EQ(0600u, info.st_mode & 0777);

  const std::string list = admin->Request("LIST_BACKUP_CFG", "");
  ASSERT_EQ("OK\n", list.substr(0, 3));
  EXPECT_NE('\n', list.back());
  std::string text = list.substr(3);
  std::set<std::string> names;
  for (const std::string& entry : Convert::tokenize(text, "\n", false, "")) {
    const size_t bar = entry.rfind('|');
    ASSERT_NE(std::string::npos, bar) << entry;
    EXPECT_TRUE(IsDateTimeText(entry.substr(bar + 1))) << entry;
    names.insert(entry.substr(0, bar));
  }
  EXPECT_EQ((std::set<std::string>{"b1.cbak", "备份 (2).cbak", "备份1.cbak"}), names);

  EXPECT_EQ("OK\n1", admin->Request("IS_BACKUP_CFG_EXIST", "备份 (2)"));
  EXPECT_EQ("OK\n0", admin->Request("IS_BACKUP_CFG_EXIST", "b2"));
  EXPECT_EQ("OK\n", admin->Request("DELETE_BACKUP", "b1"));
  EXPECT_EQ("OK\n0", admin->Request("IS_BACKUP_CFG_EXIST", "b1"));
  EXPECT_EQ("OK\n", admin->Request("DELETE_BACKUP", "never"));
  EXPECT_EQ("OK\n", admin->Request("DELETE_BACKUP", ""));  // names nothing, deletes nothing
  EXPECT_EQ((std::set<std::string>{"备份 (2).cbak", "备份1.cbak"}), Backups());
}

TEST_F(ConsoleBackup, BadNamesAreRefusedBeforeAnythingHappens) {
  ASSERT_EQ("OK\n", admin->Request("BACKUP_CFG", "keep"));
  const std::set<std::string> before = Backups();
  InstallRecorder();
  const std::string refusal = std::string("ERROR\n") + ConfigManager::BAD_BACKUP_NAME;
  for (const std::string& name : {std::string("../x"), std::string("a;touch X"), std::string("x\"y"),
                                  std::string("-x"), std::string("a\nb"), std::string(201, 'n')}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(refusal, admin->Request("BACKUP_CFG", name));
    EXPECT_EQ(refusal, admin->Request("IS_BACKUP_CFG_EXIST", name));
    EXPECT_EQ(refusal, admin->Request("DELETE_BACKUP", name));
    EXPECT_EQ(refusal, admin->Request("RESUME_BACKUP_CFG", name + "|1"));
  }
  EXPECT_EQ(before, Backups());
  EXPECT_NE(0, ::access(dir.File("X").c_str(), F_OK));
  EXPECT_NE(0, ::access(dir.File("x.cbak").c_str(), F_OK));
  EXPECT_NE(0, ::access(dir.File("record").c_str(), F_OK));

  for (const char* command : {"BACKUP_CFG", "IS_BACKUP_CFG_EXIST", "RESUME_BACKUP_CFG"}) {
    EXPECT_EQ("ERROR\n必须输入备份件名称！", admin->Request(command, "")) << command;
  }
  EXPECT_EQ("ERROR\n提交的数据不合法！", admin->Request("RESUME_BACKUP_CFG", "a|1|x"));
  EXPECT_EQ("ERROR\n提交的数据不合法！", admin->Request("RESUME_BACKUP_CFG", "keep"));
  EXPECT_EQ("ERROR\n指定的配置备份集不存在！", admin->Request("RESUME_BACKUP_CFG", "missing|1"));
  EXPECT_NE(0, ::access(dir.File("record").c_str(), F_OK));
}

TEST_F(ConsoleBackup, RestoreAndClearStartTheRestartHelper) {
  ASSERT_EQ("OK\n", admin->Request("BACKUP_CFG", "备份 (2)"));
  // Without the program there is nothing to start.
  EXPECT_EQ("ERROR\n", admin->Request("RESUME_BACKUP_CFG", "备份 (2)|1").substr(0, 6));
  EXPECT_EQ("ERROR\n", admin->Request("CLEAR_CFG", "1").substr(0, 6));

  InstallRecorder();
  struct Case {
    std::string command;
    std::string body;
    std::vector<std::string> args;
  };
  const Case cases[] = {
      {"RESUME_BACKUP_CFG", "备份 (2)|1", {"-resume_backup", "-stop", "备份 (2)"}},
      {"RESUME_BACKUP_CFG", "备份 (2)|", {"-resume_backup", "-nonstop", "备份 (2)"}},
      {"RESUME_BACKUP_CFG", "备份 (2)|0", {"-resume_backup", "-nonstop", "备份 (2)"}},
      {"CLEAR_CFG", "1", {"-clear_backup", "-stop"}},
      {"CLEAR_CFG", "x", {"-clear_backup", "-nonstop"}},
      {"CLEAR_CFG", "", {"-clear_backup", "-nonstop"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command + " " + c.body);
    ASSERT_EQ("OK\n", admin->Request(c.command, c.body));
    const std::vector<std::string> record = TakeRecord();
    EXPECT_EQ(c.args, Args(record));
    for (const char* fd : {"fd:0:/dev/null", "fd:1:/dev/null", "fd:2:/dev/null"}) {
      EXPECT_NE(record.end(), std::find(record.begin(), record.end(), fd)) << fd;
    }
    for (const std::string& line : record) EXPECT_EQ(std::string::npos, line.find("socket:")) << line;
  }
}

TEST_F(ConsoleBackup, BackupIntoUnwritableConfigsFails) {
  ASSERT_EQ(0, ::system(("rm -rf '" + dir.File("configs") + "'").c_str()));
  dir.Write("configs", "not a folder");
  EXPECT_EQ("ERROR\n", admin->Request("BACKUP_CFG", "b1").substr(0, 6));
  EXPECT_EQ("OK\n0", admin->Request("IS_BACKUP_CFG_EXIST", "b1"));
}

}  // namespace
}  // namespace tarrow_test
