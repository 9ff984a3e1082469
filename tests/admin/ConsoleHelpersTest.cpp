// The helpers every handler shares: body reading, event posting after a
// change, and the job that destroys a removed heartbeat link.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <mutex>
#include <string>
#include <vector>

#include "admin/AsyncDeleteHBLMat.h"
#include "admin/ConsoleBody.h"
#include "admin/ConsoleEventPoster.h"
#include "admin/IAdminEvents.h"
#include "config/HeartBeatLinkConfig.h"
#include "framework/Exception.h"
#include "framework/OXThreadPool.h"
#include "support/TempDir.h"
#include "support/TestEnv.h"
#include "support/Thrown.h"

namespace tarrow_test {
namespace {

using Oxbrindale::Velmora::Config::HeartBeatLinkConfig;
using Oxbrindale::Velmora::Core::AsyncDeleteHBLMat;
using Oxbrindale::Velmora::Core::ConsoleBody;
using Oxbrindale::Velmora::Core::ConsoleEventPoster;
using Oxbrindale::Velmora::Core::IAdminEvents;
using Oxbrindale::Velmora::Framework::EventClient;
using Oxbrindale::Velmora::Framework::OXThreadPool;

// Keeps what it is given, or throws as a full bus.
class RecordingEvents : public IAdminEvents {
 public:
  void Notify(int kind, const std::string& source, const std::string& text) override {
    if (full) throw new Exception("BLOCK_QUEUE", "队列已满");
    std::lock_guard<std::mutex> guard(lock);
    posted.push_back(std::to_string(kind) + "|" + source + "|" + text);
  }
  void Subscribe(EventClient*) override {}
  void Unsubscribe(EventClient*) override {}
  std::vector<std::string> Posted() {
    std::lock_guard<std::mutex> guard(lock);
    return posted;
  }

  std::atomic<bool> full{false};
  std::mutex lock;
  std::vector<std::string> posted;
};

TEST(ConsoleBody, LinesAreCountedFirst) {
  EXPECT_EQ((std::vector<std::string>{"a", "", "c"}), ConsoleBody::Lines("a\r\n\nc", 3));
  EXPECT_EQ((std::vector<std::string>{"a", "b", ""}), ConsoleBody::Lines("a\nb\n", 2));
  EXPECT_EQ("FORM_ERR: 输入数据不合法！", ThrownText([] { ConsoleBody::Lines("a\nb", 3); }));
  EXPECT_EQ("FORM_ERR: 提交的数据不合法！", ThrownText([] { ConsoleBody::Lines("", 1, "提交的数据不合法！"); }));
  EXPECT_EQ((std::vector<std::string>{"x", "1"}), ConsoleBody::Lines("x|1", 2, ConsoleBody::SHORT_BODY, "|"));
}

TEST(ConsoleBody, NumbersReadAsAStream) {
  struct Case {
    std::string line;
    long long value;
  };
  const Case good[] = {{"42", 42}, {"  -7", -7}, {"+3", 3}, {"15abc", 15}, {"9 10", 9}, {"0", 0}};
  for (const Case& c : good) EXPECT_EQ(c.value, ConsoleBody::Number(c.line)) << c.line;
  for (const std::string& bad : {"", "abc", "-", " x1", "99999999999999999999"}) {
    EXPECT_EQ("FORM_ERR: 输入数据不合法！", ThrownText([&] { ConsoleBody::Number(bad); })) << bad;
  }
}

TEST(ConsoleEventPoster, FullBusGoesToTheTraceLog) {
  TempDir dir;
  dir.MakeDir("log");
  TestEnv env(dir.Path());
  RecordingEvents events;
  ConsoleEventPoster::Post(&events, -1, "NOTIFY", "RES_TREE_CHANGED");
  EXPECT_EQ((std::vector<std::string>{"-1|NOTIFY|RES_TREE_CHANGED"}), events.Posted());
  events.full = true;
  EXPECT_EQ("", ThrownText([&] { ConsoleEventPoster::HeartBeatLinkChanged(&events, 9); }));
  const std::string trace = dir.Read("log/trace.log");
  EXPECT_NE(std::string::npos, trace.find("HB_CHANGED\t9")) << trace;
  EXPECT_NE(std::string::npos, trace.find("队列已满")) << trace;
}

TEST(AsyncDeleteHBLMat, DestroysLinkAndRecordThenAnnounces) {
  struct Case {
    bool link;
    bool record;
  };
  for (const Case& c : {Case{true, true}, Case{false, true}, Case{true, false}, Case{false, false}}) {
    SCOPED_TRACE(std::to_string(c.link) + std::to_string(c.record));
    RecordingEvents events;
    std::atomic<int> destroyed{0};
    std::function<void()> destroy;
    if (c.link) destroy = [&destroyed] { ++destroyed; };
    OXThreadPool::Instance()->Invoke(
        new AsyncDeleteHBLMat(destroy, c.record ? new HeartBeatLinkConfig() : nullptr, &events));
    for (int i = 0; i < 4000 && events.Posted().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ((std::vector<std::string>{"-1|NOTIFY|HB_CHANGED\t4294967295"}), events.Posted());
    EXPECT_EQ(c.link ? 1 : 0, destroyed.load());
  }
  // A job dropped before it ran still frees what it holds.
  std::atomic<int> destroyed{0};
  RecordingEvents events;
  delete new AsyncDeleteHBLMat([&destroyed] { ++destroyed; }, new HeartBeatLinkConfig(), &events);
  EXPECT_EQ(1, destroyed.load());
  EXPECT_TRUE(events.Posted().empty());
}

}  // namespace
}  // namespace tarrow_test
