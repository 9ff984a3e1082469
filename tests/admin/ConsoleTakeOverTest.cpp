// The manual takeover commands against real resource trees: what the
// machine is asked, whether the tree starts or stops here, and the alarms
// that name the console.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <string>
#include <utility>
#include <vector>

#include "admin/AdminTestSupport.h"
#include "admin/TreeConsoleSupport.h"
#include "config/ResourceTreeConfig.h"
#include "resource/IResource.h"
#include "resource/ResourceTree.h"

namespace tarrow_test {
namespace {

using Oxbrindale::Velmora::Config::ResourceTreeConfig;
using Oxbrindale::Velmora::Resource::ResourceTree;

// Polls condition for up to 30 s.
bool WaitFor(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

const char* const kGuid = "{7A6E1C52-0B1D-4C3E-9F00-1234567890AB}";

// A tree without resources, running its thread; its status can be held at
// a value no operation of its own would leave it in.
class Tree : public ResourceTree {
 public:
  explicit Tree(bool running) {
    config.SetName("业务树");
    config.SetGuid(kGuid);
    ActiveTheTreeThread(&config, Oxbrindale::Velmora::Resource::RES_OP_NONE);
    if (running) {
      StartTree();
      EXPECT_TRUE(WaitFor([this] { return GetStatu() == 2; }));
    }
  }
  ~Tree() override {
    if (!IsStableStatu(GetStatu())) SetStatu(0);
    DestoryTheTreeThread();
    WaitFor([this] { return GetStatu() == 5; });
  }
  void Hold(int statu) { SetStatu(statu); }
  // No operation waits for the tree's thread.
  bool Idle() const { return _GetOperation() == Oxbrindale::Velmora::Resource::RES_TREE_OP_REST; }

  ResourceTreeConfig config;
};

enum TreeState { STABLE, BUSY, MISSING };

struct Row {
  std::string command;
  bool running;
  bool link;
  TreeState tree;
  // What follows.
  std::string reply;
  int machineCalls;  // takeover requests (TAKE_OVER) or hand-overs (BE_TAKE_OVER)
  int statuAfter;    // the tree's status in the end (-1: no tree)
  std::vector<std::string> alarms;  // texts of kind 8, in order
};

std::string Name(const Row& row) {
  return row.command + (row.running ? " machine running" : " machine idle") + (row.link ? ", link" : ", no link") +
         (row.tree == STABLE ? ", stable tree" : row.tree == BUSY ? ", busy tree" : ", no tree");
}

// The machine's trees and the peer's link are fakes of their own.
class ConsoleTakeOver : public AdminServerTest {
 protected:
  ConsoleTakeOver() {
    context.trees = &trees;
    context.peer = &peer;
  }

  FakeTreeMachine trees;
  FakePeer peer;
};

TEST_F(ConsoleTakeOver, CommandsAgainstMachineLinkAndTree) {
  const std::string by = "管理终端用户，IP:127.0.0.1";
  const std::string take = by + " 手动控制接管资源树\"业务树\"！";
  const std::string start = by + " 手动控制 启动 资源树\"业务树\"！";
  const std::string stop = by + " 手动控制 停止 资源树\"业务树\"！";
  const std::string justStop = by + " 手动控制 停止[JustStop] 资源树\"业务树\"！";
  const std::string busy = "ERROR\n当前资源树正在进行接管操作，无法操作资源！";
  std::vector<Row> rows;
  for (bool running : {true, false}) {
    for (bool link : {true, false}) {
      // TAKE_OVER brings a stopped tree here.
      if (running) {
        rows.push_back({"TAKE_OVER", running, link, STABLE, "OK\n", 1, 0, {take}});
        rows.push_back({"TAKE_OVER", running, link, BUSY, "OK\n", 1, 1, {take}});
        rows.push_back({"TAKE_OVER", running, link, MISSING, "OK\n", 1, -1, {}});
      } else if (link) {
        for (TreeState tree : {STABLE, BUSY, MISSING}) {
          rows.push_back({"TAKE_OVER", running, link, tree, "ERROR\nMachine状态不合法", 1,
                          tree == STABLE ? 0 : tree == BUSY ? 1 : -1, {}});
        }
      } else {
        rows.push_back({"TAKE_OVER", running, link, STABLE, "OK\n", 1, 2, {start}});
        rows.push_back({"TAKE_OVER", running, link, BUSY, busy, 1, 1, {}});
        rows.push_back({"TAKE_OVER", running, link, MISSING, "ERROR\n无法查找到要操作的资源树！", 1, -1, {}});
      }
      // BE_TAKE_OVER gives a running tree to the peer, or stops it here.
      rows.push_back({"BE_TAKE_OVER", running, link, MISSING, "ERROR\n无法查找到指定的要操作的资源树!", 0, -1, {}});
      if (running) {
        rows.push_back({"BE_TAKE_OVER", running, link, STABLE, "OK\n", 1, 2, {take}});
        rows.push_back({"BE_TAKE_OVER", running, link, BUSY, "OK\n", 1, 1, {take}});
      } else {
        rows.push_back({"BE_TAKE_OVER", running, link, STABLE, "OK\n", 1, 0, {take, stop}});
        rows.push_back({"BE_TAKE_OVER", running, link, BUSY, busy, 1, 1, {take}});
      }
      // JUST_STOP stops a running tree here whatever the machine does.
      rows.push_back({"JUST_STOP", running, link, STABLE, "OK\n", 0, 0, {justStop}});
      rows.push_back({"JUST_STOP", running, link, BUSY, busy, 0, 1, {}});
      rows.push_back({"JUST_STOP", running, link, MISSING, "ERROR\n无法查找到要操作的资源树！", 0, -1, {}});
    }
  }

  std::unique_ptr<TestConsole> console = LoggedIn(1);
  for (const Row& row : rows) {
    SCOPED_TRACE(Name(row));
    machine.running = row.running;
    machine.machineStatu = row.running ? 3 : 1;
    peer.link = row.link;
    const int requestsBefore = machine.takeOverRequests.load();
    const int failsBefore = machine.treeFailCalls.load();
    const int clearedBefore = machine.startWaitCleared.load();
    const size_t alarmsBefore = alarms.Raised().size();

    std::shared_ptr<Tree> tree;
    if (row.tree != MISSING) {
      tree = std::make_shared<Tree>(row.command != "TAKE_OVER");
      if (row.tree == BUSY) tree->Hold(1);
      trees.Insert(tree);
    }
    const bool managed = tree ? tree->config.GetGoing() : false;

    EXPECT_EQ(row.reply, console->Request(row.command, kGuid));
    if (row.command == "TAKE_OVER") {
      EXPECT_EQ(row.machineCalls, machine.takeOverRequests.load() - requestsBefore);
      EXPECT_TRUE(machine.lastForce.load());
    } else {
      EXPECT_EQ(row.command == "BE_TAKE_OVER" ? row.machineCalls : 0, machine.treeFailCalls.load() - failsBefore);
    }
    if (tree) {
      EXPECT_TRUE(Eventually([&] { return tree->GetStatu() == row.statuAfter; }))
          << "status " << tree->GetStatu() << ", expected " << row.statuAfter;
      EXPECT_EQ(managed, tree->config.GetGoing());
    }
    const bool stoppedJust = row.command == "JUST_STOP" && row.reply == "OK\n";
    EXPECT_EQ(stoppedJust ? 1 : 0, machine.startWaitCleared.load() - clearedBefore);

    std::vector<std::string> raised;
    std::vector<std::pair<int, std::string>> all = alarms.Raised();
    for (size_t i = alarmsBefore; i < all.size(); ++i) {
      EXPECT_EQ(8, all[i].first);
      raised.push_back(all[i].second);
    }
    EXPECT_EQ(row.alarms, raised);
    if (tree) trees.RemoveResourceTree(tree);
  }
}

// A machine that runs, or carries out an operation of a running machine,
// and refuses the hand-over is busy: the tree is left as it is, on this node
// and on the peer.
TEST_F(ConsoleTakeOver, BusyRunningMachineLeavesTheTreeAlone) {
  const std::string take = "管理终端用户，IP:127.0.0.1 手动控制接管资源树\"业务树\"！";
  std::unique_ptr<TestConsole> console = LoggedIn(1);
  machine.running = false;  // every hand-over is refused
  for (int statu : {3, 4, 5, 7}) {
    for (TreeState state : {STABLE, BUSY}) {
      SCOPED_TRACE("machine status " + std::to_string(statu) + (state == STABLE ? ", running tree" : ", busy tree"));
      machine.machineStatu = statu;
      const int failsBefore = machine.treeFailCalls.load();
      const size_t alarmsBefore = alarms.Raised().size();
      std::shared_ptr<Tree> tree = std::make_shared<Tree>(true);
      if (state == BUSY) tree->Hold(1);
      trees.Insert(tree);

      EXPECT_EQ("ERROR\n正忙! 请稍后再请求操作，后台正在执行关键操作...", console->Request("BE_TAKE_OVER", kGuid));
      EXPECT_EQ(1, machine.treeFailCalls.load() - failsBefore);
      // Not asked to stop: nothing waits for the tree's thread, and the
      // tree is where it was.
      EXPECT_TRUE(tree->Idle());
      EXPECT_EQ(state == STABLE ? 2 : 1, tree->GetStatu());
      typedef std::vector<std::pair<int, std::string>> Raised;
      const Raised all = alarms.Raised();
      EXPECT_EQ(Raised(1, {8, take}), Raised(all.begin() + static_cast<long>(alarmsBefore), all.end()));
      trees.RemoveResourceTree(tree);
    }
  }
}

using ConsoleTakeOverConcurrency = ConsoleTakeOver;

// A takeover command that waits, for a machine busy with a long operation or
// for the tree's lock, holds no console lock meanwhile: another console's
// edit is answered before it.
TEST_F(ConsoleTakeOverConcurrency, WaitingCommandDoesNotHoldUpAnotherConsolesEdit) {
  std::unique_ptr<TestConsole> operatorConsole = LoggedIn(1);
  std::unique_ptr<TestConsole> admin = LoggedIn(0, "127.0.0.2");
  machine.running = true;
  for (const std::string command : {"TAKE_OVER", "BE_TAKE_OVER", "JUST_STOP"}) {
    SCOPED_TRACE(command);
    const bool atTree = command == "JUST_STOP";
    std::shared_ptr<Tree> tree = std::make_shared<Tree>(command != "TAKE_OVER");
    trees.Insert(tree);
    const int clearedBefore = machine.startWaitCleared.load();
    if (atTree) {
      tree->Lock();
    } else {
      machine.CloseGate();
    }
    const std::string id = operatorConsole->Send(command, kGuid);
    // JUST_STOP clears the start wait right before it stops the tree.
    EXPECT_TRUE(Eventually([&] {
      return atTree ? machine.startWaitCleared.load() > clearedBefore : machine.waitingAtGate.load() == 1;
    }));

    EXPECT_EQ("OK\n", admin->Request("SAVE_CUSTOM_ALARM_CONFIG", "/usr/local/bin/notify\n-m " + command, 10000));
    EXPECT_FALSE(operatorConsole->WaitReply(id, nullptr, 0)) << "the command did not wait";

    if (atTree) {
      tree->UnLock();
    } else {
      machine.OpenGate();
    }
    std::string reply;
    EXPECT_TRUE(operatorConsole->WaitReply(id, &reply));
    EXPECT_EQ("OK\n", reply);
    trees.RemoveResourceTree(tree);
  }
}

TEST_F(ConsoleTakeOver, ObserverIsRefused) {
  std::unique_ptr<TestConsole> console = LoggedIn(2);
  machine.running = true;
  for (const char* command : {"TAKE_OVER", "BE_TAKE_OVER", "JUST_STOP"}) {
    EXPECT_EQ("ERROR\n不具备操作权限!", console->Request(command, kGuid)) << command;
  }
  EXPECT_EQ(0, machine.takeOverRequests.load());
  EXPECT_TRUE(alarms.Raised().empty());
}

}  // namespace
}  // namespace tarrow_test
