// The tree's status machine and its requests, on trees without a thread.

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <utility>

#include "resource/ResourceTestSupport.h"
#include "support/Thrown.h"

namespace resource_test {
namespace {

using Oxbrindale::Velmora::Resource::RES_TREE_OP_FAIL;
using Oxbrindale::Velmora::Resource::RES_TREE_OP_MAKESURE_STOP;
using Oxbrindale::Velmora::Resource::RES_TREE_OP_REST;
using Oxbrindale::Velmora::Resource::RES_TREE_OP_SELFKILL;
using Oxbrindale::Velmora::Resource::RES_TREE_OP_START;
using Oxbrindale::Velmora::Resource::RES_TREE_OP_STOP;
using tarrow_test::Thrown;

TEST(ResourceTreeStatus, EveryChangeIsAllowedOrRefusedAsTheTableSays) {
  // new status -> the statuses it may be entered from
  const std::set<std::pair<int, int>> legal = {
      {-1, 0}, {0, 0}, {1, 0}, {3, 0},          // not running
      {0, 1}, {4, 1},                           // starting
      {1, 2}, {2, 2},                           // running
      {0, 3}, {1, 3}, {2, 3}, {4, 3},           // stopping
      {2, 4}, {3, 4}, {4, 4},                   // abnormal
      {0, 5}, {2, 5}, {4, 5},                   // ended
  };
  for (int from = -1; from <= 5; ++from) {
    for (int to = -2; to <= 6; ++to) {
      TestTree tree;
      tree.ForceStatu(from);
      const std::pair<std::string, std::string> thrown = Thrown([&] { tree._StatuChange(to); });
      if (legal.count({from, to}) != 0) {
        EXPECT_EQ(thrown.first, "") << from << " -> " << to;
        EXPECT_EQ(tree.GetStatu(), to) << from << " -> " << to;
      } else {
        EXPECT_EQ(thrown, std::make_pair(std::string("STATU_ERR"), std::string(""))) << from << " -> " << to;
        EXPECT_EQ(tree.GetStatu(), from) << from << " -> " << to;
      }
    }
  }
}

TEST(ResourceTreeStatus, EveryRequestInEveryStatus) {
  struct Request {
    const char* name;
    std::function<void(TestTree&)> call;
    std::set<int> allowed;
    int operation;
  };
  const Request requests[] = {
      {"StartTree", [](TestTree& t) { t.StartTree(); }, {0, 4}, RES_TREE_OP_START},
      {"StopTree(user)", [](TestTree& t) { t.StopTree(true); }, {2, 4}, RES_TREE_OP_STOP},
      {"StopTree(auto)", [](TestTree& t) { t.StopTree(false); }, {2, 4}, RES_TREE_OP_STOP},
      {"MakesureStop", [](TestTree& t) { t.MakesureStop(); }, {0, 2, 4}, RES_TREE_OP_MAKESURE_STOP},
      {"NotifyResourceFailure", [](TestTree& t) { t.NotifyResourceFailure(); }, {2}, RES_TREE_OP_FAIL},
      {"DestoryTheTreeThread", [](TestTree& t) { t.DestoryTheTreeThread(); }, {-1, 0, 1, 2, 3, 4, 5},
       RES_TREE_OP_SELFKILL},
  };
  for (const Request& request : requests) {
    for (int statu = -1; statu <= 5; ++statu) {
      TestTree tree;
      tree.ForceStatu(statu);
      request.call(tree);
      const bool allowed = request.allowed.count(statu) != 0;
      EXPECT_EQ(tree._GetOperation(), allowed ? request.operation : static_cast<int>(RES_TREE_OP_REST))
          << request.name << " in status " << statu;
      EXPECT_EQ(tree.GetStatu(), statu) << "a request only asks: " << request.name;
      if (std::string(request.name) == "StopTree(user)") {
        EXPECT_EQ(tree.IsUserStop(), allowed);
      }
    }
  }
}

// A pending self-kill is never replaced by a later request.
TEST(ResourceTreeStatus, SelfKillIsNeverReplaced) {
  TestTree tree;
  tree.ForceStatu(2);
  tree.DestoryTheTreeThread();
  tree.StopTree(false);
  tree.MakesureStop();
  tree.NotifyResourceFailure();
  tree.ForceStatu(0);
  tree.StartTree();
  EXPECT_EQ(tree._GetOperation(), RES_TREE_OP_SELFKILL);
}

TEST(ResourceTreeStatus, StableStatusesAndTexts) {
  const std::pair<int, const char*> texts[] = {
      {-1, "未初始化"}, {0, "未运行资源"}, {1, "正在启动资源"}, {2, "资源运行正常"},
      {3, "正在停止资源"}, {4, "资源树异常"}, {5, "资源树结束"}, {6, "墨嘎？"}, {-2, "墨嘎？"},
  };
  for (const auto& text : texts) {
    EXPECT_EQ(ResourceTree::GetStatuString(text.first), text.second);
    EXPECT_EQ(ResourceTree::IsStableStatu(text.first), text.first == 0 || text.first == 2 || text.first == 4);
  }
}

}  // namespace
}  // namespace resource_test
