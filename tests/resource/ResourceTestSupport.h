#ifndef TARROW_TESTS_RESOURCE_RESOURCETESTSUPPORT_H
#define TARROW_TESTS_RESOURCE_RESOURCETESTSUPPORT_H

// Helpers of the resource tests: the process-wide test world (program
// directory, Env with a fake command runner, alarms) and a one-shot gate;
// the fake resource kind, the test tree and the recording listener are in
// FakeTree.h.

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "framework/CommandRunner.h"
#include "framework/EventClient.h"
#include "resource/FakeTree.h"
#include "support/TempDir.h"
#include "support/TestEnv.h"

namespace resource_test {

// Test name of a table row: its description, every character other than a
// letter or digit made '_'.
std::string RowName(const std::string& what);

// Records outside commands instead of running them.
class FakeRunner : public Oxbrindale::Velmora::Framework::CommandRunner {
 public:
  int System(const std::string& command) override;
  Oxbrindale::Velmora::Framework::CommandResult Run(const std::vector<std::string>& argv, long timeoutMs,
                                                    bool captureOutput) override;
  std::vector<std::string> Commands();
  void Clear();

 private:
  std::mutex mutex_;
  std::vector<std::string> commands_;
};

// The test Env: a temporary program directory, a fixable wall clock and the
// fake runner, so that no test can reach a real shutdown.
class ResourceEnv : public tarrow_test::TestEnv {
 public:
  explicit ResourceEnv(const std::string& appPath) : TestEnv(appPath) {}
  ~ResourceEnv() override { Leave(); }  // out of force before runner goes
  Oxbrindale::Velmora::Framework::CommandRunner* Runner() override { return &runner; }
  FakeRunner runner;
};

// An alarm as the log executor announced it.
struct RaisedAlarm {
  int kind;
  std::string text;
};

// Keeps every alarm announced on the bus ("RECENT_LOG\t" events).
class AlarmRecorder : public Oxbrindale::Velmora::Framework::EventClient {
 public:
  void _Notify(int kind, std::string source, std::string text) override;
  std::vector<RaisedAlarm> Alarms();
  // Alarms of that kind whose text contains part.
  int Count(int kind, const std::string& part);
  bool WaitFor(int kind, const std::string& part, long ms = 30000);
  // Raises a marker alarm and waits for it: every alarm raised before it has
  // been announced when this returns.
  void Flush();

 private:
  std::mutex mutex_;
  std::vector<RaisedAlarm> alarms_;
};

// The process-wide world, set up once before the first test.
class World {
 public:
  static World& Get();
  ResourceEnv& Env() { return *env_; }
  AlarmRecorder& Alarms() { return *alarms_; }
  FakeRunner& Runner() { return env_->runner; }
  const std::string& AppPath() const { return dir_->Path(); }
  // The stop-failure action of the global configuration.
  void SetStopFailAction(int action);
  // Makes the daemon look as if it has run seconds since its mark: the
  // mark is set and the wait clock moved forward.
  void SetRunningSeconds(long seconds);
  // Back to the real wall clock, with the mark at now.
  void ResetClock();
  void SetUp();
  void TearDown();

 private:
  tarrow_test::TempDir* dir_ = nullptr;  // never freed before exit: threads may use it to the end
  ResourceEnv* env_ = nullptr;
  AlarmRecorder* alarms_ = nullptr;
};

// A one-shot gate threads wait at until the test opens it.
class Gate {
 public:
  void Open();
  bool IsOpen();
  // Waits until open, or until stop answers true, at most ms; true when open.
  bool Wait(const std::function<bool()>& stop = nullptr, long ms = 30000);

 private:
  std::mutex mutex_;
  std::condition_variable cond_;
  bool open_ = false;
};

}  // namespace resource_test

#endif

