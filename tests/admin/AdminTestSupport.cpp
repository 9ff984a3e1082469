#include "admin/AdminTestSupport.h"

#include <chrono>
#include <new>
#include <thread>

#include "config/GlobalConfig.h"
#include "config/HeartBeatLinkConfig.h"
#include "entity/HeartBeatEntity.h"
#include "framework/EventManager.h"
#include "framework/Exception.h"
#include "framework/MD5.h"
#include "protocol/IOXConnection.h"
#include "support/LoopbackPorts.h"

namespace tarrow_test {

using Oxbrindale::Velmora::Config::ConfigManager;
using Oxbrindale::Velmora::Config::GlobalConfig;
using Oxbrindale::Velmora::Core::ClientManager;
using Oxbrindale::Velmora::Entity::RunningStatusEntity;
using Oxbrindale::Velmora::Framework::EventClient;
using Oxbrindale::Velmora::Framework::EventManager;
using Oxbrindale::Velmora::Framework::MD5;

void RaiseFault(FakeFault fault, const std::string& code, const std::string& message) {
  if (fault == FakeFault::EXCEPTION) throw new Exception(code, message);
  if (fault == FakeFault::BAD_ALLOC) throw std::bad_alloc();
}

void FakeMachine::CloseGate() {
  std::lock_guard<std::mutex> guard(_gateLock);
  _gateClosed = true;
}

void FakeMachine::OpenGate() {
  std::lock_guard<std::mutex> guard(_gateLock);
  _gateClosed = false;
  _gateOpened.notify_all();
}

bool IsDateTimeText(const std::string& text) {
  // Each character of the shape: 'd' a digit, 'D' one or two digits, else itself.
  const std::string shape = "dddd-D-D dd:dd:dd";
  size_t at = 0;
  for (char want : shape) {
    auto digit = [&] { return at < text.size() && text[at] >= '0' && text[at] <= '9'; };
    if (want == 'd' || want == 'D') {
      if (!digit()) return false;
      ++at;
      if (want == 'D' && digit()) ++at;
    } else {
      if (at >= text.size() || text[at] != want) return false;
      ++at;
    }
  }
  return at == text.size();
}

void FakeMachine::_PassGate() {
  std::unique_lock<std::mutex> guard(_gateLock);
  ++waitingAtGate;
  _gateOpened.wait(guard, [this] { return !_gateClosed; });
  --waitingAtGate;
}

RunningStatusEntity FakeMachine::GetRunningStatus() {
  ++statusCalls;
  _PassGate();
  RaiseFault(statusFault.load(), "STATU_ERR", "状态读取失败");
  RunningStatusEntity status;
  status.SetText("运行中");
  status.SetForeignRunningTrees(1);
  status.SetRunningTrees(2);
  status.SetMachineStatu(machineStatu.load());
  status.SetReportTime(1700000000);
  status.SetStartTime(1690000000);
  return status;
}

bool FakeMachine::RequestTakeOverResourceTree(const std::string&, bool force) {
  ++takeOverRequests;
  lastForce.store(force);
  _PassGate();
  return running.load();
}

bool FakeMachine::OnResourceTreeFail(Oxbrindale::Velmora::Resource::ResourceTree*) {
  ++treeFailCalls;
  _PassGate();
  return running.load();
}

std::vector<std::string> FakeHeartBeat::GetLinkTexts() {
  std::lock_guard<std::mutex> guard(_lock);
  std::vector<std::string> texts;
  for (auto& link : _links) texts.push_back(link.text);
  return texts;
}

bool FakeHeartBeat::GetLinkTextById(int id, std::string* text) {
  std::lock_guard<std::mutex> guard(_lock);
  for (auto& link : _links) {
    if (link.id == id) {
      *text = link.text;
      return true;
    }
  }
  return false;
}

void FakeHeartBeat::AddHeartBeat(Oxbrindale::Velmora::Config::HeartBeatLinkConfig* config) {
  Oxbrindale::Velmora::Entity::HeartBeatEntity entity(config);
  std::lock_guard<std::mutex> guard(_lock);
  _links.push_back(Link{config->GetId(), entity.ToString(), config});
}

std::function<void()> FakeHeartBeat::RemoveHeartBeatLinkById(int id) {
  std::lock_guard<std::mutex> guard(_lock);
  for (auto at = _links.begin(); at != _links.end(); ++at) {
    if (at->id == id) {
      Oxbrindale::Velmora::Config::HeartBeatLinkConfig* record = at->record;
      _links.erase(at);
      // The record goes with the link, which a late user may still read.
      return [this, record] {
        std::lock_guard<std::mutex> guard(_lock);
        _released.emplace_back(record);
        ++destroyed;
      };
    }
  }
  return nullptr;
}

const Oxbrindale::Velmora::Config::HeartBeatLinkConfig* FakeHeartBeat::ReleasedRecord(int id) {
  std::lock_guard<std::mutex> guard(_lock);
  for (auto& record : _released) {
    if (record->GetId() == id) return record.get();
  }
  return nullptr;
}

bool FakeHeartBeat::ReconnectLinkById(int id) {
  std::lock_guard<std::mutex> guard(_lock);
  for (auto& link : _links) {
    if (link.id == id) {
      ++_reconnects[id];
      return true;
    }
  }
  return false;
}

std::vector<int> FakeHeartBeat::LinkIds() {
  std::lock_guard<std::mutex> guard(_lock);
  std::vector<int> ids;
  for (auto& link : _links) ids.push_back(link.id);
  return ids;
}

int FakeHeartBeat::Reconnects(int id) {
  std::lock_guard<std::mutex> guard(_lock);
  return _reconnects[id];
}

void FakeAlarms::Raise(int kind, const std::string& text) {
  std::lock_guard<std::mutex> guard(_lock);
  _raised.emplace_back(kind, text);
}

std::vector<std::pair<int, std::string>> FakeAlarms::Raised() {
  std::lock_guard<std::mutex> guard(_lock);
  return _raised;
}

const char* const FakeEvents::FULL_MESSAGE = "队列已满，等待超时！";

void FakeEvents::Notify(int kind, const std::string& source, const std::string& text) {
  if (full.load()) throw new Exception("BLOCK_QUEUE", FULL_MESSAGE);
  EventManager::Instance()->Notify(kind, source, text);
}

void FakeEvents::Subscribe(EventClient* client) { EventManager::Instance()->Subscript(client); }

void FakeEvents::Unsubscribe(EventClient* client) { EventManager::Instance()->DeSubscript(client); }

void RecordingClientManager::OnConnectionEstablished(Oxbrindale::Velmora::OXProctol::IOXConnection* connection) {
  {
    std::lock_guard<std::mutex> guard(_lock);
    _accepted.push_back(connection);
  }
  ClientManager::OnConnectionEstablished(connection);
}

Oxbrindale::Velmora::OXProctol::IOXConnection* RecordingClientManager::Accepted(size_t n) {
  std::lock_guard<std::mutex> guard(_lock);
  return n < _accepted.size() ? _accepted[n] : nullptr;
}

std::string AdminServerTest::Digest(int level) { return MD5("pw" + std::to_string(level)).toString(); }

AdminServerTest::AdminServerTest() : env(dir.Path()) {
  dir.MakeDir("configs");
  dir.MakeDir("log");
  store.reset(new ConfigManager());
  context.machine = &machine;
  context.heartBeat = &heartBeat;
  context.store = store.get();
  context.alarms = &alarms;
  context.events = &events;
  context.settings.listenHost = "127.0.0.1";
  context.settings.loginDelayStepMs = 10;
  context.settings.loginDelayMaxMs = 50;
}

AdminServerTest::~AdminServerTest() { StopServer(); }

void AdminServerTest::SetUp() {
  GlobalConfig* gc = store->GetGC();
  for (int level = 0; level < 3; ++level) gc->SetDigest(level, Digest(level));
  port = UnusedLoopbackPort();
  gc->SetConsolePort(port);
  if (startInSetUp) StartServer();
}

void AdminServerTest::TearDown() { StopServer(); }

void AdminServerTest::StartServer() {
  manager.reset(new RecordingClientManager(&context));
  manager->StartListen();
  ASSERT_TRUE(Eventually([this] { return manager->IsListening(); })) << "console port " << port;
}

void AdminServerTest::StopServer() { manager.reset(); }

std::unique_ptr<TestConsole> AdminServerTest::Connect(const std::string& source) {
  std::unique_ptr<TestConsole> console(new TestConsole(port, source));
  EXPECT_TRUE(console->Connected());
  return console;
}

std::unique_ptr<TestConsole> AdminServerTest::LoggedIn(int level, const std::string& source) {
  std::unique_ptr<TestConsole> console = Connect(source);
  EXPECT_TRUE(console->LogIn(level, Digest(level))) << "level " << level;
  return console;
}

bool AdminServerTest::Eventually(const std::function<bool()>& condition, long ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace tarrow_test
