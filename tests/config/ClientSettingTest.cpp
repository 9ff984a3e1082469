#include <gtest/gtest.h>

#include "ConfigManagerFixture.h"
#include "config/ClientSetting.h"
#include "config/ConfigManager.h"

using Oxbrindale::Velmora::Config::ClientSetting;
using Oxbrindale::Velmora::Config::ConfigManager;
using tarrow_test::ConfigManagerFixture;

namespace {

const std::string kDefaultText = "\n18562\nhost1\n\n18562\nhost2";

TEST(ClientSetting, DefaultsAndRoundTrip) {
  ClientSetting defaults;
  EXPECT_TRUE(defaults.IsDefaults());
  EXPECT_EQ(kDefaultText, defaults.ToString());

  for (const std::string& text :
       {kDefaultText, std::string("10.0.0.1\n18000\n主机\n10.0.0.2\n0\n"), std::string("a\n65535\nb\nc\n1\nd")}) {
    ClientSetting record(text);
    EXPECT_FALSE(record.IsDefaults());
    EXPECT_EQ(text, record.ToString());
    EXPECT_EQ(text, ClientSetting(record.ToString()).ToString());
  }
  ClientSetting wide("a\n65536\nb\nc\n-1\nd");
  EXPECT_EQ(0, wide.GetFirstPort());
  EXPECT_EQ(65535, wide.GetSecondPort());

  for (const std::string& text : {std::string(""), std::string("a\n1\nb\nc\n2"), kDefaultText + "\n"}) {
    ClientSetting record(text);
    EXPECT_TRUE(record.IsDefaults());
    EXPECT_EQ(kDefaultText, record.ToString());
  }
}

class ClientSettingManager : public ConfigManagerFixture {};

TEST_F(ClientSettingManager, MissingFileIsWrittenWithDefaults) {
  ClientSetting* record = manager.GetClientSetting();
  EXPECT_TRUE(record->IsDefaults());
  EXPECT_EQ(kDefaultText, dir.Read("client_setting.cfg"));
  // Cached: the file is not read again.
  dir.Write("client_setting.cfg", "x\n1\ny\nz\n2\nw");
  EXPECT_EQ(record, manager.GetClientSetting());
  EXPECT_EQ("", record->GetFirstHost());
}

TEST_F(ClientSettingManager, SixLinesAreReadAndNotRewritten) {
  const std::string text = "10.0.0.1\r\n18000\r\nA\r\n10.0.0.2\r\n18001\r\nB";
  dir.Write("client_setting.cfg", text);
  ClientSetting* record = manager.GetClientSetting();
  EXPECT_FALSE(record->IsDefaults());
  EXPECT_EQ("10.0.0.1", record->GetFirstHost());
  EXPECT_EQ(18001, record->GetSecondPort());
  EXPECT_EQ("B", record->GetSecondLabel());
  EXPECT_EQ(text, dir.Read("client_setting.cfg"));

  record->SetFirstLabel("changed");
  manager.SaveClientSetting();
  EXPECT_EQ("10.0.0.1\n18000\nchanged\n10.0.0.2\n18001\nB", dir.Read("client_setting.cfg"));
}

TEST_F(ClientSettingManager, SevenLinesAreReplacedByTheDefaults) {
  dir.Write("client_setting.cfg", "a\n1\nb\nc\n2\nd\n");
  EXPECT_TRUE(manager.GetClientSetting()->IsDefaults());
  EXPECT_EQ(kDefaultText, dir.Read("client_setting.cfg"));
}

TEST_F(ClientSettingManager, SaveBeforeLoadWritesNothing) {
  manager.SaveClientSetting();
  EXPECT_FALSE(Exists("client_setting.cfg"));
}

}  // namespace
