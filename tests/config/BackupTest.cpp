#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <set>

#include "ConfigManagerFixture.h"
#include "entity/AlarmObj.h"
#include "config/ConfigManager.h"
#include "framework/CommandRunner.h"
#include "framework/Convert.h"
#include "framework/DateTime.h"
#include "framework/Env.h"

using Oxbrindale::Velmora::Entity::AlarmObj;
using Oxbrindale::Velmora::Config::ConfigManager;
using Oxbrindale::Velmora::Framework::__OXFile;
using Oxbrindale::Velmora::Framework::CommandResult;
using Oxbrindale::Velmora::Framework::CommandRunner;
using Oxbrindale::Velmora::Framework::Convert;
using Oxbrindale::Velmora::Framework::DateTime;
using Oxbrindale::Velmora::Framework::Env;
using tarrow_test::ConfigManagerFixture;
using tarrow_test::ExpectException;

namespace {

// Name -> content of every entry of a folder whose name matches pattern.
std::map<std::string, std::string> Snapshot(const tarrow_test::TempDir& dir, const std::string& folder,
                                            const std::string& pattern = "*") {
  std::map<std::string, std::string> files;
  for (const __OXFile& file : Convert::ListFile(dir.File(folder), pattern)) {
    files[file.name] = dir.Read(folder + "/" + file.name);
  }
  return files;
}

// The entry names of a zip archive, as the real unzip lists them.
std::set<std::string> ArchiveEntries(const std::string& archive) {
  CommandResult result = Env::Get()->Runner()->Run({"unzip", "-Z1", archive}, 10000, true);
  EXPECT_EQ(0, result.status) << "unzip -Z1 " << archive;
  std::set<std::string> names;
  for (const std::string& line : Convert::tokenize(result.output, "\n", true, "")) names.insert(line);
  return names;
}

// Names beginning with '.' in a folder (other than "." and "..").
std::set<std::string> HiddenEntries(const std::string& folder) {
  std::set<std::string> names;
  if (DIR* d = ::opendir(folder.c_str())) {
    while (struct dirent* entry = ::readdir(d)) {
      std::string name = entry->d_name;
      if (name[0] == '.' && name != "." && name != "..") names.insert(name);
    }
    ::closedir(d);
  }
  return names;
}

class Backup : public ConfigManagerFixture {
 protected:
  Backup() {
    dir.Write("configs/global_config.cfg", "global");
    dir.Write("configs/hb.cfg", "heartbeat");
    dir.Write("configs/ss_flag.cfg", "1");
    dir.Write("configs/drbd_mirror_config.dcnf", "mirrors");
  }
  // No staging folder or packing file is ever left behind.
  void TearDown() override {
    EXPECT_TRUE(HiddenEntries(dir.Path()).empty());
    EXPECT_TRUE(HiddenEntries(dir.File("backup_configs")).empty());
  }
};

TEST_F(Backup, ArchiveHoldsTheCfgFilesAtItsTopLevel) {
  manager.BackupConfig("n");
  ASSERT_TRUE(Exists("backup_configs/n.cbak"));
  EXPECT_EQ((std::set<std::string>{"global_config.cfg", "hb.cfg", "ss_flag.cfg"}),
            ArchiveEntries(dir.File("backup_configs/n.cbak")));
  EXPECT_TRUE(manager.IsBackupCfgExist("n"));
}

TEST_F(Backup, RestoreGivesExactlyTheBackedUpFiles) {
  const std::map<std::string, std::string> backedUp = Snapshot(dir, "configs", "*.cfg");
  manager.BackupConfig("n");

  dir.Write("configs/hb.cfg", "changed");
  dir.Write("configs/ip_config.cfg", "added after the backup");
  dir.Write("configs/ip_config.cfg.complete", "left by an interrupted save");
  ::unlink(dir.File("configs/ss_flag.cfg").c_str());
  dir.Write("configs/drbd_mirror_config.dcnf", "mirrors now");

  EXPECT_TRUE(manager.ResuemBackupConfig("n"));
  EXPECT_EQ(backedUp, Snapshot(dir, "configs", "*.cfg"));
  EXPECT_FALSE(Exists("configs/ip_config.cfg.complete"));
  EXPECT_EQ("mirrors now", dir.Read("configs/drbd_mirror_config.dcnf"));
  EXPECT_TRUE(manager.IsBackupCfgExist("n"));  // restoring keeps the backup
}

// A backup under an existing name replaces the archive instead of merging into it.
TEST_F(Backup, SameNameReplacesTheArchive) {
  manager.BackupConfig("n");
  ::unlink(dir.File("configs/hb.cfg").c_str());
  dir.Write("configs/alarm.cfg", "alarms");
  manager.BackupConfig("n");
  EXPECT_EQ((std::set<std::string>{"global_config.cfg", "alarm.cfg", "ss_flag.cfg"}),
            ArchiveEntries(dir.File("backup_configs/n.cbak")));
}

TEST_F(Backup, MissingOrCorruptArchiveLeavesConfigsUntouched) {
  manager.BackupConfig("good");
  const std::string good = dir.Read("backup_configs/good.cbak");
  dir.MakeDir("elsewhere");
  dir.Write("elsewhere/readme.txt", "no configuration here");
  ASSERT_EQ(0, Env::Get()
                   ->Runner()
                   ->Run({"zip", "-q", "-j", dir.File("backup_configs/nocfg.cbak"), dir.File("elsewhere/readme.txt")},
                         10000, false)
                   .status);
  dir.Write("backup_configs/garbage.cbak", "this is not a zip archive");
  dir.Write("backup_configs/cut.cbak", good.substr(0, good.size() / 2));
  dir.Write("backup_configs/empty.cbak", "");

  dir.Write("configs/hb.cfg", "current");
  const std::map<std::string, std::string> before = Snapshot(dir, "configs");
  for (const std::string name : {"missing", "garbage", "cut", "empty", "nocfg"}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(manager.ResuemBackupConfig(name));
    EXPECT_EQ(before, Snapshot(dir, "configs"));
  }
}

TEST_F(Backup, BadNamesAreRefusedAndNothingRuns) {
  char saved[4096];
  ASSERT_NE(nullptr, ::getcwd(saved, sizeof(saved)));
  ASSERT_EQ(0, ::chdir(dir.Path().c_str()));
  manager.BackupConfig("n");
  const std::map<std::string, std::string> backups = Snapshot(dir, "backup_configs");
  const std::map<std::string, std::string> configs = Snapshot(dir, "configs");

  const std::string names[] = {"a;touch X",
                               "../x",
                               "..",
                               ".x",
                               "",
                               "-x",
                               "a/b",
                               "a\tb",
                               "a\nb",
                               std::string("a\0b", 3),
                               "$(touch X)",
                               "`touch X`",
                               "a|touch X",
                               "a&&touch X",
                               "a'b",
                               "a\"b",
                               "a>X",
                               "a<b",
                               "a*",
                               "a?",
                               "a\\b",
                               "a\x7f",
                               std::string(201, 'n')};
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(ConfigManager::IsValidBackupName(name));
    ExpectException([&] { manager.BackupConfig(name); }, "FORM_ERR");
    ExpectException([&] { manager.DeleteBackup(name); }, "FORM_ERR");
    EXPECT_FALSE(manager.IsBackupCfgExist(name));
    EXPECT_FALSE(manager.ResuemBackupConfig(name));
  }
  EXPECT_FALSE(Exists("X"));
  EXPECT_FALSE(Exists("x.cbak"));
  EXPECT_EQ(backups, Snapshot(dir, "backup_configs"));
  EXPECT_EQ(configs, Snapshot(dir, "configs"));
  ASSERT_EQ(0, ::chdir(saved));

  for (const std::string& name : {std::string("备份-1_a.b"), std::string("a,b@c+d%e"), std::string("a b (2)"),
                                  std::string(200, 'n')}) {
    SCOPED_TRACE(name);
    manager.BackupConfig(name);
    EXPECT_TRUE(manager.IsBackupCfgExist(name));
    EXPECT_TRUE(manager.ResuemBackupConfig(name));
    manager.DeleteBackup(name);
    EXPECT_FALSE(manager.IsBackupCfgExist(name));
  }
}

TEST_F(Backup, ListAndDelete) {
  EXPECT_TRUE(manager.ListBackupCfg().empty());  // no folder yet
  manager.BackupConfig("one");
  manager.BackupConfig("two");
  dir.Write("backup_configs/notes.txt", "not a backup");
  std::set<std::string> names;
  for (const __OXFile& file : manager.ListBackupCfg()) {
    names.insert(file.name);
    EXPECT_EQ(dir.File("backup_configs/" + file.name), file.fullPath);
  }
  EXPECT_EQ((std::set<std::string>{"one.cbak", "two.cbak"}), names);

  manager.DeleteBackup("one");
  manager.DeleteBackup("one");  // missing: no error
  EXPECT_FALSE(manager.IsBackupCfgExist("one"));
  EXPECT_EQ(1u, manager.ListBackupCfg().size());
}

TEST_F(Backup, ClearConfigAndDumps) {
  dir.Write("configs/hb.cfg.complete", "stale");
  dir.Write("configs/alarm.cfg.pending", "stale");
  manager.ClearConfig();
  EXPECT_EQ((std::map<std::string, std::string>{{"drbd_mirror_config.dcnf", "mirrors"}}), Snapshot(dir, "configs"));

  dir.Write("a.dmp", "");
  dir.Write("b.dmp", "");
  dir.Write("a.dmp.txt", "");
  manager.ClearDmp();
  EXPECT_FALSE(Exists("a.dmp"));
  EXPECT_FALSE(Exists("b.dmp"));
  EXPECT_TRUE(Exists("a.dmp.txt"));
  manager.ClearDmp();  // nothing to delete
}

// A runner that records the commands and answers a fixed status.
class RecordingRunner : public CommandRunner {
 public:
  int System(const std::string& command) override {
    ADD_FAILURE() << "shell command: " << command;
    return -1;
  }
  CommandResult Run(const std::vector<std::string>& argv, long, bool) override {
    calls.push_back(argv);
    CommandResult result;
    result.status = status;
    return result;
  }
  std::vector<std::vector<std::string>> calls;
  int status = 0;
};

class RecordingEnv : public tarrow_test::TestEnv {
 public:
  explicit RecordingEnv(const std::string& appPath) : TestEnv(appPath) {}
  ~RecordingEnv() override { Leave(); }  // out of force before runner goes
  CommandRunner* Runner() override { return &runner; }
  RecordingRunner runner;
};

// zip and unzip get an argument vector (no shell), and their failures count.
TEST(BackupCommands, ArgumentVectorsAndFailures) {
  tarrow_test::TempDir dir;
  RecordingEnv env(dir.Path());
  dir.MakeDir("configs");
  dir.MakeDir("backup_configs");
  dir.Write("configs/hb.cfg", "heartbeat");
  dir.Write("backup_configs/n.cbak", "old archive");
  ConfigManager manager;

  env.runner.status = 256;  // zip exits with 1
  ExpectException([&] { manager.BackupConfig("n"); }, "IO_ERR", "备份配置文件失败！");
  ASSERT_EQ(1u, env.runner.calls.size());
  const std::vector<std::string>& zip = env.runner.calls[0];
  ASSERT_EQ(5u, zip.size());
  EXPECT_EQ("zip", zip[0]);
  EXPECT_EQ("-q", zip[1]);
  EXPECT_EQ("-j", zip[2]);
  EXPECT_EQ(dir.File("backup_configs/.n.cbak.packing"), zip[3]);
  EXPECT_EQ(dir.File("configs/hb.cfg"), zip[4]);
  EXPECT_EQ("old archive", dir.Read("backup_configs/n.cbak"));

  EXPECT_FALSE(manager.ResuemBackupConfig("n"));
  ASSERT_EQ(2u, env.runner.calls.size());
  const std::vector<std::string>& unzip = env.runner.calls[1];
  ASSERT_EQ(6u, unzip.size());
  EXPECT_EQ("unzip", unzip[0]);
  EXPECT_EQ(dir.File("backup_configs/n.cbak"), unzip[3]);
  EXPECT_EQ("-d", unzip[4]);
  EXPECT_EQ(0u, unzip[5].find(dir.Path() + ".configs_restore_"));
  EXPECT_EQ("heartbeat", dir.Read("configs/hb.cfg"));
  EXPECT_FALSE(Convert::IsFileExist(unzip[5]));  // staging removed

  // With nothing to pack zip is not run at all.
  ::unlink(dir.File("configs/hb.cfg").c_str());
  env.runner.status = 0;
  ExpectException([&] { manager.BackupConfig("n"); }, "IO_ERR");
  EXPECT_EQ(2u, env.runner.calls.size());

  // The backup folder cannot be made.
  dir.Write("blocked", "");
  ASSERT_EQ(0, ::unlink(dir.File("backup_configs/n.cbak").c_str()));
  ASSERT_EQ(0, ::rmdir(dir.File("backup_configs").c_str()));
  ASSERT_EQ(0, ::symlink(dir.File("blocked/inside").c_str(), dir.File("backup_configs").c_str()));
  ExpectException([&] { manager.BackupConfig("n"); }, "IO_ERR", "无法初始化目录，备份配置文件失败！");
}

using StartFlag = ConfigManagerFixture;

TEST_F(StartFlag, WritesOneCharacter) {
  EXPECT_FALSE(manager.GetSSFlag());  // no file
  manager.SetSSFlag(true);
  EXPECT_EQ("1", dir.Read("configs/ss_flag.cfg"));
  EXPECT_TRUE(manager.GetSSFlag());
  manager.SetSSFlag(false);
  EXPECT_EQ("0", dir.Read("configs/ss_flag.cfg"));
  EXPECT_FALSE(manager.GetSSFlag());
  dir.Write("configs/ss_flag.cfg", "");
  EXPECT_FALSE(manager.GetSSFlag());
  dir.Write("configs/ss_flag.cfg", "yes");
  EXPECT_TRUE(manager.GetSSFlag());
}

class RecentAlarms : public ConfigManagerFixture {
 protected:
  RecentAlarms() { dir.MakeDir("log"); }
  static void Free(std::vector<AlarmObj*>& alarms) {
    for (AlarmObj* alarm : alarms) delete alarm;
    alarms.clear();
  }
};

TEST_F(RecentAlarms, SavedAndReadBackInOrder) {
  std::vector<AlarmObj*> alarms = {new AlarmObj(11, "a", DateTime(2009, 3, 7, 8, 5, 9, 0)),
                                   new AlarmObj(6, "b|with bar", DateTime(2010, 12, 31, 23, 59, 59, 0)),
                                   new AlarmObj(0, "", DateTime(2011, 1, 1, 0, 0, 0, 0))};
  manager.SaveRecentAlarmObj(alarms);
  EXPECT_EQ("11|2009-3-7 08:05:09|a\n6|2010-12-31 23:59:59|b|with bar\n0|2011-1-1 00:00:00|",
            dir.Read("log/recent_alarm.log"));
  std::vector<AlarmObj*> back = manager.GetRecentAlarmObj();
  ASSERT_EQ(3u, back.size());
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(alarms[i]->ToString(), back[i]->ToString());
  Free(back);
  Free(alarms);

  manager.SaveRecentAlarmObj(alarms);  // an empty list: an empty file
  EXPECT_EQ("", dir.Read("log/recent_alarm.log"));
  EXPECT_TRUE(manager.GetRecentAlarmObj().empty());
}

// A line break inside a text is written as a blank, so it stays one alarm.
TEST_F(RecentAlarms, LineBreaksInATextBecomeBlanks) {
  std::vector<AlarmObj*> alarms = {new AlarmObj(3, "first\r\nsecond\nthird", DateTime(2020, 1, 2, 3, 4, 5, 0)),
                                   new AlarmObj(4, "next", DateTime(2020, 1, 2, 3, 4, 6, 0))};
  manager.SaveRecentAlarmObj(alarms);
  std::vector<AlarmObj*> back = manager.GetRecentAlarmObj();
  ASSERT_EQ(2u, back.size());
  EXPECT_EQ("first  second third", back[0]->text);
  EXPECT_EQ("next", back[1]->text);
  Free(back);
  Free(alarms);
}

// A line whose time cannot be read is skipped; the lines after it are read.
TEST_F(RecentAlarms, BadLineIsSkipped) {
  env.FixWallClock(1700000000);
  dir.Write("log/recent_alarm.log",
            "1|2020-1-2 03:04:05|one\n2|not a time|two\n3|2020-1-2 03:04:07|three\r\nshort line\n"
            "4|2020-13-2 03:04:05|bad month\n5|2020-1-2 03:04:08|five");
  std::vector<AlarmObj*> back = manager.GetRecentAlarmObj();
  ASSERT_EQ(4u, back.size());
  EXPECT_EQ(1, back[0]->kind);
  EXPECT_EQ("three", back[1]->text);
  EXPECT_EQ(0, back[2]->kind);  // fewer than two '|': kind 0, empty text, now
  EXPECT_EQ("", back[2]->text);
  EXPECT_EQ(DateTime().ToString(), back[2]->time.ToString());
  EXPECT_EQ("five", back[3]->text);
  Free(back);
}

TEST_F(RecentAlarms, MissingFileAndFailedWrite) {
  EXPECT_TRUE(manager.GetRecentAlarmObj().empty());
  std::vector<AlarmObj*> alarms = {new AlarmObj(1, "x", DateTime(2020, 1, 2, 3, 4, 5, 0))};
  dir.MakeDir("log/recent_alarm.log/blocked");
  ExpectException([&] { manager.SaveRecentAlarmObj(alarms); }, "IO");
  Free(alarms);
}

}  // namespace
