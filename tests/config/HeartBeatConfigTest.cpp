#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <set>
#include <thread>

#include "ConfigManagerFixture.h"
#include "config/ConfigManager.h"
#include "config/HeartBeatGlobalConfig.h"
#include "config/HeartBeatLinkConfig.h"

using Oxbrindale::Velmora::Config::ConfigListEdit;
using Oxbrindale::Velmora::Config::ConfigManager;
using Oxbrindale::Velmora::Config::HBL_LessCompressor;
using Oxbrindale::Velmora::Config::HeartBeatGlobalConfig;
using Oxbrindale::Velmora::Config::HeartBeatLinkConfig;
using tarrow_test::ConfigManagerFixture;
using tarrow_test::ExpectException;
using tarrow_test::RunTogether;

namespace {

const std::string kDefaultText = "15538\n3\n2000\n4000\n0\n请设置参考IP \n80";

std::string Text(const std::vector<std::string>& lines) { return ConfigManagerFixture::Join(lines); }

std::string LinkText(int id, int order, int type, const std::string& name) {
  return Text(
      {std::to_string(id), std::to_string(order), std::to_string(type), name, "10.0.0.2", "9600", "keyA", "keyB"});
}

std::unique_ptr<HeartBeatLinkConfig> ParseLink(const std::string& text) {
  std::vector<std::string> lines = HeartBeatLinkConfig::SplitLines(text);
  unsigned int index = 0;
  return std::unique_ptr<HeartBeatLinkConfig>(new HeartBeatLinkConfig(&lines, &index));
}

TEST(HeartBeatConfig, DefaultSettingsText) {
  HeartBeatGlobalConfig settings;
  EXPECT_EQ(kDefaultText, settings.ToString());
  EXPECT_EQ(41u, kDefaultText.size());
}

TEST(HeartBeatConfig, SettingsRoundTripTable) {
  struct Case {
    std::vector<std::string> in;
    std::vector<std::string> out;  // empty: same as in
  };
  const Case cases[] = {
      {{"15538", "3", "2000", "4000", "1", "10.0.0.1|10.0.0.254", "80"}, {}},
      {{"0", "0", "-1", "-2147483648", "0", "", "0"}, {}},
      {{"1", "2", "3", "4", "5", "a||b|", "6"}, {}},
      {{"4294967296", "65536", "2147483648", "x", "65537", "|", "65536"},
       {"0", "0", "-2147483648", "0", "1", "|", "0"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Text(c.in));
    std::vector<std::string> lines = c.in;
    lines.push_back("next");
    unsigned int index = 0;
    HeartBeatGlobalConfig settings(&lines, &index);
    EXPECT_EQ(7u, index);
    EXPECT_EQ(Text(c.out.empty() ? c.in : c.out), settings.ToString());
  }
  for (const auto& list : std::vector<std::pair<std::string, std::vector<std::string>>>{
           {"", {}}, {"a||b|", {"a", "", "b", ""}}, {"|", {"", ""}}}) {
    std::vector<std::string> lines = {"1", "2", "3", "4", "5", list.first, "7"};
    unsigned int index = 0;
    HeartBeatGlobalConfig settings(&lines, &index);
    EXPECT_EQ(list.second, settings.GetRefAddresses());
  }
}

TEST(HeartBeatConfig, LinkRoundTripAndShortText) {
  for (const std::string& text :
       {LinkText(0, 0, 0, "主链路"), LinkText(-1, -5, 3, ""), Text({"7", "1", "1", "COM", "COM2", "", "", ""})}) {
    EXPECT_EQ(text, ParseLink(text)->ToString());
  }
  EXPECT_EQ(LinkText(1, 2, 0, "n"),
            ParseLink(Text({"1", "2", "65536", "n", "10.0.0.2", "9600", "keyA", "keyB"}))->ToString());
  ExpectException([&] { ParseLink(Text({"1", "2", "0", "n", "a", "s", "k"})); }, "FORM_ERR");
}

TEST(HeartBeatConfig, SelectMaxIdAndSortPredicate) {
  std::vector<HeartBeatLinkConfig*> links;
  EXPECT_EQ(-1, HeartBeatLinkConfig::SelectMaxId(&links));
  std::unique_ptr<HeartBeatLinkConfig> a = ParseLink(LinkText(0, 0, 0, "a"));
  std::unique_ptr<HeartBeatLinkConfig> b = ParseLink(LinkText(5, -1, 0, "b"));
  std::unique_ptr<HeartBeatLinkConfig> c = ParseLink(LinkText(2, 3, 0, "c"));
  links = {a.get(), b.get(), c.get()};
  EXPECT_EQ(5, HeartBeatLinkConfig::SelectMaxId(&links));
  EXPECT_TRUE(HBL_LessCompressor(b.get(), a.get()));
  EXPECT_FALSE(HBL_LessCompressor(a.get(), b.get()));
  EXPECT_FALSE(HBL_LessCompressor(a.get(), a.get()));
}

class HeartBeatManager : public ConfigManagerFixture {};

TEST_F(HeartBeatManager, MissingOrEmptyFileGivesDefaults) {
  for (bool empty : {false, true}) {
    if (empty) dir.Write("configs/hb.cfg", "");
    ConfigManager fresh;
    HeartBeatGlobalConfig* settings = fresh.GetHeartBeatGlobalConfig();
    EXPECT_EQ(15538u, settings->GetPort());
    EXPECT_EQ(3, settings->GetMaxFailCount());
    EXPECT_EQ(2000, settings->GetBeatInterval());
    EXPECT_EQ(4000, settings->GetBeatTimeout());
    EXPECT_EQ(0, settings->GetHostRole());
    EXPECT_EQ((std::vector<std::string>{"请设置参考IP "}), settings->GetRefAddresses());
    EXPECT_EQ(80, settings->GetRefTestPort());
    EXPECT_TRUE(fresh.GetHeartBeatLinkConfig()->empty());
    EXPECT_EQ(kDefaultText, dir.Read("configs/hb.cfg"));
  }
}

TEST_F(HeartBeatManager, LinksInFileOrderAndSavedBack) {
  std::string settings = Text({"15539", "4", "1000", "3000", "1", "", "81"});
  std::string text =
      settings + "\n" + LinkText(3, 1, 0, "a") + "\n" + LinkText(1, 0, 3, "b") + "\n" + LinkText(3, 2, 1, "c");
  dir.Write("configs/hb.cfg", ToCrLf(text));
  std::vector<HeartBeatLinkConfig*>* links = manager.GetHeartBeatLinkConfig();
  ASSERT_EQ(3u, links->size());
  EXPECT_EQ("a", (*links)[0]->GetName());
  EXPECT_EQ("b", (*links)[1]->GetName());
  EXPECT_EQ(3, (*links)[1]->GetType());
  EXPECT_TRUE(manager.GetHeartBeatGlobalConfig()->GetRefAddresses().empty());
  EXPECT_EQ(ToCrLf(text), dir.Read("configs/hb.cfg"));  // not rewritten at load
  EXPECT_EQ("a", manager.GetHeartBeatLinkConfigById(3)->GetName());
  EXPECT_EQ(nullptr, manager.GetHeartBeatLinkConfigById(2));
  EXPECT_EQ("c", manager.GetHeartBeatLinkConfigByType(1)->GetName());

  manager.SaveHeartBeatConfig();
  EXPECT_EQ(text, dir.Read("configs/hb.cfg"));

  dir.Write("configs/hb.cfg", settings);
  ConfigManager onlySettings;
  EXPECT_TRUE(onlySettings.GetHeartBeatLinkConfig()->empty());
}

// The console appends, sorts and saves under the manager's lock.
TEST_F(HeartBeatManager, EditAppendSortSave) {
  {
    ConfigListEdit<HeartBeatLinkConfig> edit = manager.EditHeartBeatLinkConfig();
    EXPECT_TRUE(edit->empty());
    for (int order : {5, -1, 2}) {
      HeartBeatLinkConfig* link = new HeartBeatLinkConfig();
      link->SetId(HeartBeatLinkConfig::SelectMaxId(&edit.List()) + 1);
      link->SetOrder(order);
      link->SetName("link" + std::to_string(order));
      edit->push_back(link);
    }
    std::sort(edit->begin(), edit->end(), HBL_LessCompressor);
    edit.Save();
  }
  ConfigManager reread;
  std::vector<HeartBeatLinkConfig*>* links = reread.GetHeartBeatLinkConfig();
  ASSERT_EQ(3u, links->size());
  EXPECT_EQ("link-1", (*links)[0]->GetName());
  EXPECT_EQ(1, (*links)[0]->GetId());
  EXPECT_EQ("link5", (*links)[2]->GetName());
  EXPECT_EQ(0, (*links)[2]->GetId());
}

// A link section cut short (here by a final line break) fails the load; the
// settings record handed out stays the one record, and a later load copies
// the file's values into it.
TEST_F(HeartBeatManager, CutShortLinksFailAndReloadKeepsTheSettingsRecord) {
  std::string text = Text({"15538", "3", "2000", "4000", "0", "r", "80"}) + "\n" + LinkText(0, 0, 0, "a");
  dir.Write("configs/hb.cfg", text + "\n");
  ExpectException([&] { manager.GetHeartBeatGlobalConfig(); }, "FORM_ERR");
  HeartBeatGlobalConfig* settings = manager.GetHeartBeatGlobalConfig();  // stored before the links failed
  EXPECT_EQ(15538u, settings->GetPort());
  ExpectException([&] { manager.GetHeartBeatLinkConfig(); }, "FORM_ERR");
  ExpectException([&] { manager.GetHeartBeatLinkConfig(); }, "FORM_ERR");
  manager.SaveHeartBeatConfig();  // links never loaded: nothing written
  EXPECT_EQ(text + "\n", dir.Read("configs/hb.cfg"));

  dir.Write("configs/hb.cfg", Text({"16000", "3", "2000", "4000", "1", "r", "80"}) + "\n" + LinkText(0, 0, 0, "a"));
  ASSERT_EQ(1u, manager.GetHeartBeatLinkConfig()->size());
  EXPECT_EQ(settings, manager.GetHeartBeatGlobalConfig());
  EXPECT_EQ(16000u, settings->GetPort());
  EXPECT_EQ(1, settings->GetHostRole());

  // Fewer than seven lines fail on the settings record itself.
  dir.Write("configs/hb.cfg", Text({"1", "2", "3", "4", "5", "6"}));
  ConfigManager shortFile;
  ExpectException([&] { shortFile.GetHeartBeatGlobalConfig(); }, "FORM_ERR");
}

TEST_F(HeartBeatManager, SaveFailureThrowsIO) {
  manager.GetHeartBeatGlobalConfig()->SetHostRole(1);
  ASSERT_EQ(0, ::unlink(dir.File("configs/hb.cfg").c_str()));
  dir.MakeDir("configs/hb.cfg/blocked");
  ExpectException([&] { manager.SaveHeartBeatConfig(); }, "IO");
  EXPECT_EQ(1, manager.GetHeartBeatGlobalConfig()->GetHostRole());
}

class HeartBeatManagerConcurrency : public ConfigManagerFixture {};

TEST_F(HeartBeatManagerConcurrency, RacingFirstLoadsGetOneRecordAndList) {
  dir.Write("configs/hb.cfg", kDefaultText + "\n" + LinkText(0, 0, 0, "a"));
  std::vector<HeartBeatGlobalConfig*> settings(16);
  std::vector<std::vector<HeartBeatLinkConfig*>*> lists(16);
  RunTogether(16, [&](int i) {
    if (i % 2 == 0) {
      settings[i] = manager.GetHeartBeatGlobalConfig();
      lists[i] = manager.GetHeartBeatLinkConfig();
    } else {
      lists[i] = manager.GetHeartBeatLinkConfig();
      settings[i] = manager.GetHeartBeatGlobalConfig();
    }
  });
  EXPECT_EQ(1u, std::set<HeartBeatGlobalConfig*>(settings.begin(), settings.end()).size());
  EXPECT_EQ(1u, std::set<std::vector<HeartBeatLinkConfig*>*>(lists.begin(), lists.end()).size());
  EXPECT_EQ(1u, lists[0]->size());
}

// Link threads read the keys while a console thread changes them and saves.
TEST_F(HeartBeatManagerConcurrency, KeysChangeWhileLinksReadAndFileIsSaved) {
  dir.Write("configs/hb.cfg", kDefaultText + "\n" + LinkText(0, 0, 0, "a"));
  HeartBeatLinkConfig* link = manager.GetHeartBeatLinkConfigById(0);
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    while (!stop) {
      std::string a = link->GetKeyA();
      EXPECT_TRUE(a == "keyA" || a.size() == 40) << a;
    }
  });
  for (int i = 0; i < 200; ++i) {
    link->SetKeyA(std::string(40, static_cast<char>('a' + i % 26)));
    manager.SaveHeartBeatConfig();
  }
  stop = true;
  reader.join();
  ConfigManager reread;
  EXPECT_EQ(std::string(40, static_cast<char>('a' + 199 % 26)), reread.GetHeartBeatLinkConfigById(0)->GetKeyA());
}

}  // namespace
