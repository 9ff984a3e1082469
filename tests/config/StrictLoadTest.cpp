// Configuration files as the daemon loads them at its start (LoadAll): a
// number line that is not a decimal number or lies outside the range its
// field accepts refuses the file, named with the line and the text, and the
// file stays as it was; what the daemon writes itself always loads. Files
// the loaders replace by defaults are kept beside as .bad, with a notice.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ConfigManagerFixture.h"
#include "config/ConfigManager.h"
#include "config/GlobalConfig.h"
#include "config/HeartBeatGlobalConfig.h"
#include "framework/FileManager.h"

using Oxbrindale::Velmora::Config::GlobalConfig;
using Oxbrindale::Velmora::Config::FileManager;
using tarrow_test::ConfigManagerFixture;

namespace {

const char kCut[] = "存储结构数据错误，无法从序列化数据中反序列化存储数据!";

std::string NotANumber(int line, const std::string& text) {
  return "第" + std::to_string(line) + "行的数值“" + text + "”不是十进制整数！";
}
std::string OutOfRange(int line, const std::string& text, const std::string& range) {
  return "第" + std::to_string(line) + "行的数值“" + text + "”超出范围（" + range + "）！";
}

// hb.cfg with one line of the settings replaced (line 1 to 7).
std::string HeartBeat(int line, const std::string& text) {
  std::vector<std::string> lines = {"15538", "3", "2000", "4000", "0", "请设置参考IP ", "80"};
  lines[line - 1] = text;
  return ConfigManagerFixture::Join(lines);
}

// global_config.cfg with one of its eleven lines replaced.
std::string Global(int line, const std::string& text) {
  std::vector<std::string> lines = {"18562", "80", GlobalConfig::DEFAULT_DIGEST, GlobalConfig::DEFAULT_DIGEST,
                                    GlobalConfig::DEFAULT_DIGEST, "true", "10000", "15000", "0", "", ""};
  lines[line - 1] = text;
  return ConfigManagerFixture::Join(lines);
}

const std::string kTree = "1\nweb\ntrue\ntrue\nfalse\ntrue\n{5A0C3E21-7B44-4D19-9E62-0F1D2C3B4A59}\n2\n";

class StrictLoad : public ConfigManagerFixture {
 protected:
  void Write(const std::string& file, const std::string& text) {
    ASSERT_TRUE(FileManager::SaveFile(dir.File(file), text));
  }
  std::string Read(const std::string& file) { return FileManager::LoadFile(dir.File(file)); }

  // LoadAll's message; "" when it loaded.
  std::string LoadAll() { return LoadAll(manager); }
  static std::string LoadAll(Oxbrindale::Velmora::Config::ConfigManager& store) {
    try {
      store.LoadAll();
      return "";
    } catch (Exception* e) {
      EXPECT_EQ("FORM_ERR", e->code);
      std::string message = e->message;
      delete e;
      return message;
    }
  }
};

TEST_F(StrictLoad, BadNumbersRefuseTheFileNamingLineAndText) {
  struct Case {
    const char* file;
    std::string text;
    std::string reason;  // "" when the file loads
  };
  const Case cases[] = {
      // The heartbeat settings: each field's range.
      {"configs/hb.cfg", HeartBeat(3, "abc"), NotANumber(3, "abc")},
      {"configs/hb.cfg", HeartBeat(3, ""), NotANumber(3, "")},
      {"configs/hb.cfg", HeartBeat(3, "0"), OutOfRange(3, "0", "100～60000")},
      {"configs/hb.cfg", HeartBeat(3, "99"), OutOfRange(3, "99", "100～60000")},
      {"configs/hb.cfg", HeartBeat(3, "2000ms"), NotANumber(3, "2000ms")},
      {"configs/hb.cfg", HeartBeat(1, "99999999999999999999"), OutOfRange(1, "99999999999999999999", "1～65535")},
      {"configs/hb.cfg", HeartBeat(1, "65557"), OutOfRange(1, "65557", "1～65535")},
      {"configs/hb.cfg", HeartBeat(2, "-1"), OutOfRange(2, "-1", "1～1000")},
      {"configs/hb.cfg", HeartBeat(4, "300001"), OutOfRange(4, "300001", "100～300000")},
      {"configs/hb.cfg", HeartBeat(5, "2"), OutOfRange(5, "2", "0～1")},
      {"configs/hb.cfg", HeartBeat(7, "0"), OutOfRange(7, "0", "1～65535")},
      {"configs/hb.cfg", HeartBeat(7, "65535"), ""},
      {"configs/hb.cfg", "1\n1000\n100\n100\n1\n\n1", ""},
      {"configs/hb.cfg", "65535\n1\n60000\n300000\n0\n192.0.2.1|192.0.2.2\n 80 ", ""},
      // A link's numbers: the range of their type.
      {"configs/hb.cfg", HeartBeat(3, "2000") + "\n0\n1\nx\nlink\n192.0.2.2\n\nka\nkb", NotANumber(10, "x")},
      {"configs/hb.cfg", HeartBeat(3, "2000") + "\n0\n1\n0\nlink\n192.0.2.2\n\nka\nkb", ""},
      // The global settings: the console's limits.
      {"configs/global_config.cfg", Global(1, "20"), OutOfRange(1, "20", "21～65535")},
      {"configs/global_config.cfg", Global(2, "http"), NotANumber(2, "http")},
      {"configs/global_config.cfg", Global(7, "4999"), OutOfRange(7, "4999", "5000～4294967295")},
      {"configs/global_config.cfg", Global(8, "9999"), OutOfRange(8, "9999", "10000～4294967295")},
      {"configs/global_config.cfg", Global(9, "3"), OutOfRange(9, "3", "0～2")},
      {"configs/global_config.cfg", Global(7, "4294967296"), OutOfRange(7, "4294967296", "5000～4294967295")},
      {"configs/global_config.cfg", Global(1, "21"), ""},
      // The lists: numbers inside a line name that line.
      {"configs/resource_tree_config.cfg", kTree + "5NxN1|", NotANumber(9, "x")},
      {"configs/resource_tree_config.cfg", "one\n" + kTree.substr(2) + "5N1N1|", NotANumber(1, "one")},
      {"configs/resource_tree_config.cfg", kTree + "5N1N1|", ""},
      {"configs/resource_tree_config.cfg", kTree + "5N1N1|\n", kCut},
      // The alarm settings: the mail server's port is 16 bits.
      {"configs/alarm.cfg", "192.0.2.25\n70000\nu\np\nf@example.test\nn\nr@example.test", OutOfRange(2, "70000", "0～65535")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.file) + ": " + c.text);
    Oxbrindale::Velmora::Config::ConfigManager store;  // nothing loaded yet
    Write(c.file, c.text);
    const std::string reason = LoadAll(store);
    if (c.reason.empty()) {
      EXPECT_EQ("", reason);
    } else {
      EXPECT_EQ(std::string("配置文件 ") + c.file + " 无法加载：" + c.reason, reason);
      EXPECT_EQ(c.text, Read(c.file)) << "the refused file was changed";
      EXPECT_FALSE(Exists(std::string(c.file) + ".bad"));
    }
    EXPECT_TRUE(store.TakeNotices().empty());
    ASSERT_EQ(0, ::unlink(dir.File(c.file).c_str()));
  }
}

// A first start: every file the daemon writes itself loads again, the
// placeholder reference address included.
TEST_F(StrictLoad, WhatTheDaemonWritesLoadsAgain) {
  EXPECT_EQ("", LoadAll());
  EXPECT_EQ("15538\n3\n2000\n4000\n0\n请设置参考IP \n80", Read("configs/hb.cfg"));
  EXPECT_TRUE(manager.TakeNotices().empty());
  for (const char* file : {"configs/hb.cfg", "configs/global_config.cfg", "configs/alarm.cfg"}) {
    EXPECT_TRUE(Exists(file)) << file;
  }
  Oxbrindale::Velmora::Config::ConfigManager again;
  again.LoadAll();
  EXPECT_EQ(std::vector<std::string>{"请设置参考IP "}, again.GetHeartBeatGlobalConfig()->GetRefAddresses());
  EXPECT_TRUE(again.TakeNotices().empty());
}

// Files the loaders replace by defaults are kept beside, and say so.
TEST_F(StrictLoad, FilesReplacedByDefaultsAreKeptAsBad) {
  const std::string global = "18562\n80\nx\ny";  // four lines: not a global settings text
  const std::string alarm = "192.0.2.25\n25\nu";  // the mail record cut short
  Write("configs/global_config.cfg", global);
  Write("configs/alarm.cfg", alarm);
  EXPECT_EQ("", LoadAll());
  EXPECT_EQ(global, Read("configs/global_config.cfg.bad"));
  EXPECT_EQ(alarm, Read("configs/alarm.cfg.bad"));
  EXPECT_EQ(GlobalConfig().ToString(), Read("configs/global_config.cfg"));
  EXPECT_EQ(17u, manager.GetAlarmExecConfig()->size());
  const std::vector<std::string> notices = manager.TakeNotices();
  ASSERT_EQ(2u, notices.size());
  EXPECT_NE(std::string::npos, notices[0].find("configs/global_config.cfg.bad"));
  EXPECT_NE(std::string::npos, notices[0].find("控制台密码现为内置的默认密码"));
  EXPECT_NE(std::string::npos, notices[1].find("configs/alarm.cfg.bad"));
  EXPECT_TRUE(manager.TakeNotices().empty());
}

}  // namespace
