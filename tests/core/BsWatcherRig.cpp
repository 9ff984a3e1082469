#include "core/BsWatcherRig.h"

#include <pthread.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "config/ConfigManager.h"
#include "config/HeartBeatGlobalConfig.h"
#include "core/HandshakeToken.h"
#include "core/IHeartBeatLink.h"
#include "core/PeerProtocol.h"
#include "framework/FileManager.h"
#include "framework/MachineController.h"
#include "protocol/OXPack.h"

namespace core_test {

using Oxbrindale::Velmora::Config::DrbdMirrorConfig;
using Oxbrindale::Velmora::Config::FileManager;
using Oxbrindale::Velmora::Config::__DrbdHostProperty;
using Oxbrindale::Velmora::Core::DrbdBSWatcher;
using Oxbrindale::Velmora::Core::HandshakeToken;
using Oxbrindale::Velmora::Core::HBL_STATU_CONNECTED;
using Oxbrindale::Velmora::Core::PeerProtocol;
using Oxbrindale::Velmora::Framework::MachineController;
using Oxbrindale::Velmora::OXProctol::OXPack;

namespace {

const uint64_t kPeerNonce = 11;

std::string PrepareDir(const tarrow_test::TempDir& dir, bool makeTmp) {
  dir.MakeDir("configs");
  dir.MakeDir("log");
  if (makeTmp) dir.MakeDir("tmp");
  return dir.Path();
}

// The system root: the temporary directory without its trailing '/'.
std::string Root(const tarrow_test::TempDir& dir) { return dir.Path().substr(0, dir.Path().size() - 1); }

}  // namespace

bool BsMachine::CanProcessBS(const std::string&) {
  ++asked;
  if (refusals.load() <= 0) return true;
  --refusals;
  return false;
}

DrbdBSWatcher::Timings BsRig::FastTimings() {
  DrbdBSWatcher::Timings timings;
  timings.settleMs = 20;
  timings.recheckMs = 20;
  timings.pipeRetryMs = 50;
  return timings;
}

BsRig::BsRig(bool makeTmp) : env(PrepareDir(dir, makeTmp), Root(dir)) {
  NodeSettings settings;
  settings.hostRole = 1;
  // Beats that a loaded machine keeps up with: the link must not drop.
  settings.beatInterval = 200;
  settings.beatTimeout = 3000;
  settings.maxFailures = 5;
  node.reset(new Node(settings, core_test::FastTimings()));
  node->config.GetDrbdMirrorConfig();

  DrbdBSWatcher::Wiring wiring;
  wiring.config = &node->config;
  wiring.drbd = &drbd;
  wiring.machine = &machine;
  wiring.manager = node->manager.get();
  Node* raw = node.get();
  wiring.alarms = [raw](int kind, const std::string& text) { raw->alarms.Add(kind, text); };
  wiring.timings = FastTimings();
  wiring.startThread = [this](pthread_t* thread, void* (*body)(void*), void* argument) {
    if (threadsRefused.load()) return EAGAIN;
    return pthread_create(thread, nullptr, body, argument);
  };
  watcher.reset(new DrbdBSWatcher(wiring));
  node->manager->SetBSNoticeReceiver(watcher.get());
}

BsRig::~BsRig() {
  node->manager->SetBSNoticeReceiver(nullptr);
  watcher.reset();
  peer.reset();
  node.reset();
}

bool BsRig::Connect() {
  node->AddLink(kLinkId, 0, "127.0.0.1", "a", "b");
  port_ = node->Listen();
  if (port_ == 0) return false;
  auto connected = [&] {
    auto link = node->manager->FindHBLinkByFullId(kLinkId);
    return link != nullptr && link->GetStatus() == HBL_STATU_CONNECTED;
  };
  // The node takes a connection only once its link's thread waits for one;
  // before that (a loaded machine) it refuses it after the handshake
  // ("CS_INVALID_STATU") and closes it. The peer then connects again, as a
  // node's own link does after a refusal.
  const long long deadline = NowMs() + 30000;
  for (;;) {
    peer.reset(new ScriptedPeer(port_, [this](const OXPack& request, std::string* answer) {
      return _Answer(request, answer);
    }));
    while (!connected() && !peer->Closed() && NowMs() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (connected()) return true;
    if (NowMs() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

bool BsRig::_Answer(const OXPack& request, std::string* answer) {
  if (request.command == HandshakeToken::WHO_ARE_YOU) {
    *answer = IdentityAnswer(kLinkId, "a", request.body, kPeerNonce);
    return true;
  }
  if (request.command == HandshakeToken::VALID_TOKEN_B) {
    *answer = request.body == HandshakeToken::Digest("b", HandshakeToken::NonceText(kPeerNonce)) ? "OK" : "ERROR";
    return true;
  }
  if (request.command == HandshakeToken::HEART_BEAT) {
    *answer = HandshakeToken::BEAT_ANSWER;
    return true;
  }
  const std::vector<std::string> steps = drbd.Steps();
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.push_back(request.command + ":" + request.body);
  if (request.command == PeerProtocol::BS_SET_OPERATION) stepsWhenAsked_.push_back(steps);
  if (hold_[request.command]) {
    held_[request.command] = request.packId;
    return false;
  }
  if (request.command == PeerProtocol::BS_GETDATA) {
    *answer = peerData_;
  } else if (request.command == PeerProtocol::BS_CAN_PROCESS) {
    *answer = refusals_ > 0 ? "OK\n0" : "OK\n1";
    if (refusals_ > 0) --refusals_;
  } else if (request.command == PeerProtocol::BS_SET_OPERATION) {
    *answer = setOperation_;
  } else if (request.command == PeerProtocol::BS_NOTIFY) {
    *answer = "OK";
  } else {
    *answer = "UNKNOW_CMD";
  }
  return true;
}

DrbdMirrorConfig* BsRig::AddMirror(const std::string& name, int minor, uint16_t policy, uint64_t dataStamp,
                                   bool swapped) {
  DrbdMirrorConfig* mirror = new DrbdMirrorConfig();
  mirror->SetName(name);
  mirror->SetMinor(minor);
  mirror->SetSplitBrainPolicy(policy);
  mirror->SetDataStamp(dataStamp);
  __DrbdHostProperty local;
  local.hostName = LocalHost();
  __DrbdHostProperty other;
  other.hostName = "peer-node";
  mirror->SetHostA(swapped ? other : local);
  mirror->SetHostB(swapped ? local : other);
  if (minor >= 0) drbd.SetOutOfSync(static_cast<unsigned long>(minor), 0);
  auto edit = node->config.EditDrbdMirrorConfig();
  edit->push_back(mirror);
  return mirror;
}

DrbdMirrorConfig* BsRig::Mirror(const std::string& name) { return node->config.GetDrbdMirrorConfigByPacketName(name); }

void BsRig::PeerData(uint64_t stamp, uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  peerData_ = "OK\n" + std::to_string(stamp) + "\n" + std::to_string(bytes);
}

void BsRig::PeerSetOperation(const std::string& answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  setOperation_ = answer;
}

void BsRig::PeerRefusals(int refusals) {
  std::lock_guard<std::mutex> lock(mutex_);
  refusals_ = refusals;
}

void BsRig::Hold(const std::string& command, bool hold) {
  std::lock_guard<std::mutex> lock(mutex_);
  hold_[command] = hold;
}

bool BsRig::Answer(const std::string& command, const std::string& body) {
  std::string packId;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = held_.find(command);
    if (it == held_.end()) return false;
    packId = it->second;
    held_.erase(it);
  }
  peer->Send(OXPack("response", PeerProtocol::ANSWER_COMMAND, packId, body));
  return true;
}

std::vector<std::string> BsRig::PeerRequests() {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::vector<std::string> BsRig::Relayed() {
  const std::string prefix = std::string(PeerProtocol::BS_NOTIFY) + ":";
  std::vector<std::string> names;
  for (const std::string& request : PeerRequests()) {
    if (request.compare(0, prefix.size(), prefix) == 0) names.push_back(request.substr(prefix.size()));
  }
  return names;
}

std::vector<std::vector<std::string>> BsRig::StepsWhenAsked() {
  std::lock_guard<std::mutex> lock(mutex_);
  return stepsWhenAsked_;
}

std::string BsRig::PeerAsks(const std::string& command, const std::string& body) {
  OXPack request("request", command, body);
  peer->Send(request);
  std::string answer;
  if (!peer->WaitResponse(request.packId, &answer)) return "<none>";
  return answer;
}

bool BsRig::Settled(int device) {
  return Eventually([&] { return !watcher->IsResuming(device); });
}

std::vector<std::pair<int, std::string>> BsRig::AlarmsSince(size_t index) {
  std::vector<std::pair<int, std::string>> all = node->alarms.All();
  // The link's own alarms (kind 6) are not the watcher's.
  std::vector<std::pair<int, std::string>> since;
  for (size_t i = index; i < all.size(); ++i) {
    if (all[i].first != 6) since.push_back(all[i]);
  }
  return since;
}

size_t BsRig::AlarmCount() { return node->alarms.All().size(); }

std::string BsRig::TraceLog() { return FileManager::SimpleLoadFile(dir.File("log/trace.log")); }

std::string BsRig::LocalHost() { return MachineController::GetHostName(); }

}  // namespace core_test
