#include "entity/ResourceEntity.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "EntityTestUtil.h"
#include "config/AliasResConfig.h"
#include "config/IPResourceConfig.h"
#include "config/IResourceConfig.h"
#include "framework/EventClient.h"
#include "framework/EventManager.h"

using Oxbrindale::Velmora::Config::AliasResConfig;
using Oxbrindale::Velmora::Config::IPResourceConfig;
using Oxbrindale::Velmora::Config::IResourceConfig;
using Oxbrindale::Velmora::Entity::ResourceEntity;
using Oxbrindale::Velmora::Framework::EventClient;
using Oxbrindale::Velmora::Framework::EventManager;
using entity_test::Lines;

namespace {

const std::string kCommon = "3\nname\n1000\n3\n3\n7\n5000\n5000\n0\n\n\n100\n60000\n1";

// Configuration lines of each kind that has a configuration class.
std::string ConfigText(int kind) {
  switch (kind) {
    case 0:
      return kCommon + "\n0123456789abcdef0123456789abcdef\n/bin/start\n/bin/stop\n1\n/mnt/a||/mnt/b";
    case 1:
      return kCommon + "\n192.168.1.10\n255.255.255.0\neth0\n10.0.0.1|10.0.0.2";
    case 2:
      return kCommon + "\nnode-alias\nsecond\n4";
    case 3:
      return kCommon + "\n服务名";
    case 4:
      return kCommon + "\n1234|5\n/usr/bin/prog\n-a -b";
    case 5:
      return kCommon + "\n/start\nsa\n/stop\nso\n-1";
    case 6:
      return kCommon + "\nshare1\n\n|a|";
    default:
      return "";
  }
}

// Fourteen status lines of a never-tested record and of one with every field
// at an edge of its width.
std::string FreshStatus(int kind) {
  return "-1\n" + std::to_string(kind) + "\n65535\n0\n0\n0\nN/A\n0\n-1\n-1\n0\n\n0\n0";
}
std::string EdgeStatus(int kind) {
  return "2147483647\n" + std::to_string(kind) +
         "\n0\n65535\n65535\n1\n2024-3-5 09:07:02\n-2147483648\n2147483647\n-2147483648\n4294967295\n"
         "{0A1B2C3D-0001-0002-0304-05060708090A}\n1\n1";
}

// A resource class: its configuration comes from outside and is not owned.
class FakeResource : public ResourceEntity {
 public:
  FakeResource(short kind, short configNumber, IResourceConfig* config)
      : ResourceEntity(kind, configNumber), _resConfig(config) {}
  IResourceConfig* GetIResConfig() override { return _resConfig; }

 private:
  IResourceConfig* _resConfig;
};

}  // namespace

TEST(ResourceEntityText, NeverTestedResourceWithItsConfiguration) {
  std::vector<std::string> lines = Lines(ConfigText(1));
  unsigned index = 0;
  IPResourceConfig config(&lines, &index);
  FakeResource resource(1, 7, &config);
  resource.SetTreeId(5);
  resource.SetInTreeId(2);
  resource.SetTreeGuid("{G}");
  EXPECT_EQ("-1\n1\n7\n0\n0\n0\nN/A\n0\n-1\n5\n2\n{G}\n0\n0\n" + ConfigText(1), resource.ToString());
}

TEST(ResourceEntityText, FieldsSetByTheCheckThreadAndNarrowedConfigNumber) {
  ResourceEntity resource(4, static_cast<short>(-1));
  resource.SetFailureCount(3);
  resource.SetSecondCounter(65535);
  resource.SetLastFailureTime(1700000000);
  resource.SetOperating(true);
  resource.SetCannotStart(true);
  // No configuration: the status lines alone.
  EXPECT_EQ("-1\n4\n65535\n3\n65535\n0\nN/A\n1700000000\n-1\n-1\n0\n\n1\n1", resource.ToString());
  resource.SetOperating(false);
  EXPECT_EQ("-1\n4\n65535\n3\n65535\n0\nN/A\n1700000000\n-1\n-1\n0\n\n0\n1", resource.ToString());
}

TEST(ResourceEntityParse, RoundTripTablePerKind) {
  for (int kind = 0; kind <= 6; ++kind) {
    for (const std::string& status : {FreshStatus(kind), EdgeStatus(kind)}) {
      std::string text = status + "\n" + ConfigText(kind);
      EXPECT_EQ(text, entity_test::RoundTrip<ResourceEntity>(text)) << "kind " << kind;
    }
  }
}

TEST(ResourceEntityParse, ParsedFieldsAndIndexLeftAfterTheConfiguration) {
  std::vector<std::string> lines = Lines(EdgeStatus(2) + "\n" + ConfigText(2) + "\nnext");
  unsigned index = 0;
  ResourceEntity resource(&lines, &index);
  EXPECT_EQ(lines.size() - 1, index);
  EXPECT_EQ(2147483647, resource.GetSpareNumber());
  EXPECT_EQ(2, resource.GetKind());
  EXPECT_EQ(0, resource.GetConfigNumber());
  EXPECT_EQ(65535, resource.GetFailureCount());
  EXPECT_EQ(65535, resource.GetSecondCounter());
  EXPECT_EQ(1, resource.GetCurrentStatu());
  EXPECT_EQ("2024-3-5 09:07:02", resource.GetDateTimeText());
  EXPECT_EQ(-2147483647 - 1, resource.GetLastFailureTime());
  EXPECT_EQ(2147483647, resource.GetSpareTime());
  EXPECT_EQ(-2147483647 - 1, resource.GetTreeId());
  EXPECT_EQ(4294967295u, resource.GetInTreeId());
  EXPECT_EQ("{0A1B2C3D-0001-0002-0304-05060708090A}", resource.GetTreeGuid());
  EXPECT_TRUE(resource.IsOperating());
  EXPECT_TRUE(resource.IsCannotStart());
  ASSERT_NE(nullptr, resource.GetIResConfig());
  EXPECT_NE(nullptr, dynamic_cast<AliasResConfig*>(resource.GetIResConfig()));
  EXPECT_EQ(ConfigText(2), resource.GetIResConfig()->ToString());
}

TEST(ResourceEntityParse, KindsWithoutConfigurationReadNoFurtherLine) {
  for (int kind : {7, 8, 9, 65535}) {
    std::string status = FreshStatus(kind);
    std::vector<std::string> lines = Lines(status + "\nmirror0\n/mnt/drbd");
    unsigned index = 0;
    ResourceEntity resource(&lines, &index);
    EXPECT_EQ(14u, index) << kind;
    EXPECT_EQ(nullptr, resource.GetIResConfig());
    EXPECT_EQ(status, resource.ToString());
  }
}

TEST(ResourceEntityParse, FlagsAndNumberLines) {
  // Flags are '1' only; 16-bit lines keep their low bits; no number reads 0.
  std::string text = "x\n5\n65536\n65537\n-1\nabc\nN/A\n 12z\n-1\n7\n-1\ng\ntrue\n01\n" + ConfigText(5);
  EXPECT_EQ("0\n5\n0\n1\n65535\n0\nN/A\n12\n-1\n7\n4294967295\ng\n0\n0\n" + ConfigText(5),
            entity_test::RoundTrip<ResourceEntity>(text));
}

TEST(ResourceEntityParse, ShortInputFailsAtEveryLineWithoutLeaking) {
  // Every prefix, also those that stop inside the configuration or right after
  // a parsed date-time.
  entity_test::ExpectShortInputFails<ResourceEntity>(EdgeStatus(1) + "\n" + ConfigText(1));
  entity_test::ExpectShortInputFails<ResourceEntity>(FreshStatus(8));
}

TEST(ResourceEntityParse, UnreadableDateTimeThrowsTheDateTimeFailure) {
  std::string text = FreshStatus(3);
  text.replace(text.find("N/A"), 3, "n/a");
  std::vector<std::string> lines = Lines(text + "\n" + ConfigText(3));
  unsigned index = 0;
  entity_test::ExpectThrowCode([&] { ResourceEntity resource(&lines, &index); }, "DATETIME");
}

// ---- SetCurrentStatu and the event bus ------------------------------------

namespace {

// Subscriber counting "RES_TREE_CHANGED"; when blockFirst is set, the first
// event it receives holds the event thread until Release().
class TreeEventCounter : public EventClient {
 public:
  explicit TreeEventCounter(bool blockFirst = false) : _blockFirst(blockFirst) {}

  void _Notify(int, std::string source, std::string text) override {
    std::unique_lock<std::mutex> lock(_mutex);
    if (_blockFirst) {
      _blockFirst = false;
      _blocked = true;
      _changed.notify_all();
      _changed.wait(lock, [this] { return _released; });
      _blocked = false;
    }
    if (source == "NOTIFY" && text == "RES_TREE_CHANGED") ++_treeChanged;
    _seen.push_back(text);
    _changed.notify_all();
  }

  // Waits until an event with this text was delivered.
  bool WaitFor(const std::string& text) {
    std::unique_lock<std::mutex> lock(_mutex);
    return _changed.wait_for(lock, std::chrono::seconds(60), [&] {
      for (const std::string& seen : _seen) {
        if (seen == text) return true;
      }
      return false;
    });
  }
  bool WaitBlocked() {
    std::unique_lock<std::mutex> lock(_mutex);
    return _changed.wait_for(lock, std::chrono::seconds(60), [this] { return _blocked; });
  }
  void Release() {
    std::lock_guard<std::mutex> lock(_mutex);
    _released = true;
    _changed.notify_all();
  }
  int TreeChanged() {
    std::lock_guard<std::mutex> lock(_mutex);
    return _treeChanged;
  }

 private:
  std::mutex _mutex;
  std::condition_variable _changed;
  bool _blockFirst;
  bool _blocked = false;
  bool _released = false;
  int _treeChanged = 0;
  std::vector<std::string> _seen;
};

}  // namespace

TEST(ResourceEntityEventConcurrency, OnlyAChangedStatusIsAnnounced) {
  TreeEventCounter counter;
  EventManager* bus = EventManager::Instance();
  bus->Subscript(&counter);

  ResourceEntity resource(1, 0);
  resource.SetCurrentStatu(0);  // equal to the stored value
  resource.SetCurrentStatu(1);
  resource.SetCurrentStatu(1);
  bus->Notify(-1, "NOTIFY", "MARK-1");
  ASSERT_TRUE(counter.WaitFor("MARK-1"));
  EXPECT_EQ(1, counter.TreeChanged());
  EXPECT_EQ(1, resource.GetCurrentStatu());

  resource.SetCurrentStatu(0);
  bus->Notify(-1, "NOTIFY", "MARK-2");
  ASSERT_TRUE(counter.WaitFor("MARK-2"));
  EXPECT_EQ(2, counter.TreeChanged());
  EXPECT_EQ(0, resource.GetCurrentStatu());

  bus->DeSubscript(&counter);
}

// The one slow test: the event bus gives up on a full queue after 20 s.
TEST(ResourceEntityEventConcurrency, FullEventQueueStoresTheStatusAndDropsTheEvent) {
  TreeEventCounter counter(true);
  EventManager* bus = EventManager::Instance();
  bus->Subscript(&counter);

  // Hold the event thread in its first delivery, then fill every slot.
  bus->Notify(-1, "NOTIFY", "HOLD");
  ASSERT_TRUE(counter.WaitBlocked());
  for (int i = 1; i < EventManager::EVENT_QUEUE_CAPACITY; ++i) bus->Notify(-1, "NOTIFY", "FILL");

  ResourceEntity resource(static_cast<short>(0), static_cast<short>(0));
  auto start = std::chrono::steady_clock::now();
  EXPECT_NO_THROW(resource.SetCurrentStatu(1));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(19000));
  EXPECT_EQ(1, resource.GetCurrentStatu());

  counter.Release();
  bus->Notify(-1, "NOTIFY", "DRAINED");
  ASSERT_TRUE(counter.WaitFor("DRAINED"));
  EXPECT_EQ(0, counter.TreeChanged());  // the dropped announcement never arrives

  // The bus works again: the next change is announced.
  resource.SetCurrentStatu(0);
  bus->Notify(-1, "NOTIFY", "AFTER");
  ASSERT_TRUE(counter.WaitFor("AFTER"));
  EXPECT_EQ(1, counter.TreeChanged());
  bus->DeSubscript(&counter);
}
