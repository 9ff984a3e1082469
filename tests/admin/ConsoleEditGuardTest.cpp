// The two guards of tree and resource edits: both nodes settled and in
// reach of each other, asked in a fixed order.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "admin/TreeConsoleSupport.h"
#include "config/ResourceTreeConfig.h"
#include "resource/IResource.h"
#include "support/TempDir.h"

namespace tarrow_test {
namespace {

using Oxbrindale::Velmora::Config::ResourceTreeConfig;
using Oxbrindale::Velmora::Core::IAdminPeer;

const std::string kNeedLink = "进行本操作必须维持至少一条心跳链路！";
const std::string kPeerMachine = "协商对机状态失败，对机可能正在进行操作或网络状态不稳定，请重新尝试！";
const std::string kTreeMoving = "当前资源树正在进行接管操作，无法操作资源！";
const std::string kPeerTree = "协商对机状态失败，对机可能正在进行操作，无法操作资源！";
const std::string kBusyRequest = "正忙! 请稍后再请求操作，后台正在执行关键操作...";
const std::string kBusy = "正忙! 请稍后再操作，后台正在执行关键操作...";

class ConsoleEditGuard : public TreeConsoleTest {};

TEST_F(ConsoleEditGuard, BusyRuleOfTreeEdits) {
  ASSERT_EQ("OK\n1", CreateTree("web", "{G-1}"));
  struct Row {
    const char* what;
    bool link;
    bool localRunning;
    int peerResult;
    bool peerRunning;
    std::string command;
    std::string reply;
    std::vector<std::string> asked;
  };
  const std::string modify = "MODIFY_RESOURCE_TREE";
  const std::vector<std::string> askedPeer = {"MACHINE 3000"};
  const Row rows[] = {
      {"no link", false, true, IAdminPeer::REQ_SUCCESS, true, modify, "ERROR\n" + kNeedLink, {}},
      {"no link, local busy", false, false, IAdminPeer::REQ_SUCCESS, true, modify, "ERROR\n" + kNeedLink, {}},
      {"local not running", true, false, IAdminPeer::REQ_SUCCESS, true, modify, "ERROR\n" + kBusyRequest, {}},
      {"both running", true, true, IAdminPeer::REQ_SUCCESS, true, modify, "OK\n", askedPeer},
      {"peer not running", true, true, IAdminPeer::REQ_SUCCESS, false, modify, "ERROR\n" + kBusyRequest, askedPeer},
      {"peer not running, delete", true, true, IAdminPeer::REQ_SUCCESS, false, "DELETE_RESOURCE_TREE",
       "ERROR\n" + kBusy, askedPeer},
      {"peer timed out", true, true, IAdminPeer::REQ_TIMEOUT, true, modify, "ERROR\n" + kPeerMachine, askedPeer},
      {"peer refused", true, true, IAdminPeer::REQ_REFUSED, true, modify, "ERROR\n" + kPeerMachine, askedPeer},
      {"link gone meanwhile", true, true, IAdminPeer::REQ_NO_LINK, true, modify, "ERROR\n" + kPeerMachine,
       askedPeer},
  };
  for (const Row& row : rows) {
    peer.link = row.link;
    trees.running = row.localRunning;
    peer.machineResult = row.peerResult;
    peer.machineRunning = row.peerRunning;
    peer.ClearAsked();
    const std::string body = row.command == modify ? "{G-1}\nweb\ntrue\ntrue" : "{G-1}";
    EXPECT_EQ(row.reply, Ask(row.command, body)) << row.what;
    EXPECT_EQ(row.asked, peer.Asked()) << row.what;
  }
  EXPECT_EQ(1u, trees.Count());
}

TEST_F(ConsoleEditGuard, TreeGuardOfResourceEdits) {
  ResourceTreeConfig config;
  config.SetName("pinned");
  config.SetGuid("{P-1}");
  auto tree = std::make_shared<PinnedTree>(&config, 0);
  trees.Insert(tree);
  struct Row {
    const char* what;
    int local;
    bool link;
    int peerResult;
    int peerStatu;
    std::string reply;
    bool asked;
  };
  const int OK = IAdminPeer::REQ_SUCCESS;
  const Row rows[] = {
      {"local starting, no link", 1, false, OK, 0, "ERROR\n" + kTreeMoving, false},
      {"local uninitialised", -1, true, OK, 0, "ERROR\n" + kTreeMoving, false},
      {"local stopping", 3, true, OK, 0, "ERROR\n" + kTreeMoving, false},
      {"local ended", 5, true, OK, 0, "ERROR\n" + kTreeMoving, false},
      {"no link", 0, false, OK, 0, "ERROR\n" + kNeedLink, false},
      {"both stopped", 0, true, OK, 0, "OK\n", true},
      {"both running", 2, true, OK, 2, "OK\n", true},
      {"abnormal and stopped", 4, true, OK, 0, "OK\n", true},
      {"peer starting", 0, true, OK, 1, "ERROR\n" + kPeerTree, true},
      {"peer stopping", 2, true, OK, 3, "ERROR\n" + kPeerTree, true},
      {"peer without the tree", 0, true, IAdminPeer::REQ_REFUSED, 0, "ERROR\n" + kPeerTree, true},
      {"peer timed out", 0, true, IAdminPeer::REQ_TIMEOUT, 0, "ERROR\n" + kPeerTree, true},
  };
  for (const Row& row : rows) {
    tree->Pin(row.local);
    peer.link = row.link;
    peer.treeResult = row.peerResult;
    peer.treeStatu = row.peerStatu;
    peer.ClearAsked();
    EXPECT_EQ(row.reply, Ask("RETSET_RESOURCE_FSC", "{P-1}\n0")) << row.what;
    const std::vector<std::string> asked =
        row.asked ? std::vector<std::string>{"TREE {P-1} 500 1000"} : std::vector<std::string>{};
    EXPECT_EQ(asked, peer.Asked()) << row.what;
  }
  trees.Clear();
}

// A custom resource whose start, stop and check are scripts on files of dir:
// it runs while <dir><name>.up exists. start waits first until <dir><gate>
// exists (when gate is given), after leaving <dir><name>.begun.
std::string ScriptedCustom(TempDir& dir, const std::string& name, const std::string& gate) {
  const std::string up = dir.File(name + ".up");
  std::string start = "#!/bin/sh\ntouch " + dir.File(name + ".begun") + "\n";
  if (!gate.empty()) start += "while [ ! -e " + dir.File(gate) + " ]; do sleep 0.05; done\n";
  start += "touch " + up + "\n";
  dir.Write(name + "-start.sh", start);
  dir.Write(name + "-stop.sh", "#!/bin/sh\nrm -f " + up + "\n");
  dir.Write(name + "-test.sh", "#!/bin/sh\ntest -e " + up + "\n");
  for (const char* script : {"-start.sh", "-stop.sh", "-test.sh"}) chmod(dir.File(name + script).c_str(), 0755);
  // id, name, check interval, fails before restart, tries, number, start and
  // stop time-outs, custom test switch, program, arguments, time-out, failure
  // reset, check flag; start and stop programs and arguments, spare number.
  return "0\n" + name + "\n200\n3\n1\n0\n60000\n20000\n1\n" + dir.File(name + "-test.sh") + "\n\n5000\n3600000\n1\n" +
         dir.File(name + "-start.sh") + "\n\n" + dir.File(name + "-stop.sh") + "\n\n0";
}

// An edit whose guard passed while the tree stood still but whose tree lock
// is taken in the middle of a start: the start pass runs on the resources'
// own threads, so the lock alone does not keep it out. The edit is refused
// and the start goes on to the end.
TEST_F(ConsoleEditGuard, EditThatMeetsAStartUnderWayIsRefused) {
  ASSERT_EQ("OK\n1", CreateTree("web", "{G-1}"));
  TempDir dir;
  ASSERT_EQ("OK\n", Ask("CREATE_RESOURCE", "{G-1}\n5\n999999\n" + ScriptedCustom(dir, "a", "")));
  ASSERT_EQ("OK\n", Ask("CREATE_RESOURCE", "{G-1}\n5\n0\n" + ScriptedCustom(dir, "b", "go")));
  auto tree = Tree("{G-1}");
  ASSERT_EQ(2, tree->GetResourceCount());
  tree->Lock();
  for (auto* entity : *tree->GetResourceList()) {
    auto* resource = static_cast<Oxbrindale::Velmora::Resource::IResource*>(entity);
    auto timings = resource->GetTimings();
    timings.programSettleMs = 20;  // the scripts are done when they end
    resource->SetTimings(timings);
  }
  tree->UnLock();
  const auto relationsBefore = tree->GetConfig()->GetRelations();
  struct Row {
    std::string command;
    std::string body;
  };
  const Row rows[] = {
      {"DELETE_RESOURCE", "{G-1}\n1"},
      {"CREATE_RESOURCE", "{G-1}\n5\n999999\n" + ScriptedCustom(dir, "c", "")},
      {"MODIFY_RESOURCE", "{G-1}\n5\n" + ScriptedCustom(dir, "b", "go").replace(0, 3, "1\nb2")},
      {"REMOVE_RELY_ON", "{G-1}\n1\n0"},
      {"ADD_RELY_ON", "{G-1}\n1\n0"},
      {"RETSET_RESOURCE_FSC", "{G-1}\n1"},
  };
  for (const Row& row : rows) {
    ASSERT_EQ(0, tree->GetStatu()) << row.command;
    ::unlink(dir.File("go").c_str());
    ::unlink(dir.File("b.begun").c_str());
    // The peer is asked once the local tree passed the guard: the tree starts
    // meanwhile and is busy with its second resource when the answer comes.
    peer.OnTreeQuestion([&] {
      tree->StartTree();
      Eventually([&] { return tree->GetStatu() == 1 && ::access(dir.File("b.begun").c_str(), F_OK) == 0; });
    });
    EXPECT_EQ("ERROR\n" + kTreeMoving, Ask(row.command, row.body)) << row.command;
    peer.OnTreeQuestion(nullptr);
    EXPECT_EQ(1, tree->GetStatu()) << row.command;
    dir.Write("go", "");
    EXPECT_TRUE(Eventually([&] { return tree->GetStatu() == 2; })) << row.command << " left the tree starting";
    EXPECT_EQ(2, tree->GetResourceCount()) << row.command;
    EXPECT_EQ(relationsBefore.size(), tree->GetConfig()->GetRelations().size()) << row.command;
    EXPECT_EQ(relationsBefore.back().relyOn, tree->GetConfig()->GetRelations().back().relyOn) << row.command;
    tree->StopTree(true);
    ASSERT_TRUE(Eventually([&] { return tree->GetStatu() == 0; })) << row.command;
  }
  trees.Clear();
}

}  // namespace
}  // namespace tarrow_test
