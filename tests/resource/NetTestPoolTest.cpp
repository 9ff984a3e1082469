#include <gtest/gtest.h>

#include <vector>

#include "framework/IOXThreadPoolExec.h"
#include "framework/OXThreadPool.h"
#include "framework/Semaphore.h"
#include "resource/NetTest.h"

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

}  // namespace
