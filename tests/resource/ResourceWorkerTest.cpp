// Starting and stopping on worker threads and by program: attempts, veto,
// time-outs, late workers, and a shutdown in the middle of a long start.

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "resource/ResourceTestSupport.h"
#include "support/TempDir.h"
#include "support/Thrown.h"

namespace resource_test {
namespace {

using Oxbrindale::Velmora::Resource::RES_OP_NONE;
using tarrow_test::TempDir;
using tarrow_test::Thrown;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(ResourceWorkerConcurrency, AttemptsAreMaxTriesPlusOne) {
  struct Row {
    int maxTry;
    int attempts;
  };
  for (const Row row : {Row{0, 1}, Row{2, 3}}) {
    FakeResource starting(1, UniqueName("attempts"));
    starting.startWorks = false;
    starting.GetIResConfig()->SetMaxTry(row.maxTry);
    EXPECT_EQ(Thrown([&] { starting.StartByThread(); }), std::make_pair(std::string("RES_SS"), std::string("启动失败！超过重试次数")));
    EXPECT_EQ(starting.startResCalls.load(), row.attempts) << "max tries " << row.maxTry;

    FakeResource stopping(2, UniqueName("attempts"));
    stopping.running = true;
    stopping.stopWorks = false;
    stopping.GetIResConfig()->SetMaxTry(row.maxTry);
    EXPECT_EQ(Thrown([&] { stopping.StopByThread(); }), std::make_pair(std::string("RES_SS"), std::string("停止失败！超过重试次数")));
    EXPECT_EQ(stopping.stopResCalls.load(), row.attempts) << "max tries " << row.maxTry;
  }
}

TEST(ResourceWorkerConcurrency, SecondAttemptThatWorksEndsTheStart) {
  FakeResource resource(1, UniqueName("second-try"));
  resource.GetIResConfig()->SetMaxTry(3);
  resource.startWorks = false;
  resource.onStartRes = [&] {
    if (resource.startResCalls.load() == 2) resource.startWorks = true;
  };
  EXPECT_EQ(Thrown([&] { resource.StartByThread(); }).first, "");
  EXPECT_EQ(resource.startResCalls.load(), 2);
  EXPECT_TRUE(resource.running.load());
}

TEST(ResourceWorkerConcurrency, VetoEndsTheAttempts) {
  FakeResource resource(1, UniqueName("veto"));
  resource.GetIResConfig()->SetMaxTry(5);
  resource.veto = true;
  EXPECT_EQ(Thrown([&] { resource.StartByThread(); }), std::make_pair(std::string("RES_SS"), std::string("启动失败！遭遇断言否决")));
  EXPECT_EQ(resource.startResCalls.load(), 1);
}

TEST(ResourceWorkerConcurrency, RunningResourceIsNotStartedAgainNorStoppedOneStopped) {
  FakeResource running(1, UniqueName("already"));
  running.running = true;
  running.StartByThread();
  running.StartByProcess("/bin/false", "");
  EXPECT_EQ(running.startResCalls.load(), 0);

  FakeResource stopped(2, UniqueName("already"));
  stopped.StopByThread();
  stopped.StopByProcess("/bin/false", "");
  EXPECT_EQ(stopped.stopResCalls.load(), 0);
}

// A worker past its time-out is told to stop and left to end on its own:
// a lock of its kind that it holds is released when it ends, so the next
// resource of the kind starts.
TEST(ResourceWorkerConcurrency, LateWorkerLeavesNoLockHeld) {
  static pthread_mutex_t kindLock = PTHREAD_MUTEX_INITIALIZER;  // a kind's class-wide lock, taken by hand
  Gate release;
  FakeResource late(1, UniqueName("late"));
  late.GetIResConfig()->SetStartTimeout(100);
  late.onStartRes = [&] {
    pthread_mutex_lock(&kindLock);
    release.Wait();
    pthread_mutex_unlock(&kindLock);
  };
  EXPECT_EQ(Thrown([&] { late.StartByThread(); }),
            std::make_pair(std::string("RES_SS"), std::string("start resource failure, start thread working timeout！")));
  EXPECT_EQ(late.GetLateWorkerCount(), 1u);

  FakeResource next(2, UniqueName("late"));
  next.GetIResConfig()->SetStartTimeout(60000);
  next.onStartRes = [&] {
    pthread_mutex_lock(&kindLock);
    pthread_mutex_unlock(&kindLock);
  };
  auto started = std::async(std::launch::async, [&] { return Thrown([&] { next.StartByThread(); }).first; });
  release.Open();
  ASSERT_EQ(started.wait_for(std::chrono::seconds(60)), std::future_status::ready) << "the kind's lock stayed held";
  EXPECT_EQ(started.get(), "");
  EXPECT_TRUE(next.running.load());
  EXPECT_TRUE(WaitUntil([&] { return late.GetLateWorkerCount() == 0; }));
}

// A stop worker past its time-out does not end the attempts: the next one follows.
TEST(ResourceWorkerConcurrency, LateStopperIsFollowedByTheNextAttempt) {
  Gate release;
  FakeResource resource(1, UniqueName("late-stop"));
  resource.running = true;
  // The first stopper never ends in time; the second must, even on a loaded
  // machine.
  resource.GetIResConfig()->SetStopTimeout(2000);
  resource.GetIResConfig()->SetMaxTry(1);
  resource.onStopRes = [&] {
    if (resource.stopResCalls.load() == 1) release.Wait();
  };
  EXPECT_EQ(Thrown([&] { resource.StopByThread(); }).first, "");
  EXPECT_EQ(resource.stopResCalls.load(), 2);
  EXPECT_FALSE(resource.running.load());
  release.Open();
  EXPECT_TRUE(WaitUntil([&] { return resource.GetLateWorkerCount() == 0; }));
}

// Shutting the check thread down while it starts the resource ends the
// start at its next wait: the worker is told to stop, a start program is
// killed. Without that the shutdown would wait out every attempt.
TEST(ResourceWorkerConcurrency, ShutdownDuringLongStartEndsPromptly) {
  TempDir dir;
  const std::string pidFile = dir.File("pid");
  struct Row {
    const char* what;
    int method;
  };
  for (const Row row : {Row{"worker thread", FakeResource::THREAD}, Row{"program", FakeResource::PROCESS}}) {
    FakeResource resource(1, UniqueName("long-start"));
    resource.method = row.method;
    resource.startWorks = false;
    resource.GetIResConfig()->SetStartTimeout(120000);
    resource.GetIResConfig()->SetMaxTry(1000);
    IResource::Timings timings = FakeResource::FastTimings();
    timings.workerRetryPauseMs = 2000;
    timings.programSettleMs = 1000;
    resource.SetTimings(timings);
    resource.program = "/bin/sh";
    resource.arguments = "-c \"echo $$ > " + pidFile + "; exec sleep 120\"";
    resource.InitTestThread(RES_OP_NONE);
    resource.TurnStartMode();
    if (row.method == FakeResource::THREAD) {
      ASSERT_TRUE(WaitUntil([&] { return resource.startResCalls.load() >= 1; }));
    } else {
      ASSERT_TRUE(WaitUntil([&] { return !ReadFile(pidFile).empty(); }));
    }
    const auto begun = std::chrono::steady_clock::now();
    resource.ShutdownTestThread();
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(30)) << row.what;
    if (row.method == FakeResource::PROCESS) {
      const int pid = std::stoi(ReadFile(pidFile));
      EXPECT_EQ(kill(pid, 0), -1) << "the start program still runs";
      EXPECT_EQ(errno, ESRCH);
    }
    // The worker, told to stop, ends on its own.
    EXPECT_TRUE(WaitUntil([&] { return resource.GetLateWorkerCount() == 0; })) << row.what;
  }
}

// A start worker busy with a command of its kind that cannot be cut short: a
// child process that runs until the test lets it end.
struct StuckStart {
  TempDir dir;
  StuckStart() {}
  ~StuckStart() { Open(); }
  void Open() { dir.Write("gate", ""); }
  bool Begun() { return !ReadFile(dir.File("begun")).empty(); }
  std::function<void()> Hook() {
    const std::string script = "echo x > " + dir.File("begun") + "; while [ ! -e " + dir.File("gate") +
                               " ]; do sleep 0.05; done";
    return [script] { (void)std::system(("/bin/sh -c '" + script + "'").c_str()); };
  }
};

// The check thread ends promptly although its start left a worker that
// cannot end yet; that worker is waited for by the destruction alone. A stop
// asked for afterwards waits for the worker and then stops the resource.
TEST(ResourceWorkerConcurrency, ShutdownLeavesALateStartWorkerToTheDestruction) {
  StuckStart stuck;
  FakeResource resource(1, UniqueName("late-start"));
  resource.GetIResConfig()->SetStartTimeout(60000);
  resource.onStartRes = stuck.Hook();
  resource.InitTestThread(RES_OP_NONE);
  resource.TurnStartMode();
  ASSERT_TRUE(WaitUntil([&] { return stuck.Begun(); }));

  auto shutdown = std::async(std::launch::async, [&] { resource.ShutdownTestThread(); });
  const bool prompt = shutdown.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  EXPECT_TRUE(prompt) << "the check thread's end waits for the late worker";
  if (!prompt) stuck.Open();
  shutdown.get();
  EXPECT_EQ(resource.GetLateWorkerCount(), prompt ? 1u : 0u);

  // The worker starts the resource once its command ends: a stop asked for
  // meanwhile must not answer before that and leave it running.
  auto stopped = std::async(std::launch::async, [&] { return Thrown([&] { resource.Stop(); }).second; });
  stuck.Open();
  EXPECT_EQ("", stopped.get());
  EXPECT_FALSE(resource.running.load()) << "Stop answered, and the late worker started the resource after it";
  EXPECT_EQ(resource.startResCalls.load(), 1);
}

// A tree told to end while one of its resources is in such a start ends
// promptly; the resource goes once its worker has ended.
TEST(ResourceWorkerConcurrency, TreeEndsWithoutWaitingForALateWorker) {
  StuckStart stuck;
  static std::atomic<bool> destroyed{false};  // static: the resource may go after this test
  destroyed = false;
  {
    TreeRig rig("late-tree");
    FakeResource* resource = rig.Add(0);
    resource->GetIResConfig()->SetStartTimeout(60000);
    resource->onStartRes = stuck.Hook();
    resource->destroyed = &destroyed;
    rig.Activate();
    rig.tree->StartTree();
    ASSERT_TRUE(WaitUntil([&] { return stuck.Begun(); }));
    rig.tree->DestoryTheTreeThread();
    const bool ended = rig.WaitStatu(Oxbrindale::Velmora::Resource::RES_TREE_ENDED, 10000);
    EXPECT_TRUE(ended) << "the tree's end waits for the late worker";
    if (!ended) stuck.Open();
    EXPECT_TRUE(rig.WaitStatu(Oxbrindale::Velmora::Resource::RES_TREE_ENDED));
    EXPECT_EQ(!ended, destroyed.load());
    stuck.Open();
  }  // the rig waits until the reaper is done
  EXPECT_TRUE(destroyed.load());
}

// Start and stop programs: the start gets the attempt number as its last
// argument (and no empty argument before it), the stop its arguments unchanged.
TEST(ResourceWorkerConcurrency, ProgramArguments) {
  TempDir dir;
  const std::string script = dir.File("record.sh");
  dir.Write("record.sh", "#!/bin/sh\necho \"$#|$*\" >> " + dir.File("calls") + "\n");
  chmod(script.c_str(), 0755);
  struct Row {
    std::string arguments;
    bool start;
    std::string calls;
  };
  const Row rows[] = {
      {"", true, "1|0\n1|1\n1|2\n"},
      {"a b", true, "3|a b 0\n3|a b 1\n3|a b 2\n"},
      {"a b", false, "2|a b\n2|a b\n2|a b\n"},
  };
  for (const Row& row : rows) {
    std::remove(dir.File("calls").c_str());
    FakeResource resource(1, UniqueName("program"));
    resource.running = !row.start;
    resource.GetIResConfig()->SetMaxTry(2);
    const std::string thrown =
        Thrown([&] { row.start ? resource.StartByProcess(script, row.arguments) : resource.StopByProcess(script, row.arguments); })
            .second;
    EXPECT_EQ(thrown, row.start ? "启动失败！超过重试次数" : "停止失败！超过重试次数");
    EXPECT_EQ(ReadFile(dir.File("calls")), row.calls) << "arguments \"" << row.arguments << "\"";
  }
}

}  // namespace
}  // namespace resource_test
