#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <set>
#include <thread>

#include "ConfigManagerFixture.h"
#include "config/ConfigManager.h"
#include "config/ConfigStringFormator.h"
#include "config/DrbdMirrorConfig.h"
#include "config/IPResourceConfig.h"
#include "config/ResourceTreeConfig.h"
#include "framework/FileManager.h"

using Oxbrindale::Velmora::Config::ConfigListEdit;
using Oxbrindale::Velmora::Config::ConfigManager;
using Oxbrindale::Velmora::Config::ConfigStringFormator;
using Oxbrindale::Velmora::Config::DrbdMirrorConfig;
using Oxbrindale::Velmora::Config::IPResourceConfig;
using Oxbrindale::Velmora::Config::ResourceTreeConfig;
using tarrow_test::ConfigManagerFixture;
using tarrow_test::ExpectException;
using tarrow_test::RunTogether;

namespace {

std::string Text(const std::vector<std::string>& lines) { return ConfigManagerFixture::Join(lines); }

std::string IpText(int id, const std::string& name, const std::string& address = "10.0.0.10") {
  return Text({std::to_string(id), name, "3000", "3", "2", "0", "20000", "20000", "0", "", "", "5000", "600000", "1",
               address, "255.255.255.0", "eth0", "10.0.0.1|10.0.0.254"});
}

std::string MirrorText(const std::string& name) {
  return Text({"C", "40", "secret", "0", name, "1", "0", "1700000000000", "a|diskA|10.0.0.1|7789|0||0",
               "b|diskB|10.0.0.2|7789|0||0"});
}

IPResourceConfig* NewIp(int id, const std::string& name) {
  std::vector<std::string> lines = IPResourceConfig::SplitLines(IpText(id, name));
  unsigned int index = 0;
  return new IPResourceConfig(&lines, &index);
}

using ListKindTest = ConfigManagerFixture;

// Every list kind: a missing file is an empty list and creates nothing; the
// first save writes an empty file under the kind's name.
TEST_F(ListKindTest, MissingFilesAreEmptyListsWrittenAtFirstSave) {
  struct Kind {
    const char* file;
    std::function<size_t()> load;
    std::function<void()> save;
  };
  const Kind kinds[] = {
      {"configs/ip_config.cfg", [&] { return manager.GetIPConfig()->size(); }, [&] { manager.SaveIPConfig(); }},
      {"configs/program_config.cfg", [&] { return manager.GetProgramConfig()->size(); },
       [&] { manager.SaveBothProgramConfig(); }},
      {"configs/service_config.cfg", [&] { return manager.GetServiceConfig()->size(); },
       [&] { manager.SaveServiceConfig(); }},
      {"configs/custom_config.cfg", [&] { return manager.GetCustomConfig()->size(); },
       [&] { manager.SaveCustomConfig(); }},
      {"configs/disk_volume_config.cfg", [&] { return manager.GetDiskVolumeConfig()->size(); },
       [&] { manager.SaveDiskVolumeConfig(); }},
      {"configs/file_share_config.cfg", [&] { return manager.GetFileShareConfig()->size(); },
       [&] { manager.SaveFileShareConfig(); }},
      {"configs/drbd_res_config.cfg", [&] { return manager.GetDrbdResConfig()->size(); },
       [&] { manager.SaveDrbdResConfig(); }},
      {"configs/alias_config.cfg", [&] { return manager.GetAliasConfig()->size(); },
       [&] { manager.SaveAliasResConfig(); }},
      {"configs/resource_tree_config.cfg", [&] { return manager.GetResourceTreeConfig()->size(); },
       [&] { manager.SaveResourceTreeConfig(); }},
      {"configs/drbd_mirror_config.dcnf", [&] { return manager.GetDrbdMirrorConfig()->size(); },
       [&] { manager.SaveDrbdMirrorConfig(); }},
  };
  for (const Kind& kind : kinds) {
    SCOPED_TRACE(kind.file);
    kind.save();  // never loaded: nothing written
    EXPECT_FALSE(Exists(kind.file));
    EXPECT_EQ(0u, kind.load());
    EXPECT_FALSE(Exists(kind.file));
    kind.save();
    EXPECT_TRUE(Exists(kind.file));
    EXPECT_EQ("", dir.Read(kind.file));
  }
}

TEST_F(ListKindTest, RecordsJoinedByOneLineFeed) {
  const std::string text = IpText(0, "first") + "\n" + IpText(1, "第二");
  dir.Write("configs/ip_config.cfg", ToCrLf(text));
  std::vector<IPResourceConfig*>* list = manager.GetIPConfig();
  ASSERT_EQ(2u, list->size());
  EXPECT_EQ("first", (*list)[0]->GetName());
  EXPECT_EQ(list, manager.GetIPConfig());
  manager.SaveIPConfig();
  EXPECT_EQ(text, dir.Read("configs/ip_config.cfg"));

  ConfigManager reread;
  ASSERT_EQ(2u, reread.GetIPConfig()->size());
  EXPECT_EQ(IpText(1, "第二"), (*reread.GetIPConfig())[1]->ToString());
}

// A final line feed makes the file one line too long: the load fails every
// time, the kind stays unloaded and a save leaves the file alone.
TEST_F(ListKindTest, LineFeedAfterTheLastRecordFailsTheLoad) {
  const std::string text = IpText(0, "a") + "\n";
  dir.Write("configs/ip_config.cfg", text);
  ExpectException([&] { manager.GetIPConfig(); }, "FORM_ERR", "存储结构数据错误，无法从序列化数据中反序列化存储数据!");
  manager.SaveIPConfig();
  manager.RemoveIPResConfigById(0);
  EXPECT_EQ(text, dir.Read("configs/ip_config.cfg"));
  ExpectException([&] { manager.GetIPResConfigById(0); }, "FORM_ERR");
  ExpectException([&] { ConfigListEdit<IPResourceConfig> edit = manager.EditIPConfig(); }, "FORM_ERR");

  dir.Write("configs/ip_config.cfg", IpText(0, "a"));  // mended: the next call loads it
  EXPECT_EQ(1u, manager.GetIPConfig()->size());
}

TEST_F(ListKindTest, SaveOfAKindNeverLoadedLeavesItsFile) {
  const std::string text = ToCrLf(IpText(0, "a"));
  dir.Write("configs/drbd_res_config.cfg", "whatever is there");
  dir.Write("configs/ip_config.cfg", text);
  manager.SaveDrbdResConfig();
  manager.RemoveIPResConfigById(0);
  manager.RemoveDrbdMirrorConfigByName("r0");
  EXPECT_EQ("whatever is there", dir.Read("configs/drbd_res_config.cfg"));
  EXPECT_EQ(text, dir.Read("configs/ip_config.cfg"));
  EXPECT_FALSE(Exists("configs/drbd_mirror_config.dcnf"));
}

TEST_F(ListKindTest, LookupAndRemovalById) {
  const std::string text = IpText(7, "first") + "\n" + IpText(3, "other") + "\n" + IpText(7, "second");
  dir.Write("configs/ip_config.cfg", ToCrLf(text));  // any write shows as LF endings
  EXPECT_EQ("first", manager.GetIPResConfigById(7)->GetName());
  EXPECT_EQ(nullptr, manager.GetIPResConfigById(4));

  manager.RemoveIPResConfigById(4);  // not there: nothing written
  EXPECT_EQ(ToCrLf(text), dir.Read("configs/ip_config.cfg"));

  manager.RemoveIPResConfigById(7);
  EXPECT_EQ("second", manager.GetIPResConfigById(7)->GetName());
  EXPECT_EQ(IpText(3, "other") + "\n" + IpText(7, "second"), dir.Read("configs/ip_config.cfg"));
  manager.RemoveIPResConfigById(7);
  EXPECT_EQ(nullptr, manager.GetIPResConfigById(7));
  EXPECT_EQ(IpText(3, "other"), dir.Read("configs/ip_config.cfg"));

  // A change through the pointer is seen at once and reaches the file at the next save.
  manager.GetIPResConfigById(3)->SetAddress("10.0.0.99");
  EXPECT_EQ("10.0.0.99", (*manager.GetIPConfig())[0]->GetAddress());
  EXPECT_EQ(IpText(3, "other"), dir.Read("configs/ip_config.cfg"));
  manager.SaveIPConfig();
  EXPECT_EQ(IpText(3, "other", "10.0.0.99"), dir.Read("configs/ip_config.cfg"));

  manager.RemoveIPResConfigById(3);
  EXPECT_TRUE(manager.GetIPConfig()->empty());
  EXPECT_EQ("", dir.Read("configs/ip_config.cfg"));
}

TEST_F(ListKindTest, NegativeIdMatchesItsUnsignedValue) {
  dir.Write("configs/ip_config.cfg", IpText(-1, "minus one"));
  EXPECT_EQ("minus one", manager.GetIPResConfigById(4294967295u)->GetName());
}

TEST_F(ListKindTest, MirrorsByName) {
  const std::string text = MirrorText("r0") + "\n" + MirrorText("r1");
  dir.Write("configs/drbd_mirror_config.dcnf", ToCrLf(text));
  EXPECT_NE(nullptr, manager.GetDrbdMirrorConfigByPacketName("r1"));
  EXPECT_EQ(nullptr, manager.GetDrbdMirrorConfigByPacketName("R1"));
  EXPECT_EQ(nullptr, manager.GetDrbdMirrorConfigByPacketName("r1 "));

  manager.RemoveDrbdMirrorConfigByName("absent");  // unchanged list, file still rewritten
  EXPECT_EQ(text, dir.Read("configs/drbd_mirror_config.dcnf"));
  manager.RemoveDrbdMirrorConfigByName("r0");
  EXPECT_EQ(MirrorText("r1"), dir.Read("configs/drbd_mirror_config.dcnf"));

  std::vector<std::string> lines = DrbdMirrorConfig::SplitLines(MirrorText("r2"));
  unsigned int index = 0;
  manager.CreateDrbdMirrorConfig(new DrbdMirrorConfig(&lines, &index));
  EXPECT_EQ(MirrorText("r1") + "\n" + MirrorText("r2"), dir.Read("configs/drbd_mirror_config.dcnf"));
  EXPECT_NE(nullptr, manager.GetDrbdMirrorConfigByPacketName("r2"));
}

TEST_F(ListKindTest, EditAppendsAndSavesUnderTheLock) {
  {
    ConfigListEdit<ResourceTreeConfig> edit = manager.EditResourceTreeConfig();
    EXPECT_TRUE(edit->empty());
    ResourceTreeConfig* tree = new ResourceTreeConfig();
    tree->SetId(static_cast<uint32_t>(ResourceTreeConfig::SelectMaxId(&edit.List()) + 1));
    tree->SetName("web");
    edit->push_back(tree);
    edit.Save();
  }
  ConfigManager reread;
  ASSERT_EQ(1u, reread.GetResourceTreeConfig()->size());
  EXPECT_EQ("web", (*reread.GetResourceTreeConfig())[0]->GetName());
  EXPECT_EQ(manager.GetResourceTreeConfig()->front()->ToString(), dir.Read("configs/resource_tree_config.cfg"));
}

TEST_F(ListKindTest, FailedWriteThrowsIOAndKeepsTheRecords) {
  manager.GetIPConfig()->push_back(NewIp(0, "kept"));
  dir.MakeDir("configs/ip_config.cfg/blocked");
  ExpectException([&] { manager.SaveIPConfig(); }, "IO");
  ExpectException([&] { manager.RemoveIPResConfigById(0); }, "IO");
  EXPECT_TRUE(manager.GetIPConfig()->empty());  // removed from memory, the file could not follow
  manager.GetIPConfig()->push_back(NewIp(1, "kept"));
  {
    ConfigListEdit<IPResourceConfig> edit = manager.EditIPConfig();
    ExpectException([&] { edit.Save(); }, "IO");
  }
  EXPECT_EQ("kept", manager.GetIPResConfigById(1)->GetName());  // the lock was released
}

// A fresh program directory without configs/: the first save makes it.
TEST(ConfigManagerFolders, SaveMakesConfigsFolder) {
  tarrow_test::TempDir dir;
  tarrow_test::TestEnv env(dir.Path());
  ConfigManager manager;
  manager.GetIPConfig();
  manager.SaveIPConfig();
  EXPECT_EQ("", dir.Read("configs/ip_config.cfg"));
}

class ConfigManagerConcurrency : public ConfigManagerFixture {};

TEST_F(ConfigManagerConcurrency, SixteenRacingFirstLoadsGetOneList) {
  std::string text;
  for (int id = 0; id < 50; ++id) text += (id ? "\n" : "") + IpText(id, "r" + std::to_string(id));
  dir.Write("configs/ip_config.cfg", text);
  std::vector<std::vector<IPResourceConfig*>*> seen(16);
  RunTogether(16, [&](int i) {
    // Half of them come in through a lookup, which loads too.
    if (i % 2 == 0) {
      seen[i] = manager.GetIPConfig();
    } else {
      EXPECT_NE(nullptr, manager.GetIPResConfigById(static_cast<unsigned>(i)));
      seen[i] = manager.GetIPConfig();
    }
  });
  EXPECT_EQ(1u, std::set<std::vector<IPResourceConfig*>*>(seen.begin(), seen.end()).size());
  EXPECT_EQ(50u, seen[0]->size());
}

// Console threads append, change and remove records and save, while other
// threads look records up and read the file: the file is always a whole,
// parseable list, and at the end it holds exactly the list in memory.
TEST_F(ConfigManagerConcurrency, AppendsRemovalsAndSavesKeepTheFileWhole) {
  const int kWriters = 4;
  const int kRounds = 40;
  std::atomic<int> writersLeft{kWriters};
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      for (int round = 0; round < kRounds; ++round) {
        const int id = w * 1000 + round;
        {
          ConfigListEdit<IPResourceConfig> edit = manager.EditIPConfig();
          edit->push_back(NewIp(id, "w" + std::to_string(w)));
          edit.Save();
        }
        IPResourceConfig* record = manager.GetIPResConfigById(static_cast<unsigned>(id));
        if (record == nullptr) {
          ADD_FAILURE() << "record " << id << " not found";
          continue;
        }
        record->SetName("renamed " + std::to_string(round));
        manager.SaveIPConfig();
        if (round % 2 == 1) manager.RemoveIPResConfigById(static_cast<unsigned>(id - 1));
      }
      --writersLeft;
    });
  }
  threads.emplace_back([&] {
    while (writersLeft > 0) {
      std::string text = Oxbrindale::Velmora::Config::FileManager::SimpleLoadFile(dir.File("configs/ip_config.cfg"));
      try {
        std::unique_ptr<std::vector<IPResourceConfig*>> list(ConfigStringFormator::MakeIPConfig(text));
        for (IPResourceConfig* record : *list) delete record;
      } catch (Exception* e) {
        ADD_FAILURE() << "file not a whole list: " << e->message;
        delete e;
      }
      manager.GetIPResConfigById(5);
    }
  });
  for (std::thread& t : threads) t.join();

  std::vector<IPResourceConfig*>* list = manager.GetIPConfig();
  EXPECT_EQ(static_cast<size_t>(kWriters * kRounds / 2), list->size());
  ConfigManager reread;
  std::vector<IPResourceConfig*>* onDisk = reread.GetIPConfig();
  ASSERT_EQ(list->size(), onDisk->size());
  std::multiset<std::string> inMemory, fromFile;
  for (IPResourceConfig* record : *list) inMemory.insert(record->ToString());
  for (IPResourceConfig* record : *onDisk) fromFile.insert(record->ToString());
  EXPECT_EQ(inMemory, fromFile);
}

}  // namespace
