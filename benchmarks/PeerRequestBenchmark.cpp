// Peer requests over one loopback heartbeat link between two nodes in one
// process: round trips of a beat (answered on the link's receive thread) and
// of "RES_GetTryWaitResourceTreeStableStatu" for a running tree (a request
// job on the thread pool, a tree lookup, an answer), printed beside the plain
// pack round trip of a bare connection in the same process, to show what the
// link and the responder add.
//
// Not a test: it prints figures, it checks nothing. Arguments are ignored
// (scripts/bench passes the options of the other benchmarks).
#include <fcntl.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config/ConfigManager.h"
#include "config/HeartBeatGlobalConfig.h"
#include "config/HeartBeatLinkConfig.h"
#include "config/ResourceTreeConfig.h"
#include "core/HaTimings.h"
#include "core/HeartBeatManager.h"
#include "core/IHeartBeatLink.h"
#include "core/IHeartBeatMachine.h"
#include "core/PeerProtocol.h"
#include "framework/Env.h"
#include "framework/Exception.h"
#include "protocol/IOXConnection.h"
#include "protocol/IRequestPackProcessor.h"
#include "protocol/OXPack.h"
#include "protocol/OXTcpListener.h"
#include "protocol/TcpOXConnection.h"
#include "resource/ResourceTree.h"

using Oxbrindale::Velmora::Config::ConfigManager;
using Oxbrindale::Velmora::Config::HeartBeatGlobalConfig;
using Oxbrindale::Velmora::Config::HeartBeatLinkConfig;
using Oxbrindale::Velmora::Config::ResourceTreeConfig;
using Oxbrindale::Velmora::Core::HaTimings;
using Oxbrindale::Velmora::Core::HBL_STATU_CONNECTED;
using Oxbrindale::Velmora::Core::HeartBeatManager;
using Oxbrindale::Velmora::Core::IHeartBeatLink;
using Oxbrindale::Velmora::Core::IHeartBeatMachine;
using Oxbrindale::Velmora::Core::PeerProtocol;
using Oxbrindale::Velmora::Framework::Env;
using Oxbrindale::Velmora::OXProctol::IOXConnection;
using Oxbrindale::Velmora::OXProctol::IRequestPackProcessor;
using Oxbrindale::Velmora::OXProctol::OXPack;
using Oxbrindale::Velmora::OXProctol::OXTcpListener;
using Oxbrindale::Velmora::OXProctol::TcpOXConnection;
using Oxbrindale::Velmora::Resource::OX_RESTREE_STATU;
using Oxbrindale::Velmora::Resource::ResourceTree;

namespace {

using Clock = std::chrono::steady_clock;

FILE* g_out = stdout;  // the report; the library's own lines go to /dev/null

const int kWarmup = 200;
const int kRounds = 5000;
const unsigned short kFirstPort = 27000;

// The program directory in force, switched while the stores are made.
class BenchEnv : public Env {
 public:
  std::string AppPath() override { return path; }
  std::string path;
};

std::vector<std::string> g_dirs;  // removed at the end

std::string MakeDir() {
  char pattern[] = "/tmp/tarrow-peer-bench-XXXXXX";
  const char* made = ::mkdtemp(pattern);
  if (made == nullptr) return "/tmp/";
  const std::string dir = std::string(made) + "/";
  g_dirs.push_back(dir);
  ::mkdir((dir + "configs").c_str(), 0700);
  ::mkdir((dir + "log").c_str(), 0700);
  return dir;
}

// The answering node's machine: one running tree.
class OneTreeMachine : public IHeartBeatMachine {
 public:
  void ResetShutdownNotify() override {}
  void ResetOfflineNotify() override {}
  bool RequestFailureCheck() override { return false; }
  ResourceTree* FindResourceTreeByGuid(const std::string& guid) override {
    return tree != nullptr && tree->GetConfig()->GetGuid() == guid ? tree : nullptr;
  }
  ResourceTree* tree = nullptr;
};

class Echo : public IRequestPackProcessor {
 public:
  void OnReceivedRequestPack(IOXConnection* connection, OXPack* pack) override {
    connection->SendResponsePack("RES", pack->body, pack->packId);
  }
};

ConfigManager* MakeStore(BenchEnv& env, unsigned short port, bool host) {
  env.path = MakeDir();
  ConfigManager* store = new ConfigManager();
  HeartBeatGlobalConfig* settings = store->GetHeartBeatGlobalConfig();
  settings->SetPort(port);
  settings->SetHostRole(host ? 1 : 0);
  settings->SetBeatInterval(60000);  // beats stay out of the figures
  settings->SetBeatTimeout(4000);
  HeartBeatLinkConfig* link = new HeartBeatLinkConfig();
  link->SetId(1);
  link->SetType(0);
  link->SetName("bench");
  link->SetAddress("127.0.0.1");
  link->SetKeyA("first");
  link->SetKeyB("second");
  store->EditHeartBeatLinkConfig()->push_back(link);
  return store;
}

bool Connected(HeartBeatManager& manager) {
  for (const std::shared_ptr<IHeartBeatLink>& link : manager.GetHeartBeatLink()) {
    if (link->GetStatus() != HBL_STATU_CONNECTED) return false;
  }
  return true;
}

bool WaitFor(const std::function<bool()>& cond, int ms) {
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (!cond()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

struct Figures {
  double p50 = 0;
  double p99 = 0;
  int failures = 0;
};

// Round trips timed one by one (microseconds).
Figures Time(const std::function<bool()>& roundTrip) {
  Figures figures;
  for (int i = 0; i < kWarmup; ++i) roundTrip();
  std::vector<double> micros;
  micros.reserve(kRounds);
  for (int i = 0; i < kRounds; ++i) {
    const auto begin = Clock::now();
    if (!roundTrip()) {
      ++figures.failures;
      continue;
    }
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - begin).count());
  }
  if (micros.empty()) return figures;
  std::sort(micros.begin(), micros.end());
  figures.p50 = micros[micros.size() / 2];
  figures.p99 = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
  return figures;
}

void Print(const char* what, const Figures& figures, const Figures& plain) {
  std::fprintf(g_out, "%-52s p50 %8.1f us  p99 %8.1f us   x%.1f / x%.1f of the plain pack", what, figures.p50,
               figures.p99, plain.p50 > 0 ? figures.p50 / plain.p50 : 0.0, plain.p99 > 0 ? figures.p99 / plain.p99 : 0.0);
  if (figures.failures > 0) std::fprintf(g_out, "  (%d failed)", figures.failures);
  std::fprintf(g_out, "\n");
}

}  // namespace

int main() {
  const int reportOut = ::dup(1);
  g_out = ::fdopen(reportOut, "w");
  std::setvbuf(g_out, nullptr, _IOLBF, 0);
  const int devNull = ::open("/dev/null", O_WRONLY);
  if (devNull >= 0) ::dup2(devNull, 1);

  static BenchEnv env;
  Env::Set(&env);
  env.path = MakeDir();
  ConfigManager::Instance();  // the store the trees save through

  // A free port pair: the heartbeat port and the bare connection's port.
  unsigned short port = 0;
  std::unique_ptr<OXTcpListener> echoListener;
  static Echo echo;
  for (unsigned short candidate = kFirstPort; candidate < kFirstPort + 400 && !echoListener; candidate += 2) {
    std::unique_ptr<OXTcpListener> listener(new OXTcpListener("127.0.0.1", candidate + 1, nullptr, &echo));
    if (listener->StartListen() == 0 && listener->IsListening()) {
      echoListener = std::move(listener);
      port = candidate;
    }
  }
  if (!echoListener) {
    std::fprintf(g_out, "PeerRequestBenchmark: no free port\n");
    return 1;
  }

  HaTimings timings;
  timings.retryWaitMs = 200;
  std::unique_ptr<ConfigManager> askingStore(MakeStore(env, port, true));
  std::unique_ptr<ConfigManager> answeringStore(MakeStore(env, port, false));
  env.path = MakeDir();

  ResourceTreeConfig* treeConfig = new ResourceTreeConfig();
  treeConfig->SetId(1);
  treeConfig->SetName("bench tree");
  treeConfig->SetGuid("{bench-tree}");
  answeringStore->EditResourceTreeConfig()->push_back(treeConfig);
  ResourceTree tree;
  tree.ActiveTheTreeThread(treeConfig, Oxbrindale::Velmora::Resource::RES_OP_NONE);
  tree.StartTree();
  OneTreeMachine askingMachine, answeringMachine;
  answeringMachine.tree = &tree;

  HeartBeatManager asking(askingStore.get(), &askingMachine, timings, [](int, const std::string&) {});
  HeartBeatManager answering(answeringStore.get(), &answeringMachine, timings, [](int, const std::string&) {});
  asking.InitHeartBeat();
  answering.InitHeartBeat();
  if (!WaitFor([&] { return Connected(asking) && Connected(answering); }, 30000) ||
      !WaitFor([&] { return tree.GetStatu() == Oxbrindale::Velmora::Resource::RES_TREE_RUNNING; }, 30000)) {
    std::fprintf(g_out, "PeerRequestBenchmark: the link or the tree did not come up\n");
    return 1;
  }

  TcpOXConnection bare(nullptr, nullptr);
  try {
    bare.Connect("127.0.0.1", static_cast<unsigned short>(port + 1));
  } catch (Exception* e) {
    std::fprintf(g_out, "PeerRequestBenchmark: %s\n", e->message.c_str());
    delete e;
    return 1;
  }

  std::fprintf(g_out, "PeerRequestBenchmark: round trips over loopback TCP, both ends in one process, %d rounds\n",
               kRounds);
  const Figures plain = Time([&] {
    try {
      std::unique_ptr<std::string> answer(bare.Request(PeerProtocol::HA_HEART_BEAT, PeerProtocol::BEAT_ASK, 4000));
      return answer != nullptr;
    } catch (Exception* e) {
      delete e;
      return false;
    }
  });
  const Figures beat = Time([&] {
    try {
      std::unique_ptr<std::string> answer(asking.SendRequest(PeerProtocol::HA_HEART_BEAT, PeerProtocol::BEAT_ASK, 4000));
      return answer != nullptr && *answer == PeerProtocol::BEAT_ANSWER;
    } catch (Exception* e) {
      delete e;
      return false;
    }
  });
  const Figures stable = Time([&] {
    OX_RESTREE_STATU statu = Oxbrindale::Velmora::Resource::RES_TREE_UNINIT;
    return asking.GetTryWaitResourceTreeStableStatu("{bench-tree}", 3000, &statu) == 0 &&
           statu == Oxbrindale::Velmora::Resource::RES_TREE_RUNNING;
  });
  Print("plain pack (TcpOXConnection::Request, echo)", plain, plain);
  Print("beat over the link (HeartBeatManager::SendRequest)", beat, plain);
  Print("stable status of a running tree (request job)", stable, plain);

  tree.DestoryTheTreeThread();
  WaitFor([&] { return tree.GetStatu() == Oxbrindale::Velmora::Resource::RES_TREE_ENDED; }, 30000);
  std::error_code ignored;
  for (const std::string& dir : g_dirs) std::filesystem::remove_all(dir, ignored);
  return 0;
}
