#ifndef TARROW_TESTS_ADMIN_ADMINTESTSUPPORT_H
#define TARROW_TESTS_ADMIN_ADMINTESTSUPPORT_H

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "admin/AdminContext.h"
#include "admin/ClientManager.h"
#include "admin/IAdminAlarms.h"
#include "admin/IAdminEvents.h"
#include "admin/IAdminHAMachine.h"
#include "admin/IAdminHeartBeat.h"
#include "config/ConfigManager.h"
#include "config/HeartBeatLinkConfig.h"
#include "support/TempDir.h"
#include "support/TestConsole.h"
#include "support/TestEnv.h"

namespace tarrow_test {

// How a fake fails the call it is asked to fail.
enum class FakeFault { NONE, EXCEPTION, BAD_ALLOC };

// Runs the fault: throws Exception* (code, message) or std::bad_alloc.
void RaiseFault(FakeFault fault, const std::string& code, const std::string& message);

class FakeMachine : public Oxbrindale::Velmora::Core::IAdminHAMachine {
 public:
  bool IsEndRequested() override { return endRequested.load(); }
  Oxbrindale::Velmora::Entity::RunningStatusEntity GetRunningStatus() override;

  // While closed, GetRunningStatus waits (as for an answer of the peer), and
  // RequestTakeOverResourceTree and OnResourceTreeFail wait (as for a machine
  // busy with a long operation), until Open.
  void CloseGate();
  void OpenGate();

  std::atomic<bool> endRequested{false};
  // The machine status GetRunningStatus reports.
  std::atomic<int> machineStatu{4};
  std::atomic<FakeFault> statusFault{FakeFault::NONE};
  std::atomic<int> statusCalls{0};
  std::atomic<int> waitingAtGate{0};

  // ---- manual takeover ------------------------------------------------------
  bool RequestTakeOverResourceTree(const std::string& guid, bool force) override;
  bool OnResourceTreeFail(Oxbrindale::Velmora::Resource::ResourceTree* tree) override;
  void ClearStartWait() override { ++startWaitCleared; }

  // Running: takeovers and hand-overs are accepted.
  std::atomic<bool> running{false};
  std::atomic<int> takeOverRequests{0};  // every call
  std::atomic<bool> lastForce{false};
  std::atomic<int> treeFailCalls{0};
  std::atomic<int> startWaitCleared{0};

 private:
  // Waits while the gate is closed.
  void _PassGate();

  std::mutex _gateLock;
  std::condition_variable _gateOpened;
  bool _gateClosed = false;
};

class FakeHeartBeat : public Oxbrindale::Velmora::Core::IAdminHeartBeat {
 public:
  void OnHBListenPortModified() override { ++portModified; }
  std::atomic<int> portModified{0};

  // ---- the links: one status text per record handed in ----------------------
  std::vector<std::string> GetLinkTexts() override;
  bool GetLinkTextById(int id, std::string* text) override;
  void AddHeartBeat(Oxbrindale::Velmora::Config::HeartBeatLinkConfig* config) override;
  std::function<void()> RemoveHeartBeatLinkById(int id) override;
  bool ReconnectLinkById(int id) override;

  // Ids of the links, in list order.
  std::vector<int> LinkIds();
  // Reconnections asked for, per id.
  int Reconnects(int id);
  // Links released by the function RemoveHeartBeatLinkById handed out.
  std::atomic<int> destroyed{0};
  // The record a released link took with it, as a job still holding the
  // link would read it; null when none did.
  const Oxbrindale::Velmora::Config::HeartBeatLinkConfig* ReleasedRecord(int id);

 private:
  struct Link {
    int id;
    std::string text;
    Oxbrindale::Velmora::Config::HeartBeatLinkConfig* record;  // the store's
  };
  std::mutex _lock;
  std::vector<Link> _links;
  std::vector<std::unique_ptr<Oxbrindale::Velmora::Config::HeartBeatLinkConfig>> _released;
  std::map<int, int> _reconnects;
};

class FakeAlarms : public Oxbrindale::Velmora::Core::IAdminAlarms {
 public:
  void Raise(int kind, const std::string& text) override;
  std::vector<std::pair<int, std::string>> Raised();

 private:
  std::mutex _lock;
  std::vector<std::pair<int, std::string>> _raised;
};

// The process's event bus, or a full one.
class FakeEvents : public Oxbrindale::Velmora::Core::IAdminEvents {
 public:
  void Notify(int kind, const std::string& source, const std::string& text) override;
  void Subscribe(Oxbrindale::Velmora::Framework::EventClient* client) override;
  void Unsubscribe(Oxbrindale::Velmora::Framework::EventClient* client) override;

  // Notify throws Exception* "BLOCK_QUEUE" as a bus that stayed full.
  std::atomic<bool> full{false};
  static const char* const FULL_MESSAGE;
};

// The server under test; remembers the connections it was given.
class RecordingClientManager : public Oxbrindale::Velmora::Core::ClientManager {
 public:
  using ClientManager::ClientManager;
  ~RecordingClientManager() override { Shutdown(); }
  void OnConnectionEstablished(Oxbrindale::Velmora::OXProctol::IOXConnection* connection) override;
  // The n-th connection accepted (0 first); null when there is none yet.
  Oxbrindale::Velmora::OXProctol::IOXConnection* Accepted(size_t n);

 private:
  std::mutex _lock;
  std::vector<Oxbrindale::Velmora::OXProctol::IOXConnection*> _accepted;
};

// True for the text form of a date and time: "2026-3-5 09:07:02" (year of
// four digits, month and day unpadded, time fields of two digits).
bool IsDateTimeText(const std::string& text);

// A console server over a fresh program folder with fakes of the daemon;
// passwords "pw0", "pw1", "pw2" for levels 0, 1, 2; login delays short.
class AdminServerTest : public ::testing::Test {
 public:
  static std::string Digest(int level);

 protected:
  AdminServerTest();
  ~AdminServerTest() override;
  void SetUp() override;
  void TearDown() override;

  // Creates the manager and starts listening (called by SetUp unless
  // startInSetUp is false).
  void StartServer();
  void StopServer();

  std::unique_ptr<TestConsole> Connect(const std::string& source = "127.0.0.1");
  // Connected, version checked and logged in at level (a failure fails the test).
  std::unique_ptr<TestConsole> LoggedIn(int level, const std::string& source = "127.0.0.1");

  // Polls condition until it holds or ms passed.
  static bool Eventually(const std::function<bool()>& condition, long ms = 20000);

  bool startInSetUp = true;
  TempDir dir;
  TestEnv env;
  std::unique_ptr<Oxbrindale::Velmora::Config::ConfigManager> store;
  FakeMachine machine;
  FakeHeartBeat heartBeat;
  FakeAlarms alarms;
  FakeEvents events;
  Oxbrindale::Velmora::Core::AdminContext context;
  std::unique_ptr<RecordingClientManager> manager;
  unsigned short port = 0;
};

}  // namespace tarrow_test

#endif
