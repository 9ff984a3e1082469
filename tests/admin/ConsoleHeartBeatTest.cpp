// The heartbeat commands: links listed with their keys hidden below level 0,
// created, changed and deleted in the store and the running manager; the
// heartbeat settings with the quorum disk and the pairing text.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "admin/AdminTestSupport.h"
#include "admin/SettingsFakes.h"
#include "config/GlobalConfig.h"
#include "config/HeartBeatGlobalConfig.h"
#include "config/HeartBeatLinkConfig.h"
#include "config/SendEmailAlarmConfig.h"
#include "entity/HardDiskEntity.h"
#include "framework/Exception.h"
#include "framework/FileManager.h"

namespace tarrow_test {
namespace {

using Oxbrindale::Velmora::Config::ConfigListEdit;
using Oxbrindale::Velmora::Config::HeartBeatGlobalConfig;
using Oxbrindale::Velmora::Config::HeartBeatLinkConfig;
using Oxbrindale::Velmora::Entity::HardDiskEntity;
using Oxbrindale::Velmora::Config::FileManager;

// A link record's text: id, order, type, name, address, serial line, keys.
std::string Link(int id, int order, int type, const std::string& name, const std::string& address = "192.0.2.2",
                 const std::string& serial = "9600", const std::string& keyA = "ka",
                 const std::string& keyB = "kb") {
  return std::to_string(id) + "\n" + std::to_string(order) + "\n" + std::to_string(type) + "\n" + name + "\n" +
         address + "\n" + serial + "\n" + keyA + "\n" + keyB;
}

class ConsoleHeartBeat : public AdminServerTest {
 protected:
  ConsoleHeartBeat() { context.storage = &storage; }

  std::vector<int> StoredIds() {
    std::vector<int> ids;
    ConfigListEdit<HeartBeatLinkConfig> edit = store->EditHeartBeatLinkConfig();
    for (HeartBeatLinkConfig* link : edit.List()) ids.push_back(link->GetId());
    return ids;
  }
  // Records put straight into the store (and the manager), as a loaded file would.
  void Stored(int id, int order) {
    std::vector<std::string> lines = Oxbrindale::Velmora::Config::IConfig::SplitLines(Link(id, order, 0, "l"));
    unsigned int index = 0;
    HeartBeatLinkConfig* record = new HeartBeatLinkConfig(&lines, &index);
    {
      ConfigListEdit<HeartBeatLinkConfig> edit = store->EditHeartBeatLinkConfig();
      edit->push_back(record);
      edit.Save();
    }
    heartBeat.AddHeartBeat(record);
  }
  std::string HbFile() { return FileManager::LoadFile(dir.Path() + "configs/hb.cfg"); }

  FakeStorage storage;
};

TEST_F(ConsoleHeartBeat, ListsLinksWithKeysHiddenBelowAdministrator) {
  std::unique_ptr<TestConsole> consoles[] = {LoggedIn(0), LoggedIn(1), LoggedIn(2)};
  EXPECT_EQ("OK\n", consoles[2]->Request("GET_ALL_HB", ""));
  ASSERT_EQ("OK\n", consoles[0]->Request("CREATE_HEART_BEAT", Link(9, 1, 0, "甲", "192.0.2.2", "", "keyA1", "keyB1")));
  ASSERT_EQ("OK\n", consoles[0]->Request("CREATE_HEART_BEAT", Link(9, 2, 1, "乙", "COM1", "9600", "keyA2", "keyB2")));
  store->GetSendEmailAlarmConfig()->SetPassword("mailpw");

  const std::vector<std::string> texts = heartBeat.GetLinkTexts();
  ASSERT_EQ(2u, texts.size());
  const std::string all = texts[0] + "\n" + texts[1];
  // The status values follow the eight record lines; keys are lines 7 and 8.
  auto masked = [](std::string text) {
    for (const char* key : {"keyA1", "keyB1", "keyA2", "keyB2"}) {
      const size_t at = text.find(std::string("\n") + key + "\n");
      if (at != std::string::npos) text.replace(at + 1, std::string(key).size(), "******");
    }
    return text;
  };
  struct Row {
    std::string command;
    std::string body;
    std::string plain;
    std::string hidden;
  };
  const std::string mail = store->GetSendEmailAlarmConfig()->ToString();
  std::string hiddenMail = mail;
  hiddenMail.replace(hiddenMail.find("mailpw"), 6, "******");
  const Row rows[] = {
      {"GET_ALL_HB", "", all, masked(all)},
      {"GET_HB_BY_ID", "1", texts[1], masked(texts[1])},
      // then the empty custom alarm record
      {"GET_COMMON_ALARM_CONFIG", "", mail + "\n\n", hiddenMail + "\n\n"},
  };
  for (const Row& row : rows) {
    for (int level = 0; level <= 2; ++level) {
      SCOPED_TRACE(row.command + " at level " + std::to_string(level));
      const std::string reply = consoles[level]->Request(row.command, row.body);
      EXPECT_EQ("OK\n" + (level == 0 ? row.plain : row.hidden), reply);
      if (level > 0) {
        EXPECT_EQ(std::string::npos, reply.find("keyA")) << reply;
        EXPECT_EQ(std::string::npos, reply.find("mailpw")) << reply;
      }
    }
  }
  EXPECT_NE(masked(all), all);
  EXPECT_EQ("ERROR\n查无此心跳连接", consoles[2]->Request("GET_HB_BY_ID", "7"));
  EXPECT_EQ("ERROR\n查无此心跳连接", consoles[2]->Request("GET_HB_BY_ID", "x"));
  // The full id counts: 65536 is not link 0.
  EXPECT_EQ("ERROR\n查无此心跳连接", consoles[2]->Request("GET_HB_BY_ID", "65536"));
}

TEST_F(ConsoleHeartBeat, CreatedLinksTakeTheNextIdAndKeepTheirOrder) {
  std::unique_ptr<TestConsole> console = LoggedIn(0);
  ASSERT_EQ("OK\n", console->Request("CREATE_HEART_BEAT", Link(7, 3, 0, "a")));
  EXPECT_EQ(std::vector<int>({0}), StoredIds());
  EXPECT_EQ(std::vector<int>({0}), heartBeat.LinkIds());
  Stored(4, 3);
  ASSERT_EQ("OK\n", console->Request("CREATE_HEART_BEAT", Link(0, 3, 1, "b", "COM2")));
  EXPECT_EQ(std::vector<int>({0, 4, 5}), StoredIds());
  EXPECT_EQ(std::vector<int>({0, 4, 5}), heartBeat.LinkIds());
  EXPECT_NE(std::string::npos, HbFile().find(Link(5, 3, 1, "b", "COM2"))) << HbFile();

  // Many links of one order, then one of a lower order: the sort moves the
  // new one first and leaves the others in the order they were made.
  for (int id = 6; id < 40; ++id) Stored(id, 3);
  ASSERT_EQ("OK\n", console->Request("CREATE_HEART_BEAT", Link(0, 1, 0, "c")));
  std::vector<int> expected = {40};
  for (int id : {0, 4, 5}) expected.push_back(id);
  for (int id = 6; id < 40; ++id) expected.push_back(id);
  EXPECT_EQ(expected, StoredIds());
}

TEST_F(ConsoleHeartBeat, RefusedLinksAddNothing) {
  std::unique_ptr<TestConsole> console = LoggedIn(0);
  Stored(0, 1);
  const std::string file = HbFile();
  struct Case {
    std::string body;
    std::string error;
  };
  const Case cases[] = {
      {Link(0, 1, 2, "q"), "连接类型设置错误!"},
      {Link(0, 1, 2, "q", "x", "", "ka", ""), "通讯密钥串不能为空!"},  // keys are checked first
      {Link(0, 1, 0, "q", "x", "", "", "kb"), "通讯密钥串不能为空!"},
      {Link(0, 1, 0, ""), "心跳连接名称不能为空!"},
      {"", "输入数据不合法！"},
      {"1\n2\n0\nname", "存储结构数据错误，无法从序列化数据中反序列化存储数据!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    EXPECT_EQ("ERROR\n" + c.error, console->Request("CREATE_HEART_BEAT", c.body));
    EXPECT_EQ("ERROR\n" + c.error, console->Request("SAVE_HEART_BEAT", c.body));
  }
  EXPECT_EQ(std::vector<int>({0}), StoredIds());
  EXPECT_EQ(std::vector<int>({0}), heartBeat.LinkIds());
  EXPECT_EQ(file, HbFile());
  EXPECT_EQ("ERROR\n无法查找到心跳连接从指定的心跳连接ID！", console->Request("SAVE_HEART_BEAT", Link(3, 1, 0, "x")));
}

TEST_F(ConsoleHeartBeat, ChangedLinkReconnectsOnlyForAddressOrSerialLine) {
  std::unique_ptr<TestConsole> console = LoggedIn(0);
  ASSERT_EQ("OK\n", console->Request("CREATE_HEART_BEAT", Link(0, 1, 0, "n", "192.0.2.2", "9600")));
  struct Case {
    std::string what;
    std::string body;
    int reconnects;  // in total after this change
  };
  const Case cases[] = {
      {"keys", Link(0, 1, 0, "n", "192.0.2.2", "9600", "k1", "k2"), 0},
      {"name", Link(0, 1, 0, "m", "192.0.2.2", "9600", "k1", "k2"), 0},
      {"order", Link(0, 5, 0, "m", "192.0.2.2", "9600", "k1", "k2"), 0},
      {"another type", Link(0, 5, 1, "m", "192.0.2.2", "9600", "k1", "k2"), 0},
      {"address", Link(0, 5, 0, "m", "192.0.2.3", "9600", "k1", "k2"), 1},
      {"serial line", Link(0, 5, 0, "m", "192.0.2.3", "19200", "k1", "k2"), 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ("OK\n", console->Request("SAVE_HEART_BEAT", c.body));
    EXPECT_EQ(c.reconnects, heartBeat.Reconnects(0));
    std::string expected = c.body;
    expected[expected.find('\n', expected.find('\n') + 1) + 1] = '0';  // the stored type stays TCP
    EXPECT_EQ(expected, store->GetHeartBeatLinkConfigById(0)->ToString());
    EXPECT_NE(std::string::npos, HbFile().find(expected));
  }
}

TEST_F(ConsoleHeartBeat, DeletionRemovesLinkAndRecordAndAnnounces) {
  std::unique_ptr<TestConsole> console = LoggedIn(0);
  ASSERT_EQ("OK\n", console->Request("CREATE_HEART_BEAT", Link(0, 1, 0, "a")));
  ASSERT_EQ("OK\n", console->Request("CREATE_HEART_BEAT", Link(0, 1, 0, "b")));
  EXPECT_EQ("ERROR\n传入的ID非法！", console->Request("DELETE_HEART_BEAT", "-1"));
  EXPECT_EQ("ERROR\n传入的ID非法！", console->Request("DELETE_HEART_BEAT", "x"));
  EXPECT_EQ(std::vector<int>({0, 1}), StoredIds());

  ConsoleFrame push;
  // An id no link has: nothing goes, the announcement still comes.
  EXPECT_EQ("OK\n", console->Request("DELETE_HEART_BEAT", "7"));
  ASSERT_TRUE(console->WaitPush("NOTIFY", &push));
  EXPECT_EQ("HB_CHANGED\t4294967295", push.body.substr(push.body.find('\n') + 1));
  EXPECT_EQ(std::vector<int>({0, 1}), StoredIds());

  EXPECT_EQ("OK\n", console->Request("DELETE_HEART_BEAT", "0"));
  ASSERT_TRUE(console->WaitPush("NOTIFY", &push));
  EXPECT_EQ("HB_CHANGED\t4294967295", push.body.substr(push.body.find('\n') + 1));
  EXPECT_EQ(1, heartBeat.destroyed.load());
  EXPECT_EQ(std::vector<int>({1}), StoredIds());
  EXPECT_EQ(std::vector<int>({1}), heartBeat.LinkIds());
  EXPECT_EQ(std::string::npos, HbFile().find(Link(0, 1, 0, "a")));
  // The record went with the link: whoever still holds the link reads it.
  const HeartBeatLinkConfig* kept = heartBeat.ReleasedRecord(0);
  ASSERT_NE(nullptr, kept);
  EXPECT_EQ("a", kept->GetName());

  // A pool that refuses the job: the link is released here and now.
  context.invokeJob = [](Oxbrindale::Velmora::Framework::IOXThreadPoolExec*) {
    throw new Exception("BLOCK_QUEUE", "队列已满，等待超时！");
  };
  EXPECT_EQ("OK\n", console->Request("DELETE_HEART_BEAT", "1"));
  EXPECT_EQ(2, heartBeat.destroyed.load());
  EXPECT_TRUE(StoredIds().empty());
  ASSERT_NE(nullptr, heartBeat.ReleasedRecord(1));
  EXPECT_EQ("b", heartBeat.ReleasedRecord(1)->GetName());
  ASSERT_TRUE(console->WaitPush("NOTIFY", &push));
  EXPECT_EQ("HB_CHANGED\t4294967295", push.body.substr(push.body.find('\n') + 1));
}

TEST_F(ConsoleHeartBeat, SettingsKeepHostRoleAndPairingAndFollowThePort) {
  std::unique_ptr<TestConsole> console = LoggedIn(0);
  HeartBeatGlobalConfig* settings = store->GetHeartBeatGlobalConfig();
  settings->SetHostRole(1);
  store->GetGC()->SetQuorumDiskId("0123456789abcdef0123456789abcdef");
  const std::string record = "15538\n5\n1000\n3000\n0\n192.0.2.9|192.0.2.10\n81";

  ASSERT_EQ("OK\n", console->Request("SAVE_GLOBAL_HEART_BEAT_CFG", record + "\n\nPAIR-1"));
  EXPECT_EQ("15538\n5\n1000\n3000\n1\n192.0.2.9|192.0.2.10\n81", settings->ToString());
  EXPECT_EQ("", store->GetGC()->GetQuorumDiskId());  // an empty line clears the quorum disk
  EXPECT_EQ("PAIR-1", store->GetGC()->GetConsoleText());
  EXPECT_EQ(0, heartBeat.portModified.load());
  EXPECT_EQ(0u, HbFile().find("15538\n5\n1000\n3000\n1\n"));

  const std::string moved = "15600\n5\n1000\n3000\n0\n192.0.2.9\n81";
  ASSERT_EQ("OK\n", console->Request("SAVE_GLOBAL_HEART_BEAT_CFG", moved + "\nfeedfeedfeedfeedfeedfeedfeedfeed\nPAIR-2"));
  EXPECT_EQ("PAIR-1", store->GetGC()->GetConsoleText());  // set once only
  EXPECT_EQ("feedfeedfeedfeedfeedfeedfeedfeed", store->GetGC()->GetQuorumDiskId());
  EXPECT_EQ(1u, settings->GetHostRole());
  EXPECT_EQ(1, heartBeat.portModified.load());
  ASSERT_EQ("OK\n", console->Request("SAVE_GLOBAL_HEART_BEAT_CFG", moved + "\nfeedfeedfeedfeedfeedfeedfeedfeed\n"));
  EXPECT_EQ(1, heartBeat.portModified.load());

  // The record alone: the parser's text, nothing changed.
  const std::string before = settings->ToString();
  EXPECT_EQ("ERROR\n存储结构数据错误，无法从序列化数据中反序列化存储数据!",
            console->Request("SAVE_GLOBAL_HEART_BEAT_CFG", "15700\n5\n1000\n3000\n0\n192.0.2.9\n81"));
  EXPECT_EQ("ERROR\n输入数据不合法！", console->Request("SAVE_GLOBAL_HEART_BEAT_CFG", ""));
  EXPECT_EQ(before, settings->ToString());
  EXPECT_EQ(1, heartBeat.portModified.load());
}

// Settings outside the records' ranges are refused, whole, before anything
// changes: a beat interval of 0 would make the link threads spin, a port
// of 65557 would be taken as port 21.
TEST_F(ConsoleHeartBeat, SettingsOutsideTheirRangesAreRefused) {
  std::unique_ptr<TestConsole> console = LoggedIn(0);
  HeartBeatGlobalConfig* settings = store->GetHeartBeatGlobalConfig();
  store->SaveHeartBeatConfig();
  // One line of an accepted record replaced (lines 1 to 7).
  auto record = [](int line, const std::string& text) {
    std::vector<std::string> lines = {"15600", "5", "1000", "3000", "0", "192.0.2.9", "81"};
    lines[line - 1] = text;
    std::string body;
    for (const std::string& l : lines) body += l + "\n";
    return body + "\nPAIR";
  };
  struct Case {
    int line;
    std::string text;
    std::string error;  // "" when accepted
  };
  const Case cases[] = {
      {1, "65557", "心跳端口必须在1～65535之间！"},
      {1, "0", "心跳端口必须在1～65535之间！"},
      {1, "4294967317", "第1行的数值“4294967317”超出范围（0～4294967295）！"},
      {2, "0", "最大失败次数必须在1～1000之间！"},
      {2, "65539", "第2行的数值“65539”超出范围（0～65535）！"},
      {3, "0", "心跳间隔（毫秒）必须在100～60000之间！"},
      {3, "60001", "心跳间隔（毫秒）必须在100～60000之间！"},
      {3, "abc", "第3行的数值“abc”不是十进制整数！"},
      {3, "", "第3行的数值“”不是十进制整数！"},
      {4, "99", "心跳应答超时（毫秒）必须在100～300000之间！"},
      {7, "0", "参考测试端口必须在1～65535之间！"},
      {7, "65617", "第7行的数值“65617”超出范围（0～65535）！"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.line) + ": " + c.text);
    const std::string before = settings->ToString();
    const std::string file = HbFile();
    EXPECT_EQ("ERROR\n" + c.error, console->Request("SAVE_GLOBAL_HEART_BEAT_CFG", record(c.line, c.text)));
    EXPECT_EQ(before, settings->ToString());
    EXPECT_EQ(file, HbFile());
    EXPECT_EQ(0, heartBeat.portModified.load());
  }
  // The ends of each range, and a host-role flag the command does not take.
  ASSERT_EQ("OK\n", console->Request("SAVE_GLOBAL_HEART_BEAT_CFG", "1\n1\n100\n100\n9\n192.0.2.9\n1\n\nPAIR"));
  EXPECT_EQ("1\n1\n100\n100\n0\n192.0.2.9\n1", settings->ToString());
  ASSERT_EQ("OK\n",
            console->Request("SAVE_GLOBAL_HEART_BEAT_CFG", "65535\n1000\n60000\n300000\n0\n192.0.2.9\n65535\n\n"));
  EXPECT_EQ("65535\n1000\n60000\n300000\n0\n192.0.2.9\n65535", settings->ToString());
}

TEST_F(ConsoleHeartBeat, SettingsNameTheQuorumDiskOnlyWhenPresent) {
  std::unique_ptr<TestConsole> console = LoggedIn(2);
  const std::string settings = "OK\n" + store->GetHeartBeatGlobalConfig()->ToString() + "\n";
  const std::string quorum = "0123456789abcdef0123456789abcdef";
  storage.disks = {"ffffffffffffffffffffffffffffffff", quorum};
  EXPECT_EQ(settings + "0", console->Request("GET_GLOBAL_HEART_BEAT_CFG", ""));
  store->GetGC()->SetQuorumDiskId("00000000000000000000000000000000");
  EXPECT_EQ(settings + "0", console->Request("GET_GLOBAL_HEART_BEAT_CFG", ""));
  store->GetGC()->SetQuorumDiskId(quorum);
  HardDiskEntity disk;
  disk.diskId = quorum;
  EXPECT_EQ(settings + "1\n" + disk.ToString(), console->Request("GET_GLOBAL_HEART_BEAT_CFG", ""));
  storage.listable = false;
  EXPECT_EQ(settings + "0", console->Request("GET_GLOBAL_HEART_BEAT_CFG", ""));
}

}  // namespace
}  // namespace tarrow_test
