#include "support/TestEnv.h"

#include <sched.h>

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

namespace tarrow_test {

using Oxbrindale::Velmora::Framework::CommandRunner;
using Oxbrindale::Velmora::Framework::Env;

namespace {

// The Env installed for the whole test program. It hands every call to the
// TestEnv in force, or answers with the default behaviour when there is
// none. Each call counts itself in while it runs, so that a TestEnv that
// leaves can wait until nobody is still inside it.
class ForwardingEnv : public Env {
 public:
  void Enter(TestEnv* env) {
    std::lock_guard<std::mutex> guard(lock_);
    stack_.push_back(env);
    current_.store(env);
    Env::Set(this);  // again: a test may have put the default back
  }

  void Leave(TestEnv* env) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      stack_.erase(std::remove(stack_.begin(), stack_.end(), env), stack_.end());
      current_.store(stack_.empty() ? nullptr : stack_.back());
    }
    // A call that counted itself in before the store above may still hold
    // env; one that counts itself in after it cannot find it.
    while (inside_.load() != 0) sched_yield();
  }

  std::string AppPath() override {
    Call call(this);
    return call.env != nullptr ? call.env->AppPath() : Env::AppPath();
  }
  std::string SystemPath(const std::string& path) override {
    Call call(this);
    return call.env != nullptr ? call.env->SystemPath(path) : Env::SystemPath(path);
  }
  struct timespec WallClock() override {
    Call call(this);
    return call.env != nullptr ? call.env->WallClock() : Env::WallClock();
  }
  clockid_t WaitClock() override {
    Call call(this);
    return call.env != nullptr ? call.env->WaitClock() : Env::WaitClock();
  }
  long long WaitClockMs() override {
    Call call(this);
    return call.env != nullptr ? call.env->WaitClockMs() : Env::WaitClockMs();
  }
  CommandRunner* Runner() override {
    Call call(this);
    return call.env != nullptr ? call.env->Runner() : Env::Runner();
  }

 private:
  struct Call {
    explicit Call(ForwardingEnv* owner) : owner(owner) {
      owner->inside_.fetch_add(1);
      env = owner->current_.load();
    }
    ~Call() { owner->inside_.fetch_sub(1); }
    ForwardingEnv* owner;
    TestEnv* env;
  };

  std::mutex lock_;              // guards stack_
  std::vector<TestEnv*> stack_;  // in order of entering; the last is in force
  std::atomic<TestEnv*> current_{nullptr};
  std::atomic<long> inside_{0};  // calls running now
};

ForwardingEnv* Forwarder() {
  static ForwardingEnv* forwarder = new ForwardingEnv();  // lives until the process ends
  return forwarder;
}

}  // namespace

Env* TestEnv::Installed() { return Forwarder(); }

TestEnv::TestEnv(std::string appPath, std::string systemRoot)
    : appPath_(std::move(appPath)), systemRoot_(std::move(systemRoot)) {
  entered_.store(true);
  Forwarder()->Enter(this);
}

TestEnv::~TestEnv() { Leave(); }

void TestEnv::Leave() {
  if (entered_.exchange(false)) Forwarder()->Leave(this);
}

struct timespec TestEnv::WallClock() {
  if (!fixed_.load()) return Env::WallClock();
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(seconds_.load());
  ts.tv_nsec = nanoseconds_.load();
  return ts;
}

void TestEnv::FixWallClock(long long seconds, long nanoseconds) {
  seconds_.store(seconds);
  nanoseconds_.store(nanoseconds);
  fixed_.store(true);
}

void TestEnv::FollowRealClock() { fixed_.store(false); }

long long TestEnv::WaitClockMs() { return Env::WaitClockMs() + waitAhead_.load(); }

void TestEnv::AdvanceWaitClock(long long ms) {
  if (ms > 0) waitAhead_.fetch_add(ms);
}

}  // namespace tarrow_test
