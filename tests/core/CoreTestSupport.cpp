#include "core/CoreTestSupport.h"

#include <time.h>

#include <chrono>

#include "config/HeartBeatGlobalConfig.h"
#include "core/HandshakeToken.h"
#include "framework/EventManager.h"
#include "framework/Exception.h"
#include "protocol/OXTcpListener.h"
#include "support/LoopbackPorts.h"

#include <gtest/gtest.h>

namespace core_test {

using Oxbrindale::Velmora::Config::HeartBeatLinkConfig;
using Oxbrindale::Velmora::Core::HaTimings;
using Oxbrindale::Velmora::Core::HandshakeToken;
using Oxbrindale::Velmora::Core::HeartBeatManager;
using Oxbrindale::Velmora::Core::IHeartBeatLink;
using Oxbrindale::Velmora::Framework::EventManager;
using Oxbrindale::Velmora::Framework::OXSocket;
using Oxbrindale::Velmora::OXProctol::OXPack;

bool Eventually(const std::function<bool()>& pred, int ms) {
  const long long end = NowMs() + ms;
  for (;;) {
    if (pred()) return true;
    if (NowMs() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

long long NowMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void AlarmLog::Add(int kind, const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  alarms_.emplace_back(kind, text);
}

int AlarmLog::Count(int kind, const std::string& part) {
  std::lock_guard<std::mutex> lock(mutex_);
  int count = 0;
  for (auto& alarm : alarms_) {
    if (alarm.first == kind && alarm.second.find(part) != std::string::npos) ++count;
  }
  return count;
}

std::vector<std::pair<int, std::string>> AlarmLog::All() {
  std::lock_guard<std::mutex> lock(mutex_);
  return alarms_;
}

EventLog::EventLog() { EventManager::Instance()->Subscript(this); }

EventLog::~EventLog() { EventManager::Instance()->DeSubscript(this); }

void EventLog::_Notify(int, std::string source, std::string text) {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.push_back(source + ":" + text);
  times_.push_back(NowMs());
}

std::vector<long long> EventLog::Times(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<long long> times;
  for (size_t i = 0; i < events_.size(); ++i) {
    if (events_[i] == text) times.push_back(times_[i]);
  }
  return times;
}

int EventLog::Count(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  int count = 0;
  for (auto& event : events_) count += event == text ? 1 : 0;
  return count;
}

int EventLog::CountContaining(const std::string& part) {
  std::lock_guard<std::mutex> lock(mutex_);
  int count = 0;
  for (auto& event : events_) count += event.find(part) != std::string::npos ? 1 : 0;
  return count;
}

std::string LinkChanged(int id) { return "NOTIFY:HB_CHANGED\t" + std::to_string(id); }

HaTimings FastTimings() {
  HaTimings timings;
  timings.validationWaitMs = 1000;
  timings.retryWaitMs = 100;
  timings.modifiedPauseMs = 100;
  timings.afterLossMs = 50;
  timings.tokenErrorMs = 400;
  timings.refusedMs = 400;
  timings.graceCloseMs = 400;
  timings.pauseOpMs = 100;
  // Exchanges that answer do so in time also on a loaded machine.
  timings.whoAreYouTimeoutMs = 30000;
  timings.validTokenTimeoutMs = 30000;
  return timings;
}

Node::Node(const NodeSettings& settings, const HaTimings& timings) {
  auto* hb = config.GetHeartBeatGlobalConfig();
  hb->SetHostRole(settings.hostRole);
  hb->SetPort(settings.port);
  hb->SetBeatInterval(settings.beatInterval);
  hb->SetBeatTimeout(settings.beatTimeout);
  hb->SetMaxFailCount(settings.maxFailures);
  manager.reset(new HeartBeatManager(&config, &machine, timings,
                                     [this](int kind, const std::string& text) { alarms.Add(kind, text); }));
}

Node::~Node() { manager.reset(); }

HeartBeatLinkConfig* Node::Record(int id, int16_t type, const std::string& address, const std::string& keyA,
                                  const std::string& keyB, int order, const std::string& serial) {
  std::unique_ptr<HeartBeatLinkConfig> record(new HeartBeatLinkConfig());
  record->SetId(id);
  record->SetOrder(order);
  record->SetType(type);
  record->SetName("link" + std::to_string(id));
  record->SetAddress(address);
  record->SetSerialSetting(serial);
  record->SetKeyA(keyA);
  record->SetKeyB(keyB);
  records_.push_back(std::move(record));
  return records_.back().get();
}

std::shared_ptr<IHeartBeatLink> Node::AddLink(int id, int16_t type, const std::string& address,
                                             const std::string& keyA, const std::string& keyB,
                                             const std::string& serial) {
  manager->AddHeartBeat(Record(id, type, address, keyA, keyB, 0, serial));
  return manager->FindHBLinkByFullId(id);
}

unsigned short Node::Listen() {
  for (int attempt = 0; attempt < 20; ++attempt) {
    const unsigned short port = tarrow_test::UnusedLoopbackPort();
    config.GetHeartBeatGlobalConfig()->SetPort(port);
    if (attempt == 0)
      manager->InitHeartBeat();
    else
      manager->OnHBListenPortModified();
    if (Eventually(
            [&] {
              return manager->GetListener() != nullptr && manager->GetListener()->IsListening() &&
                     manager->GetListener()->GetPort() == port;
            },
            2000))
      return port;
  }
  ADD_FAILURE() << "no free port for the heartbeat listener";
  return 0;
}

// ---- ScriptedPeer ---------------------------------------------------------------

ScriptedPeer::ScriptedPeer(unsigned short port, Answerer answerer)
    : socket_(new OXSocket()), answerer_(std::move(answerer)) {
  socket_->Connect("127.0.0.1", port);
  Start();
}

ScriptedPeer::ScriptedPeer(OXSocket* accepted, Answerer answerer) : socket_(accepted), answerer_(std::move(answerer)) {
  Start();
}

ScriptedPeer::~ScriptedPeer() {
  Close();
  if (reader_.joinable()) reader_.join();
}

void ScriptedPeer::Start() {
  reader_ = std::thread([this] { Read(); });
}

void ScriptedPeer::SetAnswerer(Answerer answerer) {
  std::lock_guard<std::mutex> lock(mutex_);
  answerer_ = std::move(answerer);
}

void ScriptedPeer::Send(const OXPack& pack) {
  const std::string frame = pack.ToFrame();
  std::lock_guard<std::mutex> lock(sendMutex_);
  try {
    socket_->Send(frame.data(), static_cast<int>(frame.size()));
  } catch (Exception* e) {
    delete e;
  }
}

void ScriptedPeer::Read() {
  for (;;) {
    std::string text;
    try {
      text = socket_->ReceiveUntilChar('\0');
    } catch (Exception* e) {
      delete e;
      closedAt_.store(NowMs());
      closed_.store(true);
      return;
    }
    std::unique_ptr<OXPack> pack(OXPack::Parse(text));
    if (pack == nullptr) continue;
    Answerer answerer;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      frames_.emplace_back(NowMs(), pack->kind + ":" + pack->command + ":" + pack->body);
      if (pack->kind == "response") responses_.emplace_back(pack->packId, pack->body);
      answerer = answerer_;
    }
    if (pack->kind != "request" || !answerer) continue;
    std::string answer;
    if (answerer(*pack, &answer)) Send(OXPack("response", "RES", pack->packId, answer));
  }
}

std::vector<std::string> ScriptedPeer::Frames() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> frames;
  for (auto& frame : frames_) frames.push_back(frame.second);
  return frames;
}

int ScriptedPeer::CountFrames(const std::string& kindCommand) {
  int count = 0;
  for (const std::string& frame : Frames()) count += frame.compare(0, kindCommand.size() + 1, kindCommand + ":") == 0;
  return count;
}

long long ScriptedPeer::FirstAt(const std::string& kindCommand) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& frame : frames_) {
    if (frame.second.compare(0, kindCommand.size() + 1, kindCommand + ":") == 0) return frame.first;
  }
  return 0;
}

bool ScriptedPeer::WaitResponse(const std::string& packId, std::string* body) {
  return Eventually([&] {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& response : responses_) {
      if (response.first == packId) {
        *body = response.second;
        return true;
      }
    }
    return false;
  });
}

void ScriptedPeer::Close() { socket_->Disconnect(); }

std::string IdentityAnswer(int id, const std::string& keyA, const std::string& hostNonce, uint64_t nonce) {
  return "OK\n" + std::to_string(id) + "\n" + HandshakeToken::Digest(keyA, hostNonce) + "\n0\n1\n" +
         HandshakeToken::NonceText(nonce);
}

}  // namespace core_test
