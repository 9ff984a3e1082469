// Creating, changing and deleting the resources of a tree from an
// administrator console, on real trees of harmless resources.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "admin/TreeConsoleSupport.h"
#include "config/ConfigManager.h"
#include "config/DiskVolumeResConfig.h"
#include "config/ProgramResConfig.h"
#include "config/ResourceTreeConfig.h"
#include "framework/Convert.h"
#include "resource/IResource.h"

namespace tarrow_test {
namespace {

using Oxbrindale::Velmora::Config::ConfigListEdit;
using Oxbrindale::Velmora::Config::ConfigManager;
using Oxbrindale::Velmora::Config::DiskVolumeResConfig;
using Oxbrindale::Velmora::Config::ProgramResConfig;
using Oxbrindale::Velmora::Config::sResourceTreeRel;
using Oxbrindale::Velmora::Framework::Convert;
using Oxbrindale::Velmora::Resource::IResource;

const char* const kResourceMissing = "无法修改，因为不存在该资源！";

class ConsoleResourceCommand : public TreeConsoleTest {
 protected:
  void SetUp() override {
    TreeConsoleTest::SetUp();
    ASSERT_EQ("OK\n1", CreateTree("web", "{G-1}"));
  }

  std::vector<sResourceTreeRel> Relations(const std::string& guid = "{G-1}") {
    return Tree(guid)->GetConfig()->GetRelations();
  }

  // Line n (1 = first) of record number index of a kind's file.
  static std::string FileLine(const std::string& file, size_t recordLines, size_t index, size_t n) {
    std::string text = StoreFile(file);
    std::vector<std::string> lines = Convert::tokenize(text, "\n", false, "");
    const size_t at = index * recordLines + n - 1;
    return at < lines.size() ? lines[at] : "<missing>";
  }

  // The pid of the program resource with that configuration id once it runs.
  int RunningPid(unsigned id) {
    ProgramResConfig* record = ConfigManager::Instance()->GetProgramResConfigById(id);
    int pid = 0;
    Eventually([&] {
      pid = static_cast<int>(record->GetProcessId());
      return pid > 0 && ::kill(pid, 0) == 0;
    });
    return pid;
  }

  void StopTree() {
    auto tree = Tree("{G-1}");
    tree->StopTree(true);
    EXPECT_TRUE(Eventually([&] { return tree->GetStatu() == 0; }));
  }
};

TEST_F(ConsoleResourceCommand, CreateOfEachKindNumbersAndForcesTheCheckFlag) {
  struct Row {
    const char* what;
    int kind;
    std::vector<std::string> own;
    const char* file;
    size_t recordLines;
  };
  const Row rows[] = {
      {"service", 3, {"sshd"}, "service_config.cfg", 15},
      {"program", 4, {"0|0", "/bin/sleep", "1000"}, "program_config.cfg", 17},
      {"custom", 5, {"/bin/true", "", "/bin/true", "", "0"}, "custom_config.cfg", 19},
      {"file share", 6, {"a", "b", "c|d"}, "file_share_config.cfg", 17},
  };
  unsigned inTree = 0;
  for (const Row& row : rows) {
    for (unsigned n = 0; n < 2; ++n) {
      const std::string body = "{G-1}\n" + std::to_string(row.kind) + "\n999999\n" +
                               ResourceLines(std::string(row.what) + std::to_string(n), row.own, 0);
      ASSERT_EQ("OK\n", Ask("CREATE_RESOURCE", body)) << row.what;
      // Configuration ids count per kind from 0; the check flag is on.
      EXPECT_EQ(std::to_string(n), FileLine(row.file, row.recordLines, n, 1)) << row.what;
      EXPECT_EQ("1", FileLine(row.file, row.recordLines, n, 14)) << row.what;
      auto relations = Relations();
      ASSERT_EQ(inTree + 1, relations.size());
      EXPECT_EQ(static_cast<unsigned>(row.kind), relations.back().kind);
      EXPECT_EQ(n, relations.back().configId);
      EXPECT_EQ(inTree, relations.back().inTreeId);  // in-tree ids count per tree
      EXPECT_TRUE(relations.back().relyOn.empty());
      ++inTree;
    }
  }
  EXPECT_EQ(inTree, Tree("{G-1}")->GetConfig()->GetNextInTreeId());
  // Program and custom resources run in the tree.
  EXPECT_EQ(4, Tree("{G-1}")->GetResourceCount());
  // A stored-only kind is changed without a running resource.
  ASSERT_EQ("OK\n", Ask("MODIFY_RESOURCE", "{G-1}\n3\n" + ResourceLines("renamed", {"crond"})));
  EXPECT_EQ("renamed", FileLine("service_config.cfg", 15, 0, 2));
  EXPECT_EQ("crond", FileLine("service_config.cfg", 15, 0, 15));
}

TEST_F(ConsoleResourceCommand, RefusalsChangeNothing) {
  ASSERT_EQ("OK\n", Ask("CREATE_RESOURCE", "{G-1}\n4\n999999\n" + SleepProgram("first")));
  struct Row {
    const char* what;
    std::string command;
    std::string body;
    std::string reply;
  };
  const Row rows[] = {
      {"kind 7", "CREATE_RESOURCE", "{G-1}\n7\n999999\n" + SleepProgram("x"), "无法识别的资源类型，创建资源失败！"},
      {"modify kind 7", "MODIFY_RESOURCE", "{G-1}\n7\n" + SleepProgram("x"), "无法识别的资源类型，修改资源失败！"},
      {"missing rely-on", "CREATE_RESOURCE", "{G-1}\n4\n5\n" + SleepProgram("x"), "指定了依赖节点，但是却无法检索到！"},
      {"unknown tree", "CREATE_RESOURCE", "{G-9}\n4\n999999\n" + SleepProgram("x"), "根据指定的树ID无法查找到资源树！"},
      {"record cut short", "CREATE_RESOURCE", "{G-1}\n4\n999999\n0\nx",
       "存储结构数据错误，无法从序列化数据中反序列化存储数据!"},
      {"bad record", "CREATE_RESOURCE", "{G-1}\n4\n999999\n" + ResourceLines("", {"0|0", "/bin/sleep", "1"}),
       "资源名称不能为空！"},
      {"alias not a host name", "CREATE_RESOURCE", "{G-1}\n2\n999999\n" + ResourceLines("a", {"db_1", "", "0"}),
       "计算机别名只能由字母、数字、“-”和“.”组成！"},
      {"alias not ASCII", "CREATE_RESOURCE", "{G-1}\n2\n999999\n" + ResourceLines("a", {"主机", "", "0"}),
       "计算机别名只能由字母、数字、“-”和“.”组成！"},
      {"create, two lines", "CREATE_RESOURCE", "{G-1}\n4", "输入数据不合法！"},
      {"create, kind without digits", "CREATE_RESOURCE", "{G-1}\nx\n999999\n" + SleepProgram("x"),
       "输入数据不合法！"},
      {"modify, two lines", "MODIFY_RESOURCE", "{G-1}\n4", "输入数据不合法！"},
      {"modify, unknown id", "MODIFY_RESOURCE", "{G-1}\n4\n" + ResourceLines("x", {"0|0", "/bin/sleep", "1"}).replace(0, 1, "9"),
       kResourceMissing},
      {"delete, one line", "DELETE_RESOURCE", "{G-1}", "输入数据不合法！"},
      {"delete, id without digits", "DELETE_RESOURCE", "{G-1}\nx", "输入数据不合法！"},
      {"delete, unknown id", "DELETE_RESOURCE", "{G-1}\n9", "无法删除，因为不存在该资源！"},
      {"check, three lines", "SET_RESOURCE_CHECK", "{G-1}\n4\n0", "输入数据不合法！"},
      {"reset, one line", "RETSET_RESOURCE_FSC", "{G-1}", "协议错误。"},
      {"empty body", "DELETE_RESOURCE", "", "输入数据不合法！"},
  };
  const std::string program = StoreFile("program_config.cfg");
  const std::string treeFile = StoreFile("resource_tree_config.cfg");
  for (const Row& row : rows) {
    EXPECT_EQ("ERROR\n" + row.reply, Ask(row.command, row.body)) << row.what;
  }
  EXPECT_EQ(program, StoreFile("program_config.cfg"));
  EXPECT_EQ(treeFile, StoreFile("resource_tree_config.cfg"));
  EXPECT_EQ("", StoreFile("alias_config.cfg"));
  EXPECT_EQ(1u, Relations().size());
}

TEST_F(ConsoleResourceCommand, AliasWritesHostsReliesOnItsAddressAndLeavesOnDelete) {
  ASSERT_EQ("OK\n", Ask("CREATE_RESOURCE", "{G-1}\n5\n999999\n" +
                                               ResourceLines("c", {"/bin/true", "", "/bin/true", "", "0"})));
  ASSERT_EQ("OK\n", Ask("CREATE_RESOURCE", "{G-1}\n1\n999999\n" +
                                               ResourceLines("ip", {"192.0.2.10", "255.255.255.0", "tarrowt0", ""})));
  // Line 3 names the custom resource; the alias relies on the address anyway.
  ASSERT_EQ("OK\n", Ask("CREATE_RESOURCE", "{G-1}\n2\n0\n" + ResourceLines("alias", {"dbhost", "", "0"})));
  EXPECT_NE(std::string::npos, Hosts().find("192.0.2.10\tdbhost")) << Hosts();
  auto relations = Relations();
  ASSERT_EQ(3u, relations.size());
  EXPECT_EQ(std::vector<uint32_t>{1}, relations[2].relyOn);

  // The address cannot go while the alias relies on it.
  EXPECT_EQ("ERROR\n存在依赖于你要删除资源的资源，请先删除其依赖关系再删除这个资源！", Ask("DELETE_RESOURCE", "{G-1}\n1"));
  EXPECT_EQ("OK\n", Ask("DELETE_RESOURCE", "{G-1}\n2"));
  EXPECT_EQ(std::string::npos, Hosts().find("dbhost")) << Hosts();
  EXPECT_EQ("", StoreFile("alias_config.cfg"));
  EXPECT_EQ("OK\n", Ask("DELETE_RESOURCE", "{G-1}\n1"));
  EXPECT_EQ(1u, Relations().size());
}

// An alias adds and takes back its own name only: the names the file gives
// the address otherwise stay, and an alias "localhost" leaves the loopback
// line alone.
TEST_F(ConsoleResourceCommand, AliasKeepsTheOtherNamesOfHosts) {
  // On a machine named so, the alias would count as running and its stop
  // would be asked for.
  char self[256] = {0};
  ::gethostname(self, sizeof(self) - 1);
  if (std::string(self) == "localhost" || std::string(self) == "dbhost") GTEST_SKIP() << "host name " << self;
  const std::string before = "127.0.0.1\tlocalhost\n192.0.2.10 db.example db\n";
  root.Write("etc/hosts", before);
  ASSERT_EQ("OK\n", Ask("CREATE_RESOURCE", "{G-1}\n1\n999999\n" +
                                               ResourceLines("ip", {"192.0.2.10", "255.255.255.0", "tarrowt0", ""})));
  ASSERT_EQ("OK\n", Ask("CREATE_RESOURCE", "{G-1}\n2\n999999\n" + ResourceLines("alias", {"localhost", "", "0"})));
  EXPECT_EQ(before + "192.0.2.10\tlocalhost\n", Hosts());
  // A new name: the old one goes, the new one comes.
  ASSERT_EQ("OK\n", Ask("MODIFY_RESOURCE", "{G-1}\n2\n" + ResourceLines("alias", {"dbhost", "", "0"})));
  EXPECT_EQ(before + "192.0.2.10\tdbhost\n", Hosts());
  ASSERT_EQ("OK\n", Ask("MODIFY_RESOURCE", "{G-1}\n2\n" + ResourceLines("alias", {"localhost", "", "0"})));
  EXPECT_EQ(before + "192.0.2.10\tlocalhost\n", Hosts());
  EXPECT_EQ("OK\n", Ask("DELETE_RESOURCE", "{G-1}\n1"));
  EXPECT_EQ(before, Hosts());
}

TEST_F(ConsoleResourceCommand, DeleteWithDependantsAfterRemovingTheDependency) {
  ASSERT_EQ("OK\n", Ask("CREATE_RESOURCE", "{G-1}\n4\n999999\n" + SleepProgram("base")));
  ASSERT_EQ("OK\n", Ask("CREATE_RESOURCE", "{G-1}\n4\n0\n" + SleepProgram("top")));
  EXPECT_EQ(std::vector<uint32_t>{0}, Relations()[1].relyOn);
  EXPECT_EQ("ERROR\n存在依赖于你要删除资源的资源，请先删除其依赖关系再删除这个资源！", Ask("DELETE_RESOURCE", "{G-1}\n0"));
  EXPECT_EQ("OK\n", Ask("REMOVE_RELY_ON", "{G-1}\n1\n0"));
  EXPECT_EQ("OK\n", Ask("DELETE_RESOURCE", "{G-1}\n0"));
  auto relations = Relations();
  ASSERT_EQ(1u, relations.size());
  EXPECT_EQ(1u, relations[0].inTreeId);
  EXPECT_EQ(nullptr, ConfigManager::Instance()->GetProgramResConfigById(0));
  EXPECT_NE(nullptr, ConfigManager::Instance()->GetProgramResConfigById(1));
  EXPECT_EQ(1, Tree("{G-1}")->GetResourceCount());
}

TEST_F(ConsoleResourceCommand, DiskVolumeDeleteReleasesItsReservation) {
  // Records with a reservation, put in place as a daemon would have loaded
  // them (creating one would probe a real disk).
  auto tree = Tree("{G-1}");
  {
    ConfigListEdit<DiskVolumeResConfig> edit = ConfigManager::Instance()->EditDiskVolumeConfig();
    for (int method = 1; method <= 2; ++method) {
      std::string text = ResourceLines("disk" + std::to_string(method),
                                       {"disk-" + std::to_string(method), "", "", std::to_string(method), "/mnt/d"});
      std::vector<std::string> lines = Convert::tokenize(text, "\n", false, "");
      lines[0] = std::to_string(method);
      unsigned index = 0;
      edit->push_back(new DiskVolumeResConfig(&lines, &index));
    }
    edit.Save();
  }
  std::vector<sResourceTreeRel> relations(2);
  for (unsigned n = 0; n < 2; ++n) {
    relations[n].kind = 0;
    relations[n].configId = n + 1;
    relations[n].inTreeId = n;
  }
  tree->GetConfig()->SetRelations(relations);
  tree->GetConfig()->SetNextInTreeId(2);

  EXPECT_EQ("OK\n", Ask("DELETE_RESOURCE", "{G-1}\n0"));
  EXPECT_EQ("OK\n", Ask("DELETE_RESOURCE", "{G-1}\n1"));
  std::vector<std::pair<std::string, int>> expected = {{"disk-1", 5}, {"disk-2", 6}};
  EXPECT_EQ(expected, diskLocks.Released());
  EXPECT_TRUE(ConfigManager::Instance()->GetDiskVolumeConfig()->empty());
  EXPECT_TRUE(Relations().empty());
}

TEST_F(ConsoleResourceCommand, KeyChangeRestartsTheProgramOtherChangesDoNot) {
  ASSERT_EQ("OK\n", Ask("CREATE_RESOURCE", "{G-1}\n4\n999999\n" + SleepProgram("sleeper")));
  auto tree = Tree("{G-1}");
  tree->StartTree();
  ASSERT_TRUE(Eventually([&] { return tree->GetStatu() == 2; }));
  const int first = RunningPid(0);
  ASSERT_GT(first, 0);

  // A new name only: the same process goes on.
  ASSERT_EQ("OK\n", Ask("MODIFY_RESOURCE", "{G-1}\n4\n" + SleepProgram("renamed")));
  EXPECT_EQ("renamed", ConfigManager::Instance()->GetProgramResConfigById(0)->GetName());
  EXPECT_EQ(first, static_cast<int>(ConfigManager::Instance()->GetProgramResConfigById(0)->GetProcessId()));
  EXPECT_EQ(0, ::kill(first, 0));

  // Another program path: stopped and brought up again.
  ASSERT_EQ("OK\n", Ask("MODIFY_RESOURCE", "{G-1}\n4\n" + SleepProgram("renamed", "/usr/bin/sleep")));
  int second = 0;
  EXPECT_TRUE(Eventually([&] {
    second = RunningPid(0);
    return second > 0 && second != first;
  }));
  EXPECT_EQ("/usr/bin/sleep", ConfigManager::Instance()->GetProgramResConfigById(0)->GetProgramPath());
  StopTree();

  // In a stopped tree the changed resource stays idle.
  ASSERT_EQ("OK\n", Ask("MODIFY_RESOURCE", "{G-1}\n4\n" + SleepProgram("renamed", "/bin/sleep")));
  tree->Lock();
  IResource* resource = tree->FindResourceById(4, 0);
  tree->UnLock();
  ASSERT_NE(nullptr, resource);
  EXPECT_EQ(Oxbrindale::Velmora::Resource::RES_OP_NONE, resource->GetMode());
  EXPECT_EQ(0u, ConfigManager::Instance()->GetProgramResConfigById(0)->GetProcessId());
}

TEST_F(ConsoleResourceCommand, ModifyThroughAnotherTreeIsRefused) {
  ASSERT_EQ("OK\n2", CreateTree("db", "{G-2}"));
  ASSERT_EQ("OK\n", Ask("CREATE_RESOURCE", "{G-1}\n4\n999999\n" + SleepProgram("mine")));
  ASSERT_EQ("OK\n", Ask("CREATE_RESOURCE", "{G-2}\n4\n999999\n" + SleepProgram("theirs")));
  // Configuration id 1 is the program of the other tree.
  std::string body = SleepProgram("taken");
  body.replace(0, 1, "1");
  EXPECT_EQ("ERROR\n" + std::string(kResourceMissing), Ask("MODIFY_RESOURCE", "{G-1}\n4\n" + body));
  EXPECT_EQ("theirs", ConfigManager::Instance()->GetProgramResConfigById(1)->GetName());
  EXPECT_EQ("OK\n", Ask("MODIFY_RESOURCE", "{G-2}\n4\n" + body));
  EXPECT_EQ("taken", ConfigManager::Instance()->GetProgramResConfigById(1)->GetName());
}

TEST_F(ConsoleResourceCommand, AFailedTreeSaveLeavesStoreAndFilesAsBefore) {
  ASSERT_EQ("OK\n", Ask("CREATE_RESOURCE", "{G-1}\n4\n999999\n" + SleepProgram("first")));
  const std::string program = StoreFile("program_config.cfg");
  const std::string treeFile = StoreFile("resource_tree_config.cfg");
  const std::string path = SharedProgramDir() + "configs/resource_tree_config.cfg";
  const std::string kept = SharedProgramDir() + "configs/kept.cfg";
  ASSERT_EQ(0, ::rename(path.c_str(), kept.c_str()));
  ASSERT_EQ(0, ::mkdir(path.c_str(), 0755));  // the tree file cannot be written
  const std::string reply = Ask("CREATE_RESOURCE", "{G-1}\n4\n0\n" + SleepProgram("second"));
  ::rmdir(path.c_str());
  ASSERT_EQ(0, ::rename(kept.c_str(), path.c_str()));

  EXPECT_EQ(0u, reply.find("ERROR\n")) << reply;
  EXPECT_EQ(program, StoreFile("program_config.cfg"));
  EXPECT_EQ(treeFile, StoreFile("resource_tree_config.cfg"));
  EXPECT_EQ(1u, ConfigManager::Instance()->GetProgramConfig()->size());
  EXPECT_EQ(1u, Relations().size());
  EXPECT_EQ(1u, Tree("{G-1}")->GetConfig()->GetNextInTreeId());
  EXPECT_EQ(1, Tree("{G-1}")->GetResourceCount());
  // The next resource gets the ids the failed one would have had.
  ASSERT_EQ("OK\n", Ask("CREATE_RESOURCE", "{G-1}\n4\n0\n" + SleepProgram("second")));
  EXPECT_EQ(1u, Relations().back().inTreeId);
  EXPECT_EQ(1u, Relations().back().configId);
}

TEST_F(ConsoleResourceCommand, CheckSwitchNeedsNoLinkAndResetClearsCannotStart) {
  ASSERT_EQ("OK\n", Ask("CREATE_RESOURCE", "{G-1}\n4\n999999\n" + SleepProgram("p")));
  peer.link = false;
  EXPECT_EQ("OK\n", Ask("SET_RESOURCE_CHECK", "{G-1}\n4\n0\nfalse"));
  EXPECT_EQ("0", FileLine("program_config.cfg", 17, 0, 14));
  EXPECT_EQ("OK\n", Ask("SET_RESOURCE_CHECK", "{G-1}\n4\n0\ntrue"));
  EXPECT_EQ("1", FileLine("program_config.cfg", 17, 0, 14));

  peer.link = true;
  auto tree = Tree("{G-1}");
  tree->Lock();
  IResource* resource = tree->FindResourceById(4, 0);
  resource->SetCannotStart(true);
  tree->UnLock();
  EXPECT_EQ("OK\n", Ask("RETSET_RESOURCE_FSC", "{G-1}\n0"));
  EXPECT_FALSE(resource->IsCannotStart());
}

}  // namespace
}  // namespace tarrow_test
