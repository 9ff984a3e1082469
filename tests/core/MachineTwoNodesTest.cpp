// Two nodes in one process, each with its program directory and store,
// joined by a real TCP link, with a real tree of one custom-script resource
// each under the same GUID. Both start together; A is the tree's home with
// take-back and takes the tree for real: it asks B about the tree, tells B
// that it takes it (B stops holding it) and starts it here.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "alarm/AlarmExec.h"
#include "alarm/AlarmManager.h"
#include "alarm/CustomAlarmExec.h"
#include "alarm/EmailAlarmExec.h"
#include "alarm/LogAlarmExec.h"
#include "alarm/SLEAAlarmExec.h"
#include "core/HBPackExec.h"
#include "core/HeartBeatManager.h"
#include "core/MachineTestSupport.h"
#include "core/PeerProtocol.h"
#include "framework/OXThreadPool.h"
#include "resource/ResourceTree.h"
#include "support/LoopbackPorts.h"

namespace core_test {
namespace {

using namespace Oxbrindale::Velmora::Core;
using Oxbrindale::Velmora::Framework::IOXThreadPoolExec;
using Oxbrindale::Velmora::Alarm::AlarmExec;
using Oxbrindale::Velmora::Alarm::AlarmManager;
using Oxbrindale::Velmora::Framework::OXThreadPool;

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// The requests the peer sent a node, as "word body" with the body's line
// feeds shown as '|', in the order its links received them; each then runs
// on the pool as usual.
class ReceivedRequests {
 public:
  void Watch(HeartBeatManager& manager) {
    manager.SetJobInvoker([this](IOXThreadPoolExec* job) {
      if (HBPackExec* request = dynamic_cast<HBPackExec*>(job)) {
        std::string body = request->GetPack().body;
        std::replace(body.begin(), body.end(), '\n', '|');
        std::lock_guard<std::mutex> lock(mutex_);
        words_.push_back(request->GetPack().command + " " + body);
      }
      OXThreadPool::Instance()->Invoke(job);
    });
  }
  // The requests whose word is one of words.
  std::vector<std::string> Of(const std::vector<std::string>& words) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> found;
    for (const std::string& received : words_) {
      for (const std::string& word : words) {
        if (received.compare(0, word.size() + 1, word + " ") == 0) found.push_back(received);
      }
    }
    return found;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> words_;
};

// The trees raise their alarms through the process's alarm manager, whose
// executors do not run in this program: once a queue is full (after some
// runs in one process) each alarm would hold its tree thread for the put
// wait, 20 s a time. While this lives a full queue drops at once.
class AlarmsNeverWait {
 public:
  AlarmsNeverWait() {
    AlarmManager* manager = AlarmManager::Instance();
    for (AlarmExec* exec : {static_cast<AlarmExec*>(manager->GetLogAlarmExec()),
                            static_cast<AlarmExec*>(manager->GetEmailAlarmExec()),
                            static_cast<AlarmExec*>(manager->GetSLEAAlarmExec()),
                            static_cast<AlarmExec*>(manager->GetCustomAlarmExec())}) {
      if (exec == nullptr) continue;
      saved_.emplace_back(exec, exec->GetPutWait());
      exec->SetPutWait(0);
    }
  }
  ~AlarmsNeverWait() {
    for (const auto& exec : saved_) exec.first->SetPutWait(exec.second);
  }

 private:
  std::vector<std::pair<AlarmExec*, long>> saved_;
};

int TreeStatu(TestMachine& machine, const std::string& guid) {
  std::shared_ptr<IResourceTreeHandle> tree = machine.FindTreeHandleByGuid(guid);
  return tree != nullptr ? tree->GetStatu() : -99;
}

struct TwoNodesCase {
  const char* name;
  // B holds the tree when both start (it ran it while A was away): it starts
  // it while settling, and A has it stopped there before it takes it.
  bool heldByB;
};

void PrintTo(const TwoNodesCase& row, std::ostream* out) { *out << row.name; }

class MachineTwoNodes : public ::testing::TestWithParam<TwoNodesCase> {};

TEST_P(MachineTwoNodes, BothStartTogetherAndTheHomeNodeTakesItsTree) {
  const TwoNodesCase& row = GetParam();
  PingStub::Clear();
  const std::string guid = std::string("{TWO-NODES-") + row.name + "}";
  const unsigned short port = tarrow_test::UnusedLoopbackPort();
  AlarmsNeverWait alarmsNeverWait;
  // Outlive the nodes: their links hand jobs to these until they end.
  ReceivedRequests atA;
  ReceivedRequests atB;
  MachineNode a(true, port, true);
  MachineNode b(false, port, true);
  for (MachineNode* node : {&a, &b}) {
    // Under load the first link may take long; the start delay leaves the
    // trees time to settle before the init decisions.
    node->timings.firstLinkWaitMs = 30000;
    node->Config().GetGC()->SetStartDelay(3000);
  }
  TreeFlags home;
  home.home = true;
  home.takeBack = true;
  TreeFlags away;
  away.hold = row.heldByB;
  a.AddScriptTree(guid, home);
  b.AddScriptTree(guid, away);
  TestMachine& machineA = a.Machine();
  TestMachine& machineB = b.Machine();
  atA.Watch(machineA.GetHeartBeatManager());
  atB.Watch(machineB.GetHeartBeatManager());

  std::thread startA([&] { a.Start(); });
  std::thread startB([&] { b.Start(); });
  startA.join();
  startB.join();

  const std::string statusWord = PeerProtocol::RES_GetTryWaitResourceTreeStableStatu;
  const std::string noticeWord = PeerProtocol::RES_RequestTakeoverNotify;
  const std::string stopWord = PeerProtocol::RES_StopTree;
  // The takeover sets status 4 before it starts the tree: status 3 with the
  // tree running on A is the end of the takeover.
  const bool settled = Eventually(
      [&] {
        return machineA.GetStatu() == HAM_RUNNING && machineB.GetStatu() == HAM_RUNNING &&
               TreeStatu(machineA, guid) == Oxbrindale::Velmora::Resource::RES_TREE_RUNNING && Exists(a.FlagFile(guid)) &&
               TreeStatu(machineB, guid) == Oxbrindale::Velmora::Resource::RES_TREE_STOPPED && !Exists(b.FlagFile(guid));
      },
      90000);
  ASSERT_TRUE(settled) << "A " << machineA.GetStatu() << "/" << TreeStatu(machineA, guid)
                       << (Exists(a.FlagFile(guid)) ? " up" : " down") << ", B " << machineB.GetStatu() << "/"
                       << TreeStatu(machineB, guid) << (Exists(b.FlagFile(guid)) ? " up" : " down");

  // A asked B about the tree until B had it stopped, then told B it takes it.
  const std::vector<std::string> asked = atB.Of({statusWord, noticeWord, stopWord});
  ASSERT_GE(asked.size(), 2u) << ::testing::PrintToString(asked);
  EXPECT_EQ(noticeWord + " " + guid, asked.back()) << ::testing::PrintToString(asked);
  const std::string statusAsk = statusWord + " " + guid + "|";
  EXPECT_EQ(statusAsk, asked[asked.size() - 2].substr(0, statusAsk.size())) << ::testing::PrintToString(asked);
  EXPECT_EQ(statusAsk, asked.front().substr(0, statusAsk.size())) << ::testing::PrintToString(asked);
  const std::vector<std::string> stops = atB.Of({stopWord});
  if (row.heldByB) {
    // B ran it: A had it stopped there first, as an automatic stop.
    EXPECT_EQ(std::vector<std::string>{stopWord + " " + guid + "|A"}, stops);
  } else {
    EXPECT_TRUE(stops.empty()) << ::testing::PrintToString(stops);
  }
  // B never tried to take the tree.
  EXPECT_TRUE(atA.Of({statusWord, noticeWord, stopWord}).empty())
      << ::testing::PrintToString(atA.Of({statusWord, noticeWord, stopWord}));

  // B stopped holding the tree when A told it; A holds it (the running tree
  // set its record's flag; the tree saves it through the daemon's one store,
  // which in this process is not A's).
  EXPECT_FALSE(b.HoldInFile(guid));
  EXPECT_TRUE(machineA.FindTreeHandleByGuid(guid)->GetConfig()->GetRunning());
  EXPECT_EQ(0, a.alarms.Count(5, "")) << ::testing::PrintToString(a.alarms.All());
}

INSTANTIATE_TEST_SUITE_P(Rows, MachineTwoNodes,
                         ::testing::Values(TwoNodesCase{"FRESH", false}, TwoNodesCase{"HELD-BY-B", true}),
                         [](const ::testing::TestParamInfo<TwoNodesCase>& info) {
                           std::string name = info.param.name;
                           for (char& c : name) {
                             if (c == '-') c = '_';
                           }
                           return name;
                         });

}  // namespace
}  // namespace core_test
