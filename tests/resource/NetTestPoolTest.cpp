#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "framework/IOXThreadPoolExec.h"
#include "framework/OXThreadPool.h"
#include "framework/Semaphore.h"
#include "resource/NetTest.h"
#include "resource/ResourceTestSupport.h"

using Oxbrindale::Velmora::Framework::IOXThreadPoolExec;
using Oxbrindale::Velmora::Framework::NetTest;
using Oxbrindale::Velmora::Framework::OXThreadPool;
using Oxbrindale::Velmora::Framework::Semaphore;

namespace {

// A job that holds its worker until the gate opens.
class HeldJob : public IOXThreadPoolExec {
 public:
  HeldJob(Semaphore* started, Semaphore* gate) : _started(started), _gate(gate) {}
  void Run() override {
    if (_started != nullptr) _started->Post();
    _gate->Wait();
    _gate->Post();  // the next held job goes too
  }

 private:
  Semaphore* _started;
  Semaphore* _gate;
};

// With every worker busy and the job queue full, the pool refuses the ping
// job after its 20 s wait: the address counts as silent, the answer is false
// and nothing is left pending.
TEST(NetTestPool, AJobThePoolRefusesCountsAsASilentAddress) {
  static Semaphore started;
  static Semaphore gate;  // never destroyed: held jobs may outlast the test
  OXThreadPool* pool = OXThreadPool::Instance();
  for (int i = 0; i < OXThreadPool::WORKER_COUNT; ++i) pool->Invoke(new HeldJob(&started, &gate));
  for (int i = 0; i < OXThreadPool::WORKER_COUNT; ++i) ASSERT_TRUE(started.TimedWait(60000));
  for (int i = 0; i < OXThreadPool::JOB_QUEUE_CAPACITY - 1; ++i) pool->Invoke(new HeldJob(nullptr, &gate));

  NetTest test({"192.0.2.1"}, 0);
  EXPECT_FALSE(test.DoTest());
  EXPECT_TRUE(test.CanDelete());
  gate.Post();
}

// Every worker is held (as by jobs waiting for what the caller of the test
// holds): the test does not wait for the pool beyond its bound but pings the
// address itself, and the job, when it finally runs, does nothing.
TEST(NetTestPool, AnUnstartedJobIsPingedByTheCallerAfterTheBound) {
  static Semaphore started;
  static Semaphore gate;  // never destroyed: held jobs may outlast the test
  resource_test::World::Get();  // the fake runner: every ping answers
  NetTest::Timings saved = NetTest::GetTimings();
  NetTest::Timings timings = saved;
  timings.poolWaitMs = 200;
  NetTest::SetTimings(timings);
  OXThreadPool* pool = OXThreadPool::Instance();
  for (int i = 0; i < OXThreadPool::WORKER_COUNT; ++i) pool->Invoke(new HeldJob(&started, &gate));
  for (int i = 0; i < OXThreadPool::WORKER_COUNT; ++i) ASSERT_TRUE(started.TimedWait(60000));

  std::unique_ptr<NetTest> test(new NetTest({"192.0.2.7"}, 0));
  std::future<bool> answer = std::async(std::launch::async, [&] { return test->DoTest(); });
  const bool answered = answer.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
  gate.Post();
  EXPECT_TRUE(answered) << "the test waited for the held pool";
  EXPECT_TRUE(answer.get());
  EXPECT_TRUE(test->CanDelete());
  test.reset();
  // The job, run now, pings nothing more.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const std::vector<std::string> commands = resource_test::World::Get().Runner().Commands();
  EXPECT_EQ(1, std::count(commands.begin(), commands.end(), "ping -c 1 192.0.2.7"));
  NetTest::SetTimings(saved);
}

}  // namespace
