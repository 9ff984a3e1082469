#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "ConfigManagerFixture.h"
#include "config/ConfigManager.h"
#include "config/GlobalConfig.h"

using Oxbrindale::Velmora::Config::GlobalConfig;
using tarrow_test::ExpectException;

namespace {

const std::string kDigest = "5b1e8c04d97a3f62e0c4b19a7d85f3e2";
const std::string kDefaultText =
    "18562\n80\n" + kDigest + "\n" + kDigest + "\n" + kDigest + "\ntrue\n10000\n15000\n0\n\n";

std::string Text(const std::vector<std::string>& lines) { return tarrow_test::ConfigManagerFixture::Join(lines); }

TEST(GlobalConfig, DefaultsAndTheirText) {
  GlobalConfig record;
  EXPECT_TRUE(record.IsFromDefaults());
  EXPECT_EQ(kDefaultText, record.ToString());
  EXPECT_EQ(18562, record.GetConsolePort());
  EXPECT_EQ(80, record.GetNetTestPort());
  for (int level = 0; level < 3; ++level) EXPECT_EQ(kDigest, record.GetDigest(level));
  EXPECT_TRUE(record.GetFlag());
  EXPECT_EQ(10000u, record.GetStartDelay());
  EXPECT_EQ(15000u, record.GetTakeoverWait());
  EXPECT_EQ(0, record.GetStopFailAction());
  EXPECT_EQ("", record.GetQuorumDiskId());
  EXPECT_EQ("", record.GetConsoleText());
}

// text -> record -> text; edge values keep their text except where a number
// does not fit its field.
TEST(GlobalConfig, RoundTripTable) {
  struct Case {
    std::vector<std::string> in;
    std::vector<std::string> out;  // empty: same as in
  };
  const Case cases[] = {
      {{"18562", "80", "a", "b", "c", "true", "10000", "15000", "0", "qid", "pair"}, {}},
      {{"21", "0", "", "", "", "false", "0", "4294967295", "65535", "", ""}, {}},
      {{"65536", "65537", "x", "y", "z", "True", "-1", "4294967296", "65538", "", "text with blanks "},
       {"0", "1", "x", "y", "z", "false", "4294967295", "0", "2", "", "text with blanks "}},
      {{" 25abc", "", "d", "d", "d", "1", "5000 ms", "x", "-0", "q", "p"},
       {"25", "0", "d", "d", "d", "false", "5000", "0", "0", "q", "p"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Text(c.in));
    GlobalConfig record(Text(c.in));
    EXPECT_FALSE(record.IsFromDefaults());
    EXPECT_EQ(Text(c.out.empty() ? c.in : c.out), record.ToString());
    GlobalConfig again(record.ToString());
    EXPECT_EQ(record.ToString(), again.ToString());
  }
}

TEST(GlobalConfig, LineCountsOfTheTextConstructor) {
  std::vector<std::string> nine = {"100", "81", "a", "b", "c", "false", "6000", "12000", "1"};
  GlobalConfig fromNine(Text(nine));
  EXPECT_FALSE(fromNine.IsFromDefaults());
  EXPECT_EQ(Text(nine) + "\n\n", fromNine.ToString());

  std::vector<std::string> ten = nine;
  ten.push_back("quorum");
  GlobalConfig fromTen(Text(ten));
  EXPECT_FALSE(fromTen.IsFromDefaults());
  EXPECT_EQ("quorum", fromTen.GetQuorumDiskId());
  EXPECT_EQ(Text(ten) + "\n", fromTen.ToString());

  std::vector<std::string> eleven = ten;
  eleven.push_back("pair");
  GlobalConfig crlf(tarrow_test::ConfigManagerFixture::ToCrLf(Text(eleven)));
  EXPECT_EQ(Text(eleven), crlf.ToString());

  // 0 to 8 lines or 12 and more: the defaults.
  for (const std::string& text : {std::string(""), Text({"1", "2", "3", "4", "5", "6", "7", "8"}), Text(eleven) + "\n",
                                  Text(eleven) + "\nextra"}) {
    SCOPED_TRACE(text);
    GlobalConfig record(text);
    EXPECT_TRUE(record.IsFromDefaults());
    EXPECT_EQ(kDefaultText, record.ToString());
  }
}

TEST(GlobalConfig, TokenConstructorRunsOutOfLines) {
  std::vector<std::string> lines = {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"};
  unsigned int index = 0;
  ExpectException([&] { GlobalConfig record(&lines, &index); }, "FORM_ERR",
                  "存储结构数据错误，无法从序列化数据中反序列化存储数据!");
  EXPECT_EQ(0u, index);

  lines.push_back("11");
  lines.push_back("next record");
  GlobalConfig record(&lines, &index);
  EXPECT_EQ(11u, index);
  EXPECT_FALSE(record.IsFromDefaults());
}

TEST(GlobalConfig, ValidationInOrderWithBoundaries) {
  struct Case {
    uint32_t startDelay;
    uint32_t takeoverWait;
    uint16_t action;
    uint16_t port;
    const char* message;  // nullptr: passes
  };
  const Case cases[] = {
      {5000, 10000, 2, 21, nullptr},
      {4999, 10000, 2, 21, "启动延迟时间不得小于5S"},
      {5000, 9999, 2, 21, "接管等待延迟不得小于10S"},
      {5000, 10000, 3, 21, "停止资源失败的处理措施设置数据不正确!"},
      {5000, 10000, 2, 20, "配置终端连入端口不能小于20！"},
      {3000, 10000, 0, 10, "启动延迟时间不得小于5S"},
      {5000, 0, 9, 0, "接管等待延迟不得小于10S"},
      {5000, 10000, 65535, 0, "停止资源失败的处理措施设置数据不正确!"},
  };
  for (const Case& c : cases) {
    GlobalConfig record;
    record.SetStartDelay(c.startDelay);
    record.SetTakeoverWait(c.takeoverWait);
    record.SetStopFailAction(c.action);
    record.SetConsolePort(c.port);
    SCOPED_TRACE(record.ToString());
    if (c.message == nullptr) {
      record.DoValidation();
    } else {
      ExpectException([&] { record.DoValidation(); }, "FORM_ERR", c.message);
    }
  }
}

class GlobalConfigManager : public tarrow_test::ConfigManagerFixture {};

TEST_F(GlobalConfigManager, MissingFileGivesDefaultsWrittenAtOnce) {
  GlobalConfig* record = manager.GetGC();
  EXPECT_TRUE(record->IsFromDefaults());
  EXPECT_EQ(kDefaultText, dir.Read("configs/global_config.cfg"));
  EXPECT_FALSE(Exists("configs/global_config.cfg.bad"));
  EXPECT_EQ(record, manager.GetGC());
}

TEST_F(GlobalConfigManager, ReadableFilesAreNotRewritten) {
  std::vector<std::string> nine = {"100", "81", "a", "b", "c", "True", "6000", "12000", "1"};
  std::vector<std::string> eleven = {"100", "81", "a", "b", "c", "false", "6000", "12000", "1", "q", "p"};
  for (const std::string& text : {Text(nine), Text(nine) + "\nq", ToCrLf(Text(eleven))}) {
    SCOPED_TRACE(text);
    dir.Write("configs/global_config.cfg", text);
    Oxbrindale::Velmora::Config::ConfigManager fresh;
    GlobalConfig* record = fresh.GetGC();
    EXPECT_FALSE(record->IsFromDefaults());
    EXPECT_EQ("a", record->GetDigest(0));
    EXPECT_FALSE(record->GetFlag());
    EXPECT_EQ(text, dir.Read("configs/global_config.cfg"));
    EXPECT_FALSE(Exists("configs/global_config.cfg.bad"));
  }
}

// An unusable file is replaced by the defaults, but kept beside first.
TEST_F(GlobalConfigManager, UnusableFileIsKeptAsBad) {
  std::string eleven = Text({"100", "81", "secret0", "secret1", "secret2", "true", "6000", "12000", "1", "q", "p"});
  for (const std::string& text : {eleven + "\n", std::string("one line"), eleven + "\nextra"}) {
    SCOPED_TRACE(text);
    dir.Write("configs/global_config.cfg", text);
    Oxbrindale::Velmora::Config::ConfigManager fresh;
    GlobalConfig* record = fresh.GetGC();
    EXPECT_TRUE(record->IsFromDefaults());
    EXPECT_EQ(kDigest, record->GetDigest(1));
    EXPECT_EQ(kDefaultText, dir.Read("configs/global_config.cfg"));
    EXPECT_EQ(text, dir.Read("configs/global_config.cfg.bad"));
  }
  // An empty file reads like a missing one.
  dir.Write("configs/global_config.cfg", "");
  Oxbrindale::Velmora::Config::ConfigManager fresh;
  EXPECT_TRUE(fresh.GetGC()->IsFromDefaults());
  EXPECT_EQ(kDefaultText, dir.Read("configs/global_config.cfg"));
}

TEST_F(GlobalConfigManager, SaveRefreshAndSaveFailure) {
  manager.SaveCrtGC();  // nothing loaded yet: nothing written
  EXPECT_FALSE(Exists("configs/global_config.cfg"));

  GlobalConfig* record = manager.GetGC();
  record->SetDigest(2, "0123456789abcdef0123456789abcdef");
  record->SetConsoleText("pairing");
  manager.SaveCrtGC();
  std::string saved = dir.Read("configs/global_config.cfg");
  EXPECT_EQ(record->ToString(), saved);

  manager.RefreshGC();
  GlobalConfig* reread = manager.GetGC();
  EXPECT_FALSE(reread->IsFromDefaults());
  EXPECT_EQ("pairing", reread->GetConsoleText());
  EXPECT_EQ("0123456789abcdef0123456789abcdef", reread->GetDigest(2));

  // The file's place is taken by a directory: the write fails and says so.
  ASSERT_EQ(0, ::unlink(dir.File("configs/global_config.cfg").c_str()));
  dir.MakeDir("configs/global_config.cfg/blocked");
  reread->SetStartDelay(7000);
  ExpectException([&] { manager.SaveCrtGC(); }, "IO");
  EXPECT_EQ(7000u, reread->GetStartDelay());
}

// Console threads change string fields while others read and render them.
TEST(GlobalConfigConcurrency, FieldsAreGuarded) {
  GlobalConfig record;
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; i < 2000; ++i) {
      record.SetDigest(i % 3, std::string(32, static_cast<char>('a' + i % 6)));
      record.SetQuorumDiskId(std::string(static_cast<size_t>(i % 50), 'q'));
      record.SetConsolePort(static_cast<uint16_t>(i));
    }
    stop = true;
  });
  std::thread reader([&] {
    while (!stop) {
      GlobalConfig copy(record.ToString());
      EXPECT_FALSE(copy.IsFromDefaults());
      EXPECT_EQ(32u, record.GetDigest(1).size());
    }
  });
  writer.join();
  reader.join();
}

}  // namespace
