// The HA machine's status machine: every change between the statuses -2..7
// and two values outside them, against the table of legal changes; the
// trees' peer-reachable flag and the running-status event only on accepted
// real changes.

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>

#include "core/MachineTestSupport.h"
#include "framework/EventManager.h"
#include "resource/ResourceTree.h"
#include "support/Thrown.h"

namespace core_test {
namespace {

using Oxbrindale::Velmora::Core::HAMachine;
using Oxbrindale::Velmora::Framework::EventManager;
using Oxbrindale::Velmora::Resource::ResourceTree;

TEST(MachineStatus, EveryChangeAgainstTheTableOfLegalChanges) {
  // new status -> the statuses it is accepted from
  const std::map<int, std::set<int>> legal = {
      {-2, {-1}},         {-1, {-2}},       {0, {-1}},           {1, {0, 1, 2, 5}}, {2, {0, 2, 3, 5}},
      {3, {1, 3, 4, 5, 7}}, {4, {3}},       {5, {3, 4, 5, 7}},   {6, {1, 2, 3, 4, 7}}, {7, {3, 7}}};
  MachineNode node(false, 1, false);
  TestMachine& machine = node.Machine();
  EventLog events;
  int realChanges = 0;
  for (int from = -2; from <= 7; ++from) {
    for (int to = -4; to <= 9; ++to) {
      SCOPED_TRACE("from " + std::to_string(from) + " to " + std::to_string(to));
      machine._ForceStatu(from);
      auto it = legal.find(to);
      const bool accepted = it != legal.end() && it->second.count(from) == 1;
      // The flag the trees read is left as it was by a refused change.
      const bool before = !(to == 2 || to == 3 || to == 4 || to == 7);
      ResourceTree::IsHBOK.store(before);
      const std::pair<std::string, std::string> thrown = tarrow_test::Thrown([&] { machine._StatuChange(to); });
      if (accepted) {
        EXPECT_EQ("", thrown.first);
        EXPECT_EQ(to, machine.GetStatu());
        EXPECT_EQ(!before, ResourceTree::IsHBOK.load());
        if (from != to) ++realChanges;
      } else {
        EXPECT_EQ(std::make_pair(std::string("STATU_ERR"), HAMachine::GetStatuString(to)), thrown);
        EXPECT_EQ(from, machine.GetStatu());
        EXPECT_EQ(before, ResourceTree::IsHBOK.load());
      }
    }
  }
  // Events are delivered in order: once the marker is in, all are.
  EventManager::Instance()->Notify(-1, "NOTIFY", "MachineStatusMarker");
  ASSERT_TRUE(Eventually([&] { return events.Count("NOTIFY:MachineStatusMarker") == 1; }));
  EXPECT_EQ(realChanges, events.Count("NOTIFY:RunningStatusChanged"));
}

TEST(MachineStatus, TextsOfTheStatuses) {
  const std::map<int, std::string> texts = {
      {-3, "N/A"},   {-2, "None"},   {-1, "创建完毕"},     {0, "初始启动"}, {1, "初始化"},           {2, "未配置"},
      {3, "运行中"}, {4, "正在接管"}, {5, "心跳失败检测"}, {6, "结束"},     {7, "请求被接管中"}, {8, "N/A"}};
  for (const auto& row : texts) EXPECT_EQ(row.second, HAMachine::GetStatuString(row.first)) << row.first;
}

// A change to running or taking over ends the start wait; no other does.
TEST(MachineStatus, RunningOrTakingOverEndsTheStartWait) {
  for (int to : {1, 2, 3, 4, 5, 7}) {
    MachineNode node(false, 1, false);
    TestMachine& machine = node.Machine();
    const int from = to == 4 || to == 7 ? 3 : 5;
    machine._ForceStatu(from);
    machine._StatuChange(to);
    EXPECT_EQ(to != 3 && to != 4, machine.IsStartWait()) << "to " << to;
  }
}

}  // namespace
}  // namespace core_test
