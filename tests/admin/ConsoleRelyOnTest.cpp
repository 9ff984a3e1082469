// Dependencies between the resources of a tree, added and removed from an
// administrator console.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "admin/TreeConsoleSupport.h"
#include "config/ResourceTreeConfig.h"

namespace tarrow_test {
namespace {

using Oxbrindale::Velmora::Config::sResourceTreeRel;

class ConsoleRelyOn : public TreeConsoleTest {
 protected:
  // A tree {G-1} with four programs, in-tree ids 0 to 3, relying on nothing.
  void SetUp() override {
    TreeConsoleTest::SetUp();
    ASSERT_EQ("OK\n1", CreateTree("web", "{G-1}"));
    for (int n = 0; n < 4; ++n) {
      ASSERT_EQ("OK\n", Ask("CREATE_RESOURCE", "{G-1}\n4\n999999\n" + SleepProgram("p" + std::to_string(n))));
    }
  }

  std::vector<uint32_t> RelyOn(unsigned inTreeId) {
    for (const sResourceTreeRel& relation : Tree("{G-1}")->GetConfig()->GetRelations()) {
      if (relation.inTreeId == inTreeId) return relation.relyOn;
    }
    return {999};
  }
};

TEST_F(ConsoleRelyOn, AddRefusesSelfLoopsDuplicatesAndBadBodies) {
  ASSERT_EQ("OK\n", Ask("ADD_RELY_ON", "{G-1}\n0\n1"));
  ASSERT_EQ("OK\n", Ask("ADD_RELY_ON", "{G-1}\n1\n2"));
  ASSERT_EQ("OK\n", Ask("ADD_RELY_ON", "{G-1}\n2\n3"));
  EXPECT_EQ(std::vector<uint32_t>{1}, RelyOn(0));
  EXPECT_EQ(std::vector<uint32_t>{3}, RelyOn(2));

  struct Row {
    const char* what;
    std::string body;
    std::string reply;
  };
  const Row rows[] = {
      {"self, before the tree lookup", "{G-9}\n2\n2", "无法让自己依赖自己！"},
      {"direct loop", "{G-1}\n1\n0", "无法添加依赖关系，会造成存在循环依赖的错误！"},
      {"loop through three", "{G-1}\n3\n0", "无法添加依赖关系，会造成存在循环依赖的错误！"},
      {"duplicate", "{G-1}\n0\n1", "无法添加依赖关系，已经存在这个依赖关系了！"},
      {"four lines", "{G-1}\n0\n2\n", "协议字符串错误!"},
      {"two lines", "{G-1}\n0", "协议字符串错误!"},
      {"unknown resource", "{G-1}\n0\n7", "无法查找到要修改的资源在资源树中！"},
      {"unknown tree", "{G-9}\n0\n2", "无法根据资源树ID查找到要修改的资源树！"},
      {"no digits", "{G-1}\nx\n2", "输入数据不合法！"},
      {"empty body", "", "输入数据不合法！"},
  };
  const std::string file = StoreFile("resource_tree_config.cfg");
  for (const Row& row : rows) EXPECT_EQ("ERROR\n" + row.reply, Ask("ADD_RELY_ON", row.body)) << row.what;
  EXPECT_EQ(file, StoreFile("resource_tree_config.cfg"));

  ASSERT_EQ("OK\n", Ask("ADD_RELY_ON", "{G-1}\n0\n3"));
  EXPECT_EQ((std::vector<uint32_t>{1, 3}), RelyOn(0));
}

TEST_F(ConsoleRelyOn, RemoveOfAnAbsentDependencyRewritesTheFile) {
  ASSERT_EQ("OK\n", Ask("ADD_RELY_ON", "{G-1}\n0\n1"));
  const std::string path = SharedProgramDir() + "configs/resource_tree_config.cfg";
  const std::string file = StoreFile("resource_tree_config.cfg");
  ASSERT_EQ(0, ::unlink(path.c_str()));
  EXPECT_EQ("OK\n", Ask("REMOVE_RELY_ON", "{G-1}\n0\n2"));
  EXPECT_EQ(file, StoreFile("resource_tree_config.cfg"));

  EXPECT_EQ("OK\n", Ask("REMOVE_RELY_ON", "{G-1}\n0\n1"));
  EXPECT_TRUE(RelyOn(0).empty());
  EXPECT_EQ("ERROR\n无法查找到要修改的资源在资源树中！", Ask("REMOVE_RELY_ON", "{G-1}\n0\n9"));
  EXPECT_EQ("ERROR\n协议字符串错误!", Ask("REMOVE_RELY_ON", "{G-1}\n0\n1\nx"));
  EXPECT_EQ("ERROR\n无法根据资源树ID查找到要修改的资源树！", Ask("REMOVE_RELY_ON", "{G-9}\n0\n1"));
}

TEST_F(ConsoleRelyOn, TreeGuardComesBeforeAnyChange) {
  peer.treeResult = Oxbrindale::Velmora::Core::IAdminPeer::REQ_REFUSED;
  EXPECT_EQ("ERROR\n协商对机状态失败，对机可能正在进行操作，无法操作资源！", Ask("ADD_RELY_ON", "{G-1}\n0\n1"));
  EXPECT_EQ("ERROR\n协商对机状态失败，对机可能正在进行操作，无法操作资源！", Ask("REMOVE_RELY_ON", "{G-1}\n0\n1"));
  EXPECT_TRUE(RelyOn(0).empty());
}

}  // namespace
}  // namespace tarrow_test
