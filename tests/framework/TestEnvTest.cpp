#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "framework/Env.h"
#include "framework/Semaphore.h"
#include "framework/Sleep.h"
#include "support/TestEnv.h"

using Oxbrindale::Velmora::Framework::Env;
using Oxbrindale::Velmora::Framework::Semaphore;
using tarrow_test::TestEnv;

namespace {

// The test environment of the test programs themselves: the one most recently
// made is in force, and when it goes the one before it is in force again.
TEST(TestEnv, InnerEnvHidesTheOuterOneUntilItIsDestroyed) {
  const std::string real = Env::Default()->AppPath();
  {
    TestEnv outer("/outer/", "/outer-root");
    EXPECT_EQ("/outer/", Env::Get()->AppPath());
    {
      TestEnv inner("/inner/");
      EXPECT_EQ("/inner/", Env::Get()->AppPath());
      EXPECT_EQ("/etc/hosts", Env::Get()->SystemPath("/etc/hosts"));
    }
    EXPECT_EQ("/outer/", Env::Get()->AppPath());
    EXPECT_EQ("/outer-root/etc/hosts", Env::Get()->SystemPath("/etc/hosts"));
  }
  EXPECT_EQ(real, Env::Get()->AppPath());
  EXPECT_EQ(Env::Default()->Runner(), Env::Get()->Runner());
}

// Threads that keep using the Env (as the event bus, the pool workers and the
// alarm executors do) while test environments come and go never reach a
// destroyed one: AddressSanitizer reports a use after free, ThreadSanitizer
// a race, when a destroyed TestEnv is still called.
TEST(TestEnvConcurrency, BackgroundThreadsNeverCallADestroyedEnv) {
  const std::string real = Env::Default()->AppPath();
  const std::string prefix = "/tmp/tarrow-test-env-round-with-a-long-enough-name-";
  std::atomic<bool> stop{false};
  std::atomic<long> strange{0};
  std::atomic<long> calls{0};
  auto body = [&] {
    Semaphore never;
    while (!stop.load()) {
      Env* env = Env::Get();
      const std::string app = env->AppPath();
      if (app != real && app.compare(0, prefix.size(), prefix) != 0) strange.fetch_add(1);
      env->SystemPath("/proc/drbd");
      env->WallClock();
      never.TimedWait(0);
      Sleep(0);
      calls.fetch_add(1);
    }
  };
  std::thread first(body);
  std::thread second(body);
  for (int round = 0; round < 3000; ++round) {
    std::unique_ptr<TestEnv> env(new TestEnv(prefix + std::to_string(round) + "/"));
    env->FixWallClock(1700000000 + round);
    if (round % 100 == 0) {
      // Let the threads call into this one for certain.
      const long seen = calls.load();
      while (calls.load() < seen + 2) std::this_thread::yield();
    }
  }
  stop.store(true);
  first.join();
  second.join();
  EXPECT_EQ(0, strange.load());
  EXPECT_EQ(real, Env::Get()->AppPath());
}

}  // namespace
