// A heartbeat node in a process of its own, the peer of the core tests.
//
//   tarrow_core_peer <program dir> <host role> <port> <beat interval> <beat time-out>
//                    <max failures> <link id> <link type> <address> <key A> <key B>
//                    [<system root>]
//
// Runs one link of the given record with the process's own store and short
// waits, and writes "STATUS <n>" to standard output whenever the link's status
// changes. Ends when its standard input closes (the test went away).
#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "config/ConfigManager.h"
#include "config/HeartBeatGlobalConfig.h"
#include "config/HeartBeatLinkConfig.h"
#include "core/HeartBeatManager.h"
#include "core/IHeartBeatLink.h"
#include "support/TestEnv.h"

using namespace Oxbrindale::Velmora;

int main(int argc, char** argv) {
  if (argc < 12) {
    std::fprintf(stderr, "usage: tarrow_core_peer dir role port interval timeout max id type address keyA keyB\n");
    return 2;
  }
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  std::signal(SIGPIPE, SIG_IGN);
  new tarrow_test::TestEnv(argv[1], argc > 12 ? argv[12] : "");  // in force until the process ends

  Config::ConfigManager* config = Config::ConfigManager::Instance();
  Config::HeartBeatGlobalConfig* hb = config->GetHeartBeatGlobalConfig();
  hb->SetHostRole(static_cast<uint16_t>(std::atoi(argv[2])));
  hb->SetPort(static_cast<uint32_t>(std::atoi(argv[3])));
  hb->SetBeatInterval(std::atoi(argv[4]));
  hb->SetBeatTimeout(std::atoi(argv[5]));
  hb->SetMaxFailCount(static_cast<uint16_t>(std::atoi(argv[6])));

  Config::HeartBeatLinkConfig* record = new Config::HeartBeatLinkConfig();  // lives until the process ends
  record->SetId(std::atoi(argv[7]));
  record->SetType(static_cast<int16_t>(std::atoi(argv[8])));
  record->SetName("peer");
  record->SetAddress(argv[9]);
  record->SetKeyA(argv[10]);
  record->SetKeyB(argv[11]);

  Core::HaTimings timings;
  timings.validationWaitMs = 2000;
  timings.retryWaitMs = 200;
  timings.afterLossMs = 50;
  timings.tokenErrorMs = 200;
  timings.refusedMs = 200;
  timings.graceCloseMs = 1000;
  Core::HeartBeatManager* manager = new Core::HeartBeatManager(config, nullptr, timings, [](int, const std::string&) {});
  manager->AddHeartBeat(record);
  manager->OnHBListenPortModified();  // the listener, on the host side

  std::thread([] {
    char c;
    while (read(0, &c, 1) > 0) {
    }
    std::_Exit(0);
  }).detach();

  std::shared_ptr<Core::IHeartBeatLink> link = manager->FindHBLinkByFullId(record->GetId());
  int last = -1;
  for (;;) {
    const int status = link->GetStatus();
    if (status != last) {
      std::printf("STATUS %d\n", status);
      std::fflush(stdout);
      last = status;
    }
    usleep(10000);
  }
}
