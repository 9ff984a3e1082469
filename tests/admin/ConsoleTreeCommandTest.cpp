// Listing, creating, changing, deleting resource trees and taking them into
// and out of maintenance, from an administrator console.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include <memory>
#include <string>
#include <vector>

#include "admin/TreeConsoleSupport.h"
#include "config/ConfigManager.h"
#include "config/ResourceTreeConfig.h"
#include "framework/Convert.h"

namespace tarrow_test {
namespace {

using Oxbrindale::Velmora::Config::ConfigManager;
using Oxbrindale::Velmora::Config::ResourceTreeConfig;
using Oxbrindale::Velmora::Config::sResourceTreeRel;
using Oxbrindale::Velmora::Framework::Convert;

const char* const kNeedLink = "进行本操作必须维持至少一条心跳链路！";

class ConsoleTreeCommand : public TreeConsoleTest {
 protected:
  // The records of the tree file, as the store reads them back.
  std::vector<std::vector<std::string>> TreeFileRecords() {
    std::vector<std::vector<std::string>> records;
    std::string text = StoreFile("resource_tree_config.cfg");
    std::vector<std::string> lines = Convert::tokenize(text, "\n", false, "");
    for (size_t at = 0; at + 9 <= lines.size(); at += 9) {
      records.emplace_back(lines.begin() + at, lines.begin() + at + 9);
    }
    return records;
  }
};

TEST_F(ConsoleTreeCommand, CreateGivesIdsDropsRelationsAndForcesFlags) {
  // Relations in the body, hold and managed flags off, next in-tree id 7.
  EXPECT_EQ("OK\n1", Ask("CREATE_RESOURCE_TREE", "55\nweb\ntrue\ntrue\nfalse\nfalse\n{G-1}\n7\n4N0N0|"));
  EXPECT_EQ("OK\n2", Ask("CREATE_RESOURCE_TREE", "0\ndb\nfalse\nfalse\ntrue\nfalse\n{G-2}\n0\n"));

  auto records = TreeFileRecords();
  ASSERT_EQ(2u, records.size());
  EXPECT_EQ((std::vector<std::string>{"1", "web", "true", "true", "true", "true", "{G-1}", "0", ""}), records[0]);
  EXPECT_EQ((std::vector<std::string>{"2", "db", "false", "false", "false", "true", "{G-2}", "0", ""}), records[1]);
  ASSERT_EQ(2u, trees.Count());
  EXPECT_EQ(0, Tree("{G-1}")->GetStatu());
  EXPECT_TRUE(Tree("{G-1}")->GetConfig()->GetRelations().empty());

  // Both trees listed: status, record, resource count.
  std::string all = Ask("GET_ALL_RESOURCE_TREE", "");
  EXPECT_EQ("OK\n0\n1\nweb\ntrue\ntrue\ntrue\ntrue\n{G-1}\n0\n\n0\n0\n2\ndb\nfalse\nfalse\nfalse\ntrue\n{G-2}\n0\n\n0", all);
}

TEST_F(ConsoleTreeCommand, CreateRefusals) {
  ASSERT_EQ("OK\n1", CreateTree("web", "{G-1}"));
  struct Row {
    const char* what;
    std::string body;
    std::string reply;
  };
  const Row rows[] = {
      {"empty body", "", "ERROR\n输入数据不合法！"},
      {"record cut short", "0\nweb\ntrue", "ERROR\n存储结构数据错误，无法从序列化数据中反序列化存储数据!"},
      {"no name", "0\n\ntrue\ntrue\ntrue\ntrue\n{G-3}\n0\n", "ERROR\n你必须给资源树命名!"},
      {"duplicate GUID", "0\nother\ntrue\ntrue\ntrue\ntrue\n{G-1}\n0\n", "ERROR\n输入数据不合法！"},
      {"empty GUID", "0\nother\ntrue\ntrue\ntrue\ntrue\n\n0\n", "ERROR\n输入数据不合法！"},
  };
  const std::string file = StoreFile("resource_tree_config.cfg");
  for (const Row& row : rows) {
    EXPECT_EQ(row.reply, Ask("CREATE_RESOURCE_TREE", row.body)) << row.what;
  }
  EXPECT_EQ(file, StoreFile("resource_tree_config.cfg"));
  EXPECT_EQ(1u, trees.Count());
}

TEST_F(ConsoleTreeCommand, ModifyTakesFourLinesAndExactFlags) {
  ASSERT_EQ("OK\n1", CreateTree("web", "{G-1}", false));
  EXPECT_EQ("ERROR\n协议字符串错误！", Ask("MODIFY_RESOURCE_TREE", "{G-1}\nnew\ntrue"));
  EXPECT_EQ("ERROR\n协议字符串错误！", Ask("MODIFY_RESOURCE_TREE", "{G-1}\nnew\ntrue\ntrue\nx"));
  EXPECT_EQ("ERROR\n资源树名称不能为空！", Ask("MODIFY_RESOURCE_TREE", "{G-1}\n\ntrue\ntrue"));
  EXPECT_EQ("ERROR\n无法根据资源树ID查找到要修改的资源树！", Ask("MODIFY_RESOURCE_TREE", "{G-9}\nnew\ntrue\ntrue"));
  EXPECT_EQ("ERROR\n输入数据不合法！", Ask("MODIFY_RESOURCE_TREE", ""));

  EXPECT_EQ("OK\n", Ask("MODIFY_RESOURCE_TREE", "{G-1}\nnew\nTrue\ntrue"));
  auto records = TreeFileRecords();
  ASSERT_EQ(1u, records.size());
  // Name, take-back ("True" is not "true"), home; hold and managed stay.
  EXPECT_EQ((std::vector<std::string>{"1", "new", "false", "true", "false", "true", "{G-1}", "0", ""}), records[0]);
}

TEST_F(ConsoleTreeCommand, DeleteOnlyAnEmptyTreeAndItsOwnRecord) {
  ASSERT_EQ("OK\n1", CreateTree("web", "{G-1}"));
  ASSERT_EQ("OK\n2", CreateTree("db", "{G-2}"));
  ASSERT_EQ("OK\n", Ask("CREATE_RESOURCE", "{G-1}\n4\n999999\n" + SleepProgram("sleeper")));

  const std::string file = StoreFile("resource_tree_config.cfg");
  EXPECT_EQ("ERROR\n无法删除非空的资源树！", Ask("DELETE_RESOURCE_TREE", "{G-1}"));
  EXPECT_EQ(file, StoreFile("resource_tree_config.cfg"));
  EXPECT_EQ("ERROR\n无法根据资源树ID查找到要修改的资源树！", Ask("DELETE_RESOURCE_TREE", "{G-9}"));

  EXPECT_EQ("OK\n", Ask("DELETE_RESOURCE_TREE", "{G-2}"));
  EXPECT_EQ(nullptr, Tree("{G-2}"));
  auto records = TreeFileRecords();
  ASSERT_EQ(1u, records.size());
  EXPECT_EQ("{G-1}", records[0][6]);
  ASSERT_EQ(1u, ConfigManager::Instance()->GetResourceTreeConfig()->size());
  EXPECT_EQ("{G-1}", ConfigManager::Instance()->GetResourceTreeConfig()->front()->GetGuid());
  // The next tree still gets a fresh id.
  EXPECT_EQ("OK\n2", CreateTree("db2", "{G-3}"));
}

TEST_F(ConsoleTreeCommand, DeleteEndsOnlyATreeTheMachineGaveUp) {
  ASSERT_EQ("OK\n1", CreateTree("web", "{G-1}"));
  trees.keepOnRemove = true;
  EXPECT_EQ("ERROR\n无法根据资源树ID查找到要修改的资源树！", Ask("DELETE_RESOURCE_TREE", "{G-1}"));
  std::weak_ptr<Oxbrindale::Velmora::Resource::ResourceTree> tree = Tree("{G-1}");
  ASSERT_FALSE(tree.expired());
  EXPECT_EQ(0, tree.lock()->GetStatu());  // still alive, not ended
  EXPECT_EQ(1u, TreeFileRecords().size());
  trees.keepOnRemove = false;
  EXPECT_EQ("OK\n", Ask("DELETE_RESOURCE_TREE", "{G-1}"));
  EXPECT_TRUE(tree.expired());  // ended and destroyed
  EXPECT_TRUE(TreeFileRecords().empty());
}

// A delete whose save fails answers "ERROR" and leaves the tree running and
// listed, as the file still holds it; once the store can save, it goes.
TEST_F(ConsoleTreeCommand, DeleteWhoseSaveFailsKeepsTheTree) {
  ASSERT_EQ("OK\n1", CreateTree("web", "{G-1}"));
  const std::string listed = Ask("GET_ALL_RESOURCE_TREE", "");
  const std::string configs = SharedProgramDir() + "configs";
  // configs/ replaced by a plain file: nothing can be saved there.
  struct Restore {
    std::string configs;
    ~Restore() {
      if (access((configs + ".kept").c_str(), F_OK) != 0) return;
      std::remove(configs.c_str());
      std::rename((configs + ".kept").c_str(), configs.c_str());
    }
  } restore{configs};
  ASSERT_EQ(0, std::rename(configs.c_str(), (configs + ".kept").c_str()));
  FILE* file = std::fopen(configs.c_str(), "w");
  ASSERT_NE(nullptr, file);
  std::fclose(file);

  const std::string reply = Ask("DELETE_RESOURCE_TREE", "{G-1}");
  EXPECT_EQ("ERROR\n", reply.substr(0, 6));
  EXPECT_GT(reply.size(), 6u);
  std::shared_ptr<Oxbrindale::Velmora::Resource::ResourceTree> tree = Tree("{G-1}");
  ASSERT_NE(nullptr, tree);
  EXPECT_EQ(0, tree->GetStatu());  // not ended
  ASSERT_EQ(1u, ConfigManager::Instance()->GetResourceTreeConfig()->size());
  EXPECT_EQ(tree->GetConfig(), ConfigManager::Instance()->GetResourceTreeConfig()->front());
  EXPECT_EQ(listed, Ask("GET_ALL_RESOURCE_TREE", ""));
  tree.reset();

  ASSERT_EQ(0, std::remove(configs.c_str()));
  ASSERT_EQ(0, std::rename((configs + ".kept").c_str(), configs.c_str()));
  EXPECT_EQ("OK\n", Ask("DELETE_RESOURCE_TREE", "{G-1}"));
  EXPECT_EQ(nullptr, Tree("{G-1}"));
  EXPECT_TRUE(TreeFileRecords().empty());
}

TEST_F(ConsoleTreeCommand, StartGoingOnTheHomeNodeAndTheOther) {
  ASSERT_EQ("OK\n1", CreateTree("home", "{G-1}", true));
  ASSERT_EQ("OK\n2", CreateTree("away", "{G-2}", false));
  ASSERT_EQ("OK\n", Ask("STOP_RESOURCE_TREE_GOING", "{G-1}"));
  ASSERT_EQ("OK\n", Ask("STOP_RESOURCE_TREE_GOING", "{G-2}"));

  EXPECT_EQ("OK\n", Ask("START_RESOURCE_TREE_GOING", "{G-1}"));
  EXPECT_EQ(1, trees.startGoing.load());
  EXPECT_TRUE(Tree("{G-1}")->GetConfig()->GetGoing());
  EXPECT_TRUE(Tree("{G-1}")->GetConfig()->GetRunning());

  EXPECT_EQ("OK\n", Ask("START_RESOURCE_TREE_GOING", "{G-2}"));
  EXPECT_EQ(1, trees.startGoing.load());  // only maintenance cleared
  EXPECT_TRUE(Tree("{G-2}")->GetConfig()->GetGoing());
  EXPECT_FALSE(Tree("{G-2}")->GetConfig()->GetRunning());
  auto records = TreeFileRecords();
  ASSERT_EQ(2u, records.size());
  EXPECT_EQ("true", records[1][5]);

  auto raised = alarms.Raised();
  ASSERT_EQ(4u, raised.size());
  EXPECT_EQ(8, raised[2].first);
  EXPECT_EQ("管理终端用户，IP:127.0.0.1 手动启动资源树\"home\"并取消维护状态！", raised[2].second);
  EXPECT_EQ("管理终端用户，IP:127.0.0.1 手动启动资源树\"away\"并取消维护状态！", raised[3].second);
  EXPECT_EQ("ERROR\n根据指定的树ID无法查找到资源树！", Ask("START_RESOURCE_TREE_GOING", "{G-9}"));
  EXPECT_EQ("ERROR\n输入数据不合法！", Ask("START_RESOURCE_TREE_GOING", ""));
}

TEST_F(ConsoleTreeCommand, StopGoingTwiceSavesOnceAndAlarmsBothTimes) {
  ASSERT_EQ("OK\n1", CreateTree("web", "{G-1}", true));
  auto tree = Tree("{G-1}");
  tree->StartTree();
  ASSERT_TRUE(Eventually([&] { return tree->GetStatu() == 2; }));

  EXPECT_EQ("OK\n", Ask("STOP_RESOURCE_TREE_GOING", "{G-1}"));
  EXPECT_TRUE(Eventually([&] { return tree->GetStatu() == 0; }));
  EXPECT_EQ("false", TreeFileRecords()[0][5]);

  // Already in maintenance: the file is not written again (a folder in its
  // place would make a save fail), the alarm still comes.
  const std::string file = StoreFile("resource_tree_config.cfg");
  ASSERT_EQ(0, ::rename((SharedProgramDir() + "configs/resource_tree_config.cfg").c_str(),
                        (SharedProgramDir() + "configs/kept.cfg").c_str()));
  ASSERT_EQ(0, ::mkdir((SharedProgramDir() + "configs/resource_tree_config.cfg").c_str(), 0755));
  EXPECT_EQ("OK\n", Ask("STOP_RESOURCE_TREE_GOING", "{G-1}"));
  ::rmdir((SharedProgramDir() + "configs/resource_tree_config.cfg").c_str());
  ::rename((SharedProgramDir() + "configs/kept.cfg").c_str(),
           (SharedProgramDir() + "configs/resource_tree_config.cfg").c_str());
  EXPECT_EQ(file, StoreFile("resource_tree_config.cfg"));

  auto raised = alarms.Raised();
  ASSERT_EQ(2u, raised.size());
  for (const auto& alarm : raised) {
    EXPECT_EQ(9, alarm.first);
    EXPECT_EQ("管理终端用户，IP:127.0.0.1 手动停止资源树\"web\"并置于维护状态！", alarm.second);
  }
}

TEST_F(ConsoleTreeCommand, WithoutALinkOnlyMaintenanceCommandsWork) {
  ASSERT_EQ("OK\n1", CreateTree("web", "{G-1}"));
  peer.link = false;
  EXPECT_EQ("ERROR\n" + std::string(kNeedLink), CreateTree("db", "{G-2}"));
  EXPECT_EQ("ERROR\n" + std::string(kNeedLink), Ask("MODIFY_RESOURCE_TREE", "{G-1}\nnew\ntrue\ntrue"));
  EXPECT_EQ("ERROR\n" + std::string(kNeedLink), Ask("DELETE_RESOURCE_TREE", "{G-1}"));
  EXPECT_EQ("OK\n", Ask("STOP_RESOURCE_TREE_GOING", "{G-1}"));
  EXPECT_EQ("OK\n", Ask("START_RESOURCE_TREE_GOING", "{G-1}"));
  EXPECT_EQ(1u, trees.Count());
}

TEST_F(ConsoleTreeCommand, AFailedSaveAnswersTheStoresMessage) {
  ASSERT_EQ("OK\n1", CreateTree("web", "{G-1}"));
  const std::string path = SharedProgramDir() + "configs/resource_tree_config.cfg";
  ASSERT_EQ(0, ::unlink(path.c_str()));
  ASSERT_EQ(0, ::mkdir(path.c_str(), 0755));
  std::string reply = Ask("MODIFY_RESOURCE_TREE", "{G-1}\nnew\ntrue\ntrue");
  std::string created = CreateTree("db", "{G-2}");
  ::rmdir(path.c_str());
  EXPECT_EQ(0u, reply.find("ERROR\n")) << reply;
  EXPECT_GT(reply.size(), 6u);
  EXPECT_EQ("web", Tree("{G-1}")->GetConfig()->GetName());
  EXPECT_EQ(0u, created.find("ERROR\n")) << created;
  EXPECT_EQ(nullptr, Tree("{G-2}"));
  EXPECT_EQ(1u, ConfigManager::Instance()->GetResourceTreeConfig()->size());
}

}  // namespace
}  // namespace tarrow_test
