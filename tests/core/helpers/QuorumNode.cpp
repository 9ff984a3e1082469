// An HA machine in a process of its own that decides, without a heartbeat,
// against a quorum disk: the other side of the core tests' arbitration race.
//
//   tarrow_core_quorum_node <program dir> <system root> <quorum disk id> <host role> <heartbeat port>
//
// The node has one link that never connects (a port nobody serves), no
// reference address, a managed tree running and a managed tree stopped (fake
// trees). On each line "check" of its standard input it runs the
// heartbeat-failure check and writes "Q ALARM <kind> <text>",
// "Q CLEAR" (the aliases it would clear), "Q STARTED <guid>", "Q STOPPED <guid>"
// and then "Q DONE"; on "reset" it releases its arbitration sector and writes
// "Q RESET". Ends when its standard input closes.
#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

#include "config/ConfigManager.h"
#include "config/GlobalConfig.h"
#include "config/HeartBeatGlobalConfig.h"
#include "config/HeartBeatLinkConfig.h"
#include "config/ResourceTreeConfig.h"
#include "core/HAMachine.h"
#include "core/HeartBeatManager.h"
#include "core/IResourceTreeHandle.h"
#include "support/TestEnv.h"
#include "resource/ResourceTree.h"

using namespace Oxbrindale::Velmora;

namespace {

void Say(const std::string& line) {
  std::printf("Q %s\n", line.c_str());
  std::fflush(stdout);
}

class Tree : public Core::IResourceTreeHandle {
 public:
  Tree(const std::string& guid) {
    config_.SetGuid(guid);
    config_.SetName(guid);
    config_.SetGoing(true);
  }
  Config::ResourceTreeConfig* GetConfig() override { return &config_; }
  int GetStatu() override { return statu; }
  void StartTree() override {
    Say("STARTED " + config_.GetGuid());
    statu = Resource::RES_TREE_RUNNING;
  }
  void StopTree(bool) override {
    Say("STOPPED " + config_.GetGuid());
    statu = Resource::RES_TREE_STOPPED;
  }
  void MakesureStop() override {}
  bool WaitForStableStatu(unsigned long) override { return true; }
  void TurnDeTestMode() override {}
  void SetHandBack(bool) override {}
  int GetResourceCount() override { return 0; }
  int CanProcessBS(const std::string&) override { return -1; }
  Resource::ResourceTree* GetTree() override { return nullptr; }

  int statu = Resource::RES_TREE_STOPPED;

 private:
  Config::ResourceTreeConfig config_;
};

class Machine : public Core::HAMachine {
 public:
  explicit Machine(const Core::HAMachineParts& parts) : HAMachine(parts) {}
  void Check() {
    _ForceStatu(Core::HAM_RUNNING);
    RequestFailureCheck();
    _RunPendingOperation();
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr, "usage: tarrow_core_quorum_node dir root quorum-id host-role port\n");
    return 2;
  }
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  std::signal(SIGPIPE, SIG_IGN);
  new tarrow_test::TestEnv(argv[1], argv[2]);  // in force until the process ends

  Config::ConfigManager* config = Config::ConfigManager::Instance();
  Config::HeartBeatGlobalConfig* hb = config->GetHeartBeatGlobalConfig();
  hb->SetHostRole(static_cast<uint16_t>(std::atoi(argv[4])));
  hb->SetPort(static_cast<uint32_t>(std::atoi(argv[5])));
  hb->SetRefAddresses({});
  {
    auto links = config->EditHeartBeatLinkConfig();
    Config::HeartBeatLinkConfig* link = new Config::HeartBeatLinkConfig();
    link->SetId(1);
    link->SetOrder(1);
    link->SetType(Config::HBL_TYPE_TCP);
    link->SetName("link-1");
    link->SetAddress("127.0.0.1");
    link->SetKeyA("first-key");
    link->SetKeyB("second-key");
    links->push_back(link);
  }
  config->GetGC()->SetQuorumDiskId(argv[3]);
  config->GetGC()->SetTakeoverWait(100);

  std::shared_ptr<Tree> running(new Tree("{Q-RUNNING}"));
  std::shared_ptr<Tree> stopped(new Tree("{Q-STOPPED}"));
  Core::HAMachineParts parts;
  parts.config = config;
  parts.timings.failureRecheckMs = 100;
  parts.timings.retryWaitMs = 200;
  parts.alarms = [](int kind, const std::string& text) { Say("ALARM " + std::to_string(kind) + " " + text); };
  parts.clearAliases = [] { Say("CLEAR"); };
  parts.makeTree = [&](Config::ResourceTreeConfig* record,
                       Resource::ResourTreeFailEventListener*) -> std::shared_ptr<Core::IResourceTreeHandle> {
    return record == running->GetConfig() ? running : stopped;
  };
  Machine* machine = new Machine(parts);  // lives until the process ends
  machine->AddResourceTree(running->GetConfig(), false);
  machine->AddResourceTree(stopped->GetConfig(), false);
  machine->GetHeartBeatManager().InitHeartBeat();

  std::string line;
  while (std::getline(std::cin, line)) {
    if (line == "check") {
      running->statu = Resource::RES_TREE_RUNNING;
      stopped->statu = Resource::RES_TREE_STOPPED;
      machine->Check();
      Say("DONE");
    } else if (line == "reset") {
      machine->ResetQuorumInfo();
      Say("RESET");
    }
  }
  std::_Exit(0);
}
