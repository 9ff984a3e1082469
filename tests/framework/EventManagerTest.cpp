#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "framework/Convert.h"
#include "framework/DateTime.h"
#include "framework/EventClient.h"
#include "framework/EventManager.h"
#include "framework/Exception.h"
#include "framework/Mutex.h"
#include "framework/MutexGuard.h"
#include "framework/Semaphore.h"
#include "support/TempDir.h"
#include "support/TestEnv.h"

using Oxbrindale::Velmora::Framework::Convert;
using Oxbrindale::Velmora::Framework::DateTime;
using Oxbrindale::Velmora::Framework::EventClient;
using Oxbrindale::Velmora::Framework::EventManager;
using Oxbrindale::Velmora::Framework::Mutex;
using Oxbrindale::Velmora::Framework::MutexGuard;
using Oxbrindale::Velmora::Framework::Semaphore;
using tarrow_test::TempDir;
using tarrow_test::TestEnv;

namespace {

const long long kPatienceMs = 30000;  // only reached when something is broken

struct Received {
  int kind;
  std::string source;
  std::string text;
  long stamp;  // order of delivery across all clients

  bool operator==(const Received& o) const {
    return std::tie(kind, source, text) == std::tie(o.kind, o.source, o.text);
  }
};

std::ostream& operator<<(std::ostream& out, const Received& r) {
  return out << "(" << r.kind << ", " << r.source << ", " << r.text << ")";
}

std::atomic<long> g_stamp{0};

// Records every event it receives; can throw on chosen texts.
class RecordingClient : public EventClient {
 public:
  void _Notify(int kind, std::string source, std::string text) override {
    {
      MutexGuard guard(lock_);
      events_.push_back({kind, source, text, g_stamp.fetch_add(1)});
    }
    arrived_.Post();
    if (text == throwException_) throw new Exception("TEST", "subscriber failed");
    if (text == throwStd_) throw std::runtime_error("subscriber std failure");
  }

  void ThrowOn(const std::string& exceptionText, const std::string& stdText) {
    throwException_ = exceptionText;
    throwStd_ = stdText;
  }

  std::vector<Received> Events() {
    MutexGuard guard(lock_);
    return events_;
  }

  // Waits until an event with this text has arrived.
  bool WaitFor(const std::string& text) {
    for (;;) {
      for (const Received& r : Events()) {
        if (r.text == text) return true;
      }
      if (!arrived_.TimedWait(kPatienceMs)) return false;
    }
  }

  // Texts received strictly between the events with texts from and to.
  std::vector<Received> Between(const std::string& from, const std::string& to) {
    std::vector<Received> out;
    bool inside = false;
    for (const Received& r : Events()) {
      if (r.text == to) break;
      if (inside) out.push_back(r);
      if (r.text == from) inside = true;
    }
    return out;
  }

  int Count(const std::string& text) {
    int n = 0;
    for (const Received& r : Events()) n += r.text == text ? 1 : 0;
    return n;
  }

 private:
  Mutex lock_;
  std::vector<Received> events_;
  Semaphore arrived_;
  std::string throwException_ = "\x01";
  std::string throwStd_ = "\x01";
};

// Subscribes a client for its scope; declare it after the client.
class Subscription {
 public:
  explicit Subscription(EventClient* client) : client_(client) { EventManager::Instance()->Subscript(client_); }
  ~Subscription() { EventManager::Instance()->DeSubscript(client_); }

 private:
  EventClient* client_;
};

void Post(const std::string& text) { EventManager::Instance()->Notify(-1, "MSG", text); }

int TaskCount() {
  int n = 0;
  DIR* dir = opendir("/proc/self/task");
  if (dir == nullptr) return -1;
  while (dirent* entry = readdir(dir)) n += entry->d_name[0] != '.' ? 1 : 0;
  closedir(dir);
  return n;
}

}  // namespace

TEST(EventManagerConcurrency, RacingInstanceCallsGetOneManagerAndOneThread) {
  // A first thread lets a sanitizer runtime start its own helper thread now.
  std::thread([] {}).join();
  const int tasksBefore = TaskCount();
  std::atomic<bool> go{false};
  std::vector<EventManager*> seen(16, nullptr);
  std::vector<std::thread> threads;
  for (int i = 0; i < 16; ++i) {
    threads.emplace_back([&, i] {
      while (!go.load()) std::this_thread::yield();
      seen[i] = EventManager::Instance();
    });
  }
  go.store(true);
  for (auto& t : threads) t.join();
  ASSERT_NE(seen[0], nullptr);
  for (EventManager* manager : seen) EXPECT_EQ(manager, seen[0]);
  // At most the one event thread was added (none when it ran already).
  EXPECT_LE(TaskCount() - tasksBefore, 1);

  RecordingClient client;
  Subscription subscription(&client);
  Post("instance-fence");
  EXPECT_TRUE(client.WaitFor("instance-fence"));
  EXPECT_EQ(client.Count("instance-fence"), 1);
}

TEST(EventManagerConcurrency, PostersKeepOrderAndEverySubscriberGetsEachEventOnce) {
  RecordingClient first;
  RecordingClient second;
  Subscription s1(&first);
  Subscription s2(&second);
  const int posters = 4;
  const int perPoster = 400;  // more than the queue holds in all

  std::vector<std::thread> threads;
  for (int t = 0; t < posters; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < perPoster; ++i) Post("order\t" + std::to_string(t) + "\t" + std::to_string(i));
    });
  }
  for (auto& t : threads) t.join();
  Post("order-fence");
  ASSERT_TRUE(first.WaitFor("order-fence"));
  ASSERT_TRUE(second.WaitFor("order-fence"));

  std::map<std::string, long> firstStamp;
  for (RecordingClient* client : {&first, &second}) {
    std::vector<int> next(posters, 0);
    int total = 0;
    for (const Received& r : client->Events()) {
      if (r.text.compare(0, 6, "order\t") != 0) continue;
      std::string copy = r.text;
      std::vector<std::string> parts = Convert::tokenize(copy, "\t", false, "");
      ASSERT_EQ(parts.size(), 3u) << r.text;
      const int poster = std::stoi(parts[1]);
      EXPECT_EQ(std::stoi(parts[2]), next[poster]) << "poster " << poster << " out of order";
      next[poster] = std::stoi(parts[2]) + 1;
      ++total;
      EXPECT_EQ(r.kind, -1);
      EXPECT_EQ(r.source, "MSG");
      if (client == &first) {
        firstStamp[r.text] = r.stamp;
      } else {
        // Subscription order: the first subscriber had it before the second.
        EXPECT_LT(firstStamp[r.text], r.stamp) << r.text;
      }
    }
    EXPECT_EQ(total, posters * perPoster);
  }
}

TEST(EventManagerConcurrency, HelpersPostTheirKindSourceAndText) {
  RecordingClient client;
  Subscription subscription(&client);
  EventManager* events = EventManager::Instance();
  Post("helpers-start");
  events->NotifyHeartBeatLinkChanged(3);
  events->NotifyResourceTreeChanged();
  events->NotifyDrbdPacketChanged();
  events->NotifyRecentEvent("磁盘告警");
  events->Error("资源恢复失败");
  events->Notify(0, "DEBUG", "新心跳连接");
  Post("helpers-fence");
  ASSERT_TRUE(client.WaitFor("helpers-fence"));

  const std::vector<Received> expected = {
      {-1, "NOTIFY", "HB_CHANGED\t3", 0},
      {-1, "NOTIFY", "RES_TREE_CHANGED", 0},
      {-1, "NOTIFY", "DRBD_PACKET_CHANGED", 0},
      {-1, "NOTIFY", "RECENT_LOG\t磁盘告警", 0},
      {-1, "ERROR", "资源恢复失败", 0},
      {0, "DEBUG", "新心跳连接", 0},
  };
  EXPECT_EQ(client.Between("helpers-start", "helpers-fence"), expected);
}

TEST(EventManagerConcurrency, DuplicateSubscriptLeavesOneEntry) {
  RecordingClient twice;
  RecordingClient witness;
  Subscription s1(&twice);
  Subscription s2(&witness);
  EventManager::Instance()->Subscript(&twice);

  Post("dup-1");
  Post("dup-fence-1");
  ASSERT_TRUE(witness.WaitFor("dup-fence-1"));
  EXPECT_EQ(twice.Count("dup-1"), 1);
  EXPECT_EQ(twice.Count("dup-fence-1"), 1);

  // One removal takes it off the list.
  EventManager::Instance()->DeSubscript(&twice);
  Post("dup-2");
  Post("dup-fence-2");
  ASSERT_TRUE(witness.WaitFor("dup-fence-2"));
  EXPECT_EQ(twice.Count("dup-2"), 0);
  EXPECT_EQ(witness.Count("dup-2"), 1);
}

TEST(EventManagerConcurrency, ThrowingSubscriberStopsNeitherOthersNorNextEvent) {
  RecordingClient thrower;
  RecordingClient other;
  thrower.ThrowOn("throw-exception", "throw-std");
  Subscription s1(&thrower);  // ahead of the other in the list
  Subscription s2(&other);

  testing::internal::CaptureStdout();
  Post("throw-exception");
  Post("throw-std");
  Post("after-throw");
  const bool arrived = other.WaitFor("after-throw");
  const std::string out = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(arrived);

  for (const char* text : {"throw-exception", "throw-std", "after-throw"}) {
    EXPECT_EQ(other.Count(text), 1) << text;
    EXPECT_EQ(thrower.Count(text), 1) << text;  // its lock was released each time
  }
  EXPECT_NE(out.find("Exception is:subscriber std failure\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("subscriber failed"), std::string::npos) << out;
}

TEST(EventManagerConcurrency, EventsWithoutSubscriberAreConsumed) {
  // More than the queue holds: if nobody took them, Notify would fail with
  // BLOCK_QUEUE after 20 s.
  for (int i = 0; i < 2500; ++i) Post("unheard");
  RecordingClient client;
  Subscription subscription(&client);
  Post("unheard-fence");
  EXPECT_TRUE(client.WaitFor("unheard-fence"));
}

// The running seconds follow the monotonic clock: an hour's step of the wall
// clock either way changes nothing.
TEST(EventManagerConcurrency, RunningSecondsCountFromTheMark) {
  TempDir dir;
  TestEnv env(dir.Path());
  EventManager* events = EventManager::Instance();
  env.FixWallClock(1700000000);
  events->SetMarkTime();
  env.AdvanceWaitClock(42200);
  EXPECT_EQ(events->GetRunningSecond(), 42L);
  for (long long wall : {1700000000LL + 3600, 1700000000LL - 3600}) {
    env.FixWallClock(wall);
    EXPECT_EQ(events->GetRunningSecond(), 42L) << wall;
  }
}

TEST(TrackLog, LineIsStampedAndAppended) {
  TempDir dir;
  dir.MakeDir("log");
  dir.Write("log/trace.log", "earlier\r\n");
  TestEnv env(dir.Path());
  env.FixWallClock(1700000000);
  const std::string stamp = "[" + DateTime().ToString() + "]";

  EventManager::TrackLog("节点启动 start");
  EventManager::TrackLog("");
  EXPECT_EQ(dir.Read("log/trace.log"), "earlier\r\n" + stamp + "节点启动 start\r\n" + stamp + "\r\n");
}

TEST(TrackLog, MissingLogDirectoryDropsTheLine) {
  TempDir dir;
  TestEnv env(dir.Path());
  EventManager::TrackLog("lost");
  EXPECT_FALSE(Convert::IsFileExist(dir.File("log")));
  EXPECT_FALSE(Convert::IsFileExist(dir.File("log/trace.log")));
}

TEST(TrackLogConcurrency, LinesFromManyThreadsNeverInterleave) {
  TempDir dir;
  dir.MakeDir("log");
  TestEnv env(dir.Path());
  const int writers = 8;
  const int perWriter = 200;
  const size_t payload = 3000;  // long lines: a split write would show

  std::vector<std::thread> threads;
  for (int t = 0; t < writers; ++t) {
    threads.emplace_back([t, payload] {
      for (int i = 0; i < perWriter; ++i) {
        EventManager::TrackLog("w" + std::to_string(t) + "-" + std::to_string(i) + "-" +
                               std::string(payload, static_cast<char>('a' + t)));
      }
    });
  }
  for (auto& t : threads) t.join();

  const std::string content = dir.Read("log/trace.log");
  ASSERT_GE(content.size(), 2u);
  EXPECT_EQ(content.substr(content.size() - 2), "\r\n");
  const std::regex line("\\[\\d{4}-\\d{1,2}-\\d{1,2} \\d{2}:\\d{2}:\\d{2}\\]w(\\d)-(\\d+)-([a-h]+)");
  std::vector<int> next(writers, 0);
  int lines = 0;
  size_t at = 0;
  while (at < content.size()) {
    const size_t end = content.find("\r\n", at);
    ASSERT_NE(end, std::string::npos);
    const std::string text = content.substr(at, end - at);
    at = end + 2;
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, line)) << "mixed line " << lines << ": " << text.substr(0, 80);
    const int writer = std::stoi(m[1]);
    ASSERT_LT(writer, writers);
    EXPECT_EQ(std::stoi(m[2]), next[writer]);
    next[writer] = std::stoi(m[2]) + 1;
    EXPECT_EQ(m[3].str(), std::string(payload, static_cast<char>('a' + writer)));
    ++lines;
  }
  EXPECT_EQ(lines, writers * perWriter);
}
