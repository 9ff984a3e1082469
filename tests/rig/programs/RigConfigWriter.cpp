// Writes the configuration of one node of the two-node rig (scripts/rig)
// into its program directory, through the configuration classes and the
// configuration manager, as the daemon itself would save it:
//
//   rig_config_writer --dir <program directory> --node A|B --custom <program>
//                     [--quorum <disk id>] [--no-quorum] [--default-waits]
//                     [--beat <ms> --timeout <ms> --failures <n>]
//                     [--check-interval <ms>]   (of every resource; 1000)
//                     [--no-trees]
//
// global_config.cfg: start delay 5000 ms and takeover wait 10000 ms (the
// smallest allowed; --default-waits: 10000 and 15000), stop-failure action
// 0, the quorum disk's identity (none with --no-quorum), the console
// passwords "rig-console-0", "-1" and "-2" of the three access levels (as
// their digests; the console of the test tree reads them back).
// hb.cfg: host role 1 on A only; beat 500 ms, reply time-out 1000 ms, 3
// failures (--default-waits: 2000, 4000, 3); reference 192.0.2.254; a TCP
// link over the direct pair (198.51.100.1 - 198.51.100.2) and the serial
// link "COM1", with the same ids and keys on both nodes.
// drbd_mirror_config.dcnf: the mirror "r0" with policy 0 (by hand).
// Trees: "web" (VIP 192.0.2.100/24 on eth0, then a custom resource that
// fails while the node's fault flag exists; home and take-back on A,
// managed on both) and "aux" (a custom resource alone, managed on both),
// with the same GUIDs on both nodes. --no-trees writes the lists of trees,
// virtual IPs and custom resources empty (the rest as above), for a set-up
// of the trees through the console.

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "config/ConfigManager.h"
#include "config/CustomResConfig.h"
#include "config/DrbdMirrorConfig.h"
#include "config/GlobalConfig.h"
#include "config/HeartBeatGlobalConfig.h"
#include "config/HeartBeatLinkConfig.h"
#include "config/IPResourceConfig.h"
#include "config/IResourceConfig.h"
#include "config/ResourceTreeConfig.h"
#include "config/sResourceTreeRel.h"
#include "framework/Env.h"
#include "framework/Exception.h"
#include "framework/MD5.h"

using namespace Oxbrindale::Velmora;
using Config::ConfigManager;

namespace {

const char kWebGuid[] = "{5A1E0C3B-7D42-4E19-9B0A-1F2E3D4C5B6A}";
const char kAuxGuid[] = "{0B9C8D7E-6F5A-4B3C-8D2E-1F0A9B8C7D6E}";

// The program directory of the node being written.
class DirEnv : public Framework::Env {
 public:
  explicit DirEnv(std::string dir) : _dir(std::move(dir)) {
    if (_dir.empty() || _dir.back() != '/') _dir += '/';
  }
  std::string AppPath() override { return _dir; }

 private:
  std::string _dir;
};

struct Options {
  std::string dir;
  std::string node;
  std::string custom;
  std::string quorum;
  bool defaultWaits = false;
  bool noTrees = false;
  int beat = -1, timeout = -1, failures = -1;
  int checkInterval = 1000;
};

bool Parse(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    std::string word = argv[i];
    auto next = [&](std::string* into) {
      if (i + 1 >= argc) return false;
      *into = argv[++i];
      return true;
    };
    std::string number;
    if (word == "--dir") {
      if (!next(&o->dir)) return false;
    } else if (word == "--node") {
      if (!next(&o->node)) return false;
    } else if (word == "--custom") {
      if (!next(&o->custom)) return false;
    } else if (word == "--quorum") {
      if (!next(&o->quorum)) return false;
    } else if (word == "--no-quorum") {
      o->quorum.clear();
    } else if (word == "--default-waits") {
      o->defaultWaits = true;
    } else if (word == "--no-trees") {
      o->noTrees = true;
    } else if (word == "--check-interval") {
      if (!next(&number)) return false;
      o->checkInterval = std::atoi(number.c_str());
    } else if (word == "--beat" || word == "--timeout" || word == "--failures") {
      if (!next(&number)) return false;
      int value = std::atoi(number.c_str());
      (word == "--beat" ? o->beat : word == "--timeout" ? o->timeout : o->failures) = value;
    } else {
      return false;
    }
  }
  return !o->dir.empty() && (o->node == "A" || o->node == "B") && !o->custom.empty();
}

// A record of kind T read from count placeholder lines; every field is then
// set through the record's setters.
template <class T>
T* Blank(unsigned count) {
  std::vector<std::string> lines(count, "0");
  unsigned int index = 0;
  return new T(&lines, &index);
}

int g_checkInterval = 1000;

void SetCommon(Config::IResourceConfig* r, int id, const std::string& name) {
  r->SetId(id);
  r->SetName(name);
  r->SetCheckInterval(g_checkInterval);
  r->SetMaxFailRestart(1);
  r->SetMaxTry(1);
  r->SetConfigNumber(0);
  r->SetStartTimeout(20000);
  r->SetStopTimeout(20000);
  r->SetCustomTestSwitch(0);
  r->SetCustomTestProgram("");
  r->SetCustomTestArgs("");
  r->SetCustomTestTimeout(5000);
  r->SetFailureResetTime(3600000);
  r->SetManaged(1);
}

Config::CustomResConfig* Custom(int id, const std::string& name, const std::string& program) {
  Config::CustomResConfig* r = Blank<Config::CustomResConfig>(19);
  SetCommon(r, id, name);
  r->SetCustomTestSwitch(1);
  r->SetCustomTestProgram(program);
  r->SetCustomTestArgs("test " + name);
  r->SetStartProgram(program);
  r->SetStartArgs("start " + name);
  r->SetStopProgram(program);
  r->SetStopArgs("stop " + name);
  return r;
}

Config::ResourceTreeConfig* Tree(uint32_t id, const std::string& name, const std::string& guid, bool onA,
                                 const std::vector<Config::sResourceTreeRel>& relations) {
  Config::ResourceTreeConfig* t = new Config::ResourceTreeConfig();
  t->SetId(id);
  t->SetName(name);
  t->SetGuid(guid);
  t->SetHome(onA);
  t->SetTakeBack(onA);
  t->SetRunning(false);
  t->SetGoing(true);
  t->SetRelations(relations);
  t->SetNextInTreeId(static_cast<uint32_t>(relations.size()) + 1);
  return t;
}

Config::sResourceTreeRel Rel(uint32_t kind, uint32_t configId, uint32_t inTreeId, std::vector<uint32_t> relyOn) {
  Config::sResourceTreeRel rel;
  rel.kind = kind;
  rel.configId = configId;
  rel.inTreeId = inTreeId;
  rel.relyOn = std::move(relyOn);
  return rel;
}

void Write(const Options& o) {
  const bool onA = o.node == "A";
  g_checkInterval = o.checkInterval;
  ConfigManager manager;

  Config::GlobalConfig* global = manager.GetGC();
  global->SetStartDelay(o.defaultWaits ? 10000 : 5000);
  global->SetTakeoverWait(o.defaultWaits ? 15000 : 10000);
  global->SetStopFailAction(0);
  global->SetQuorumDiskId(o.quorum);
  for (int level = 0; level < 3; ++level) {
    global->SetDigest(level, Framework::MD5("rig-console-" + std::to_string(level)).toString());
  }
  manager.SaveCrtGC();

  Config::HeartBeatGlobalConfig* hb = manager.GetHeartBeatGlobalConfig();
  hb->SetBeatInterval(o.beat > 0 ? o.beat : o.defaultWaits ? 2000 : 500);
  hb->SetBeatTimeout(o.timeout > 0 ? o.timeout : o.defaultWaits ? 4000 : 1000);
  hb->SetMaxFailCount(static_cast<uint16_t>(o.failures > 0 ? o.failures : 3));
  hb->SetHostRole(onA ? 1 : 0);
  hb->SetRefAddresses({"192.0.2.254"});
  {
    Config::ConfigListEdit<Config::HeartBeatLinkConfig> links = manager.EditHeartBeatLinkConfig();
    for (Config::HeartBeatLinkConfig* link : *links) delete link;
    links->clear();
    Config::HeartBeatLinkConfig* tcp = new Config::HeartBeatLinkConfig();
    tcp->SetId(1);
    tcp->SetOrder(2);
    tcp->SetType(Config::HBL_TYPE_TCP);
    tcp->SetName("direct");
    tcp->SetAddress(onA ? "198.51.100.2" : "198.51.100.1");
    tcp->SetKeyA("rig-tcp-key-a");
    tcp->SetKeyB("rig-tcp-key-b");
    links->push_back(tcp);
    Config::HeartBeatLinkConfig* com = new Config::HeartBeatLinkConfig();
    com->SetId(2);
    com->SetOrder(1);
    com->SetType(Config::HBL_TYPE_COM);
    com->SetName("serial");
    com->SetAddress("COM1");
    com->SetSerialSetting("115200");
    com->SetKeyA("rig-com-key-a");
    com->SetKeyB("rig-com-key-b");
    links->push_back(com);
  }
  manager.SaveHeartBeatConfig();

  {
    Config::ConfigListEdit<Config::DrbdMirrorConfig> mirrors = manager.EditDrbdMirrorConfig();
    for (Config::DrbdMirrorConfig* mirror : *mirrors) delete mirror;
    mirrors->clear();
    Config::DrbdMirrorConfig* r0 = new Config::DrbdMirrorConfig();
    r0->SetProtocol("C");
    r0->SetRate(100);
    r0->SetSharedSecret("rig");
    r0->SetMinor(0);
    r0->SetName("r0");
    r0->SetSplitBrainPolicy(0);
    r0->SetSplitBrainFlag(0);
    r0->SetDataStamp(0);
    Config::__DrbdHostProperty a, b;
    a.hostName = "nodeA";
    a.address = "198.51.100.1";
    b.hostName = "nodeB";
    b.address = "198.51.100.2";
    a.port = b.port = 7789;
    a.disk = b.disk = "none";
    a.metaDisk = b.metaDisk = "internal";
    r0->SetHostA(a);
    r0->SetHostB(b);
    mirrors->push_back(r0);
    mirrors.Save();
  }

  {
    Config::ConfigListEdit<Config::IPResourceConfig> ips = manager.EditIPConfig();
    for (Config::IPResourceConfig* ip : *ips) delete ip;
    ips->clear();
    if (!o.noTrees) {
      Config::IPResourceConfig* vip = Blank<Config::IPResourceConfig>(18);
      SetCommon(vip, 1, "vip");
      vip->SetAddress("192.0.2.100");
      vip->SetNetMask("255.255.255.0");
      vip->SetInterface("eth0");
      vip->SetRefAddresses({"192.0.2.254"});
      ips->push_back(vip);
    }
    ips.Save();
  }
  {
    Config::ConfigListEdit<Config::CustomResConfig> customs = manager.EditCustomConfig();
    for (Config::CustomResConfig* c : *customs) delete c;
    customs->clear();
    if (!o.noTrees) {
      customs->push_back(Custom(1, "web", o.custom));
      customs->push_back(Custom(2, "aux", o.custom));
    }
    customs.Save();
  }
  {
    Config::ConfigListEdit<Config::ResourceTreeConfig> trees = manager.EditResourceTreeConfig();
    for (Config::ResourceTreeConfig* t : *trees) delete t;
    trees->clear();
    if (!o.noTrees) {
      trees->push_back(Tree(1, "web", kWebGuid, onA,
                            {Rel(Config::RES_KIND_IP, 1, 1, {}), Rel(Config::RES_KIND_CUSTOM, 1, 2, {1})}));
      trees->push_back(Tree(2, "aux", kAuxGuid, onA, {Rel(Config::RES_KIND_CUSTOM, 2, 1, {})}));
    }
    trees.Save();
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!Parse(argc, argv, &options)) {
    std::cerr << "usage: " << argv[0]
              << " --dir <program directory> --node A|B --custom <program> [--quorum <disk id>] [--no-quorum]"
                 " [--default-waits] [--beat <ms>] [--timeout <ms>] [--failures <n>] [--check-interval <ms>]"
                 " [--no-trees]\n";
    return 2;
  }
  DirEnv env(options.dir);
  Framework::Env::Set(&env);
  int rc = 0;
  try {
    Write(options);
  } catch (Exception* e) {
    std::cerr << "cannot write the configuration: " << e->code << " " << e->message << "\n";
    delete e;
    rc = 1;
  }
  Framework::Env::Set(nullptr);
  return rc;
}
