#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "DrbdFixture.h"
#include "entity/DrbdRtDataEntity.h"
#include "framework/Exception.h"
#include "storage/DrbdHelper.h"
#include "storage/DrbdRtDataTable.h"

using Oxbrindale::Velmora::Entity::DrbdRtDataEntity;
using Oxbrindale::Velmora::Framework::DrbdHelper;
using Oxbrindale::Velmora::Framework::DrbdRtDataTable;
using storage_test::DrbdFixture;

namespace {

const char kVersion84[] =
    "version: 8.4.11 (api:1/proto:86-101)\n"
    "srcversion: 0E8B3B2B8A5A7F2E0D4F1C3\n";

// The record of device in table, as text with the stand-alone flag after a
// '/'; "none" when the slot is empty.
std::string Record(const DrbdRtDataTable& table, unsigned long device) {
  DrbdRtDataEntity record;
  if (!table.Get(device, record)) return "none";
  return record.ToString() + "/" + (record.standalone ? "1" : "0");
}

TEST(DrbdRtDataTableTest, ProcDrbdForms) {
  struct Case {
    const char* name;
    std::string text;
    unsigned long device;
    std::string record;  // fields 1-15 joined by '|', then '/' and the stand-alone flag
  };
  // Refreshed at tick 10000 ms, the first sample of a new record: rates
  // are the counters over 10 s.
  const std::vector<Case> cases = {
      {"8.4 device 0", std::string(kVersion84) +
           " 0: cs:Connected ro:Primary/Secondary ds:UpToDate/UpToDate C r-----\n"
           "    ns:0 nr:0 dw:2048 dr:1024 al:0 bm:0 lo:0 pe:0 ua:0 ap:0 ep:1 wo:f oos:0\n",
       0, "0|1|8|1|1048576|2097152|0|0|0|0|209715|104857|10000|1048576|2097152/0"},
      {"8.3 role after st:, secondary, stand-alone, diskless",
       "version: 8.3.16 (api:88/proto:86-97)\n"
       " 0: cs:StandAlone st:Secondary/Primary ds:Diskless/UpToDate C r----\n"
       "    ns:0 nr:0 dw:0 dr:0 al:0 bm:0 lo:0 pe:0 ua:0 ap:0 ep:1 wo:b oos:8\n",
       0, "0|0|0|0|0|0|8192|0|0|0|0|0|10000|0|0/1"},
      {"unlisted connection state, unknown disk state",
       " 5: cs:WFConnection ro:Primary/Unknown ds:Weird/DUnknown C r---\n    ns:0 dw:0 dr:0 oos:0\n", 5,
       "5|0|6|1|0|0|0|0|0|0|0|0|10000|0|0/0"},
      {"device 10 without a leading blank",
       " 9: cs:Connected ro:Secondary/Secondary ds:Inconsistent/Inconsistent C r---\n    dw:0 dr:0 oos:0\n"
       "10: cs:VerifyS ro:Primary/Secondary ds:Outdated/UpToDate C r---\n    dw:0 dr:3 oos:0\n",
       10, "10|1|5|1|3072|0|0|0|0|0|0|307|10000|3072|0/0"},
      {"resync block of four lines",
       " 1: cs:SyncSource ro:Primary/Secondary ds:UpToDate/Inconsistent C r-----\n"
       "    ns:0 nr:0 dw:0 dr:0 al:0 bm:0 lo:0 pe:0 ua:0 ap:0 ep:1 wo:f oos:1241088\n"
       "\t[===>................] sync'ed: 15.6% (1024/1212)M\n"
       "\tfinish: 0:00:42 speed: 24,192 (24,192) K/sec\n"
       " 2: cs:Connected ro:Secondary/Primary ds:UpToDate/UpToDate C r-----\n    dw:1 dr:0 oos:0\n",
       1, "1|1|8|1|0|0|1270874112|1|197132288|24772608|0|0|10000|0|0/0"},
      {"the line after a resync block is the next device",
       " 1: cs:SyncSource ro:Primary/Secondary ds:UpToDate/Inconsistent C r-----\n"
       "    ns:0 nr:0 dw:0 dr:0 oos:1241088\n"
       "\t[===>................] sync'ed: 15.6% (813312/1035260)K\n"
       "\tfinish: 0:00:33 speed: 24,440 (24,440) K/sec\n"
       " 2: cs:Connected ro:Secondary/Primary ds:UpToDate/UpToDate C r-----\n    dw:1 dr:0 oos:0\n",
       2, "2|1|8|0|0|1024|0|0|0|0|102|0|10000|0|1024/0"},
      {"progress line as the last line: no resync",
       " 1: cs:SyncTarget ro:Secondary/Primary ds:Inconsistent/UpToDate C r-----\n"
       "    ns:0 nr:0 dw:0 dr:0 oos:4\n"
       "\t[===>................] sync'ed: 15.6% (1024/1212)M",
       1, "1|1|4|0|0|0|4096|0|0|0|0|0|10000|0|0/0"},
      {"device line without a counters line", " 3: cs:Connected ro:Primary/Secondary ds:UpToDate/UpToDate C r---", 3,
       "none"},
      {"unconfigured device", " 4: cs:Unconfigured\n", 4, "none"},
      {"device 64 and a line without a number",
       "64: cs:Connected ro:Primary/Secondary ds:UpToDate/UpToDate C r---\n    dw:0 dr:0 oos:0\n"
       "xx: cs:Connected ro:Primary/Secondary ds:UpToDate/UpToDate C r---\n    dw:0 dr:0 oos:0\n",
       0, "none"},
      {"missing keys and words that are no numbers",
       " 6: cs:Connected ro:Primary/Secondary\n    dw:abc oos:\n", 6, "6|1|6|1|0|0|0|0|0|0|0|0|10000|0|0/0"},
      {"counters near 2^64 wrap instead of overflowing",
       " 7: cs:Connected ro:Primary/Secondary ds:UpToDate/UpToDate C r---\n"
       "    dw:18446744073709551615 dr:99999999999999999999999 oos:18014398509481984\n"
       "\t[>] sync'ed: 0.0% (18446744073709551615/1)G\n\tspeed: 18446744073709551615 K/sec\n",
       7, "7|1|8|1|2271269802381147136|18446744073709550592|1073741824|1|0|18446744073709550592|"
          "1844674407370955264|227126980238114720|10000|2271269802381147136|18446744073709550592/0"},
  };
  for (const Case& c : cases) {
    DrbdRtDataTable table;
    table.Refresh(c.text, 10000);
    EXPECT_EQ(c.record, Record(table, c.device)) << c.name;
  }
}

TEST(DrbdRtDataTableTest, RatesAreSampledAtMostOncePerSecond) {
  const std::string at = " 0: cs:Connected ro:Primary/Secondary ds:UpToDate/UpToDate C r---\n    dw:%W dr:%R oos:0\n";
  auto text = [&](int read, int written) {
    std::string t = at;
    t.replace(t.find("%W"), 2, std::to_string(written));
    t.replace(t.find("%R"), 2, std::to_string(read));
    return t;
  };
  DrbdRtDataTable table;
  table.Refresh(text(0, 0), 50000);
  DrbdRtDataEntity r;
  table.Refresh(text(100, 200), 50400);  // 400 ms later: no sample
  ASSERT_TRUE(table.Get(0, r));
  EXPECT_EQ(0u, r.readRate);
  EXPECT_EQ(50000u, r.lastSampleTick);
  table.Refresh(text(1200, 2400), 51200);  // 1200 ms after the sample
  ASSERT_TRUE(table.Get(0, r));
  EXPECT_EQ(1200u * 1024 * 1000 / 1200, r.readRate);
  EXPECT_EQ(2400u * 1024 * 1000 / 1200, r.writeRate);
  EXPECT_EQ(51200u, r.lastSampleTick);
  // The device was attached anew: its counters start from 0 again.
  table.Refresh(text(10, 20), 53200);
  ASSERT_TRUE(table.Get(0, r));
  EXPECT_EQ(0u, r.readRate);
  EXPECT_EQ(0u, r.writeRate);
  EXPECT_EQ(10240u, r.lastBytesRead);
}

TEST(DrbdRtDataTableTest, UnconfiguredDeviceDropsItsRecordAndAFreshOneStartsAtZero) {
  DrbdRtDataTable table;
  const std::string device1 = " 1: cs:Connected ro:Primary/Secondary ds:UpToDate/UpToDate C r---\n    dw:0 dr:5 oos:0\n";
  table.Refresh(device1, 10000);
  table.Refresh(device1.substr(0, device1.find('\n')) + "X\n    dw:0 dr:9 oos:0\n", 20000);
  DrbdRtDataEntity r;
  ASSERT_TRUE(table.Get(1, r));
  EXPECT_EQ(20000u, r.lastSampleTick);
  table.Refresh(" 1: cs:Unconfigured\n", 21000);
  EXPECT_FALSE(table.Get(1, r));
  table.Refresh(device1, 21500);
  ASSERT_TRUE(table.Get(1, r));
  EXPECT_EQ(21500u, r.lastSampleTick) << "the new record was not sampled against time 0";
  // A device no longer listed keeps its record; an empty text changes nothing.
  table.Refresh("version: 8.4.11\n", 30000);
  table.Refresh("", 30000);
  EXPECT_TRUE(table.Get(1, r));
}

// Through DrbdHelper: /proc/drbd of the test's system root.
class DrbdRtDataHelperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The helper's table lives as long as the process: start from no records.
    std::string none;
    for (int i = 0; i < 64; ++i) none += std::to_string(i) + ": cs:Unconfigured\n";
    fixture_.Write("/proc/drbd", none);
    std::string list;
    DrbdHelper::GetRtDataListString(&list);
    ASSERT_EQ("", list);
  }
  DrbdFixture fixture_;
};

TEST_F(DrbdRtDataHelperTest, ListAndLookupReadTheFileEachTime) {
  fixture_.Env().FixWallClock(1000, 0);  // tick 1000000 ms
  fixture_.Write("/proc/drbd", std::string(kVersion84) +
                                   " 3: cs:Connected ro:Secondary/Primary ds:UpToDate/UpToDate C r---\n"
                                   "    dw:0 dr:0 oos:0\n"
                                   " 0: cs:Connected ro:Primary/Secondary ds:UpToDate/UpToDate C r---\n"
                                   "    dw:0 dr:0 oos:0\n");
  std::string list;
  DrbdHelper::GetRtDataListString(&list);
  EXPECT_EQ("0|1|8|1|0|0|0|0|0|0|0|0|1000000|0|0\n3|1|8|0|0|0|0|0|0|0|0|0|1000000|0|0", list);

  DrbdRtDataEntity r;
  ASSERT_TRUE(DrbdHelper::GetRtDataByDeviceNumber(0, r));
  EXPECT_EQ(1u, r.primary);
  EXPECT_FALSE(DrbdHelper::GetRtDataByDeviceNumber(1, r));

  // An empty /proc/drbd: the records held answer.
  fixture_.Write("/proc/drbd", "");
  EXPECT_TRUE(DrbdHelper::GetRtDataByDeviceNumber(3, r));

  // No /proc/drbd: DRBD is not there. Devices past 63 are refused before.
  fixture_.Remove("/proc/drbd");
  EXPECT_FALSE(DrbdHelper::GetRtDataByDeviceNumber(64, r));
  for (int call = 0; call < 2; ++call) {
    try {
      if (call == 0) DrbdHelper::GetRtDataByDeviceNumber(3, r);
      else DrbdHelper::GetRtDataListString(&list);
      ADD_FAILURE() << "no exception";
    } catch (Exception* e) {
      EXPECT_EQ("DRBD", e->code);
      EXPECT_EQ("你并没有安装DRBD，或DRBD服务未启动。", e->message);
      delete e;
    }
  }
  fixture_.Write("/proc/drbd", "version: 8.4.11\n");
  EXPECT_TRUE(DrbdHelper::GetRtDataByDeviceNumber(3, r)) << "a failed read changed the table";
}

// Request workers, split-brain threads and resource workers read at once.
using DrbdRtDataConcurrency = DrbdRtDataHelperTest;

TEST_F(DrbdRtDataConcurrency, ReadersOnManyThreads) {
  fixture_.Write("/proc/drbd", " 0: cs:Connected ro:Primary/Secondary ds:UpToDate/UpToDate C r---\n"
                               "    dw:4 dr:8 oos:0\n"
                               " 1: cs:SyncSource ro:Primary/Secondary ds:UpToDate/Inconsistent C r---\n"
                               "    dw:0 dr:0 oos:4\n\t[=>] sync'ed: 1.0% (3/4)M\n\tspeed: 1,000 K/sec\n");
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        DrbdRtDataEntity r;
        if (!DrbdHelper::GetRtDataByDeviceNumber(static_cast<unsigned long>((t + i) % 2), r)) ++wrong;
        std::string list;
        DrbdHelper::GetRtDataListString(&list);
        if (list.find('\n') == std::string::npos) ++wrong;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(0, wrong.load());
}

}  // namespace
