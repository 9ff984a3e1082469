// Running status, DRBD run-time data and sounding-alarm records.
#include <gtest/gtest.h>

#include "EntityTestUtil.h"
#include "entity/DrbdRtDataEntity.h"
#include "entity/RunningStatusEntity.h"
#include "entity/SLEAData.h"
#include "framework/DateTime.h"
#include "support/TempDir.h"
#include "support/TestEnv.h"

using Oxbrindale::Velmora::Entity::DrbdRtDataEntity;
using Oxbrindale::Velmora::Entity::RunningStatusEntity;
using Oxbrindale::Velmora::Entity::SLEAData;
using Oxbrindale::Velmora::Framework::DateTime;
using entity_test::Lines;

namespace {

class ClockFixture : public ::testing::Test {
 protected:
  static constexpr long long kNow = 1700000000;
  ClockFixture() : env_(dir_.Path()) { env_.FixWallClock(kNow); }
  tarrow_test::TempDir dir_;
  tarrow_test::TestEnv env_;
};

}  // namespace

// ---- RunningStatusEntity --------------------------------------------------

using RunningStatusEntityTest = ClockFixture;

TEST_F(RunningStatusEntityTest, FreshRecordText) {
  RunningStatusEntity fresh;
  EXPECT_EQ("\n4294967295\n4294967295\n-1\n-1\n-1", fresh.ToString());
  EXPECT_FALSE(fresh.IsParsed());
  EXPECT_EQ(kNow, fresh.GetLocalTime());
}

TEST_F(RunningStatusEntityTest, RoundTripTable) {
  const char* texts[] = {
      "bl\n0\n0\n-1\n1700000000\n1700000000",
      "\n4294967295\n4294967295\n-1\n-1\n-1",
      "运行 | x\n1\n2\n-2\n-2147483648\n2147483647",
      "\n0\n4294967295\n2147483647\n0\n0",
  };
  for (const char* text : texts) EXPECT_EQ(text, entity_test::RoundTrip<RunningStatusEntity>(text));
}

TEST_F(RunningStatusEntityTest, NumberLinesKeepTheLowBitsAndReadNothingAsZero) {
  // -1 in an unsigned line is all ones; 4294967296 keeps its low 32 bits;
  // a line without a number reads 0; trailing text is ignored.
  EXPECT_EQ("t\n4294967295\n0\n0\n12\n-5",
            entity_test::RoundTrip<RunningStatusEntity>("t\n-1\n4294967296\nabc\n12ab\n  -5"));
}

TEST_F(RunningStatusEntityTest, ShortInputFailsAtEveryLine) {
  entity_test::ExpectShortInputFails<RunningStatusEntity>("bl\n0\n0\n-1\n1\n2");
}

TEST_F(RunningStatusEntityTest, ParsingSetsParsedFlagAndLocalTimeAndLeavesIndexOnNextRecord) {
  std::vector<std::string> lines = Lines("a\n1\n2\n3\n4\n5\nb\n6\n7\n8\n9\n10");
  unsigned index = 0;
  RunningStatusEntity first(&lines, &index);
  EXPECT_EQ(6u, index);
  RunningStatusEntity second(&lines, &index);
  EXPECT_EQ(12u, index);
  EXPECT_TRUE(first.IsParsed());
  EXPECT_EQ(kNow, first.GetLocalTime());
  EXPECT_EQ("b", second.GetText());
  EXPECT_EQ(6u, second.GetForeignRunningTrees());
  EXPECT_EQ(7u, second.GetRunningTrees());
  EXPECT_EQ(8, second.GetMachineStatu());
  EXPECT_EQ(9, second.GetReportTime());
  EXPECT_EQ(10, second.GetStartTime());
}

TEST_F(RunningStatusEntityTest, CopyKeepsLocalTimeAndParsedFlag) {
  std::vector<std::string> lines = Lines("bl\n1\n2\n3\n4\n5");
  unsigned index = 0;
  RunningStatusEntity parsed(&lines, &index);
  env_.FixWallClock(kNow + 50);
  RunningStatusEntity copy(parsed);
  EXPECT_EQ(parsed.ToString(), copy.ToString());
  EXPECT_TRUE(copy.IsParsed());
  EXPECT_EQ(kNow, copy.GetLocalTime());
}

TEST_F(RunningStatusEntityTest, RunningTimespanIgnoresTheClockDifferenceBetweenMachines) {
  // The sender's clock is 1000 s ahead; it reports at its time R with a start
  // time 100 s before R. Parsed here at kNow, read 5 s later: 105.
  const long long report = kNow + 1000;
  std::vector<std::string> lines =
      Lines("bl\n0\n0\n4\n" + std::to_string(report) + "\n" + std::to_string(report - 100));
  unsigned index = 0;
  RunningStatusEntity parsed(&lines, &index);
  EXPECT_EQ(100, parsed.GetRunningTimespan());
  env_.FixWallClock(kNow + 5);
  EXPECT_EQ(105, parsed.GetRunningTimespan());

  // The owner's own record, reported now (kNow + 5), started at kNow - 30.
  RunningStatusEntity own;
  own.SetStartTime(static_cast<int32_t>(kNow - 30));
  own.SetReportTime(static_cast<int32_t>(kNow + 5));
  EXPECT_EQ(35, own.GetRunningTimespan());
}

// ---- DrbdRtDataEntity -----------------------------------------------------

TEST(DrbdRtDataEntityTest, FreshRecordIsFifteenZeros) {
  DrbdRtDataEntity fresh;
  EXPECT_EQ("0|0|0|0|0|0|0|0|0|0|0|0|0|0|0", fresh.ToString());
  EXPECT_FALSE(fresh.standalone);
}

TEST(DrbdRtDataEntityTest, FieldsInTableOrderAndFullWidth) {
  DrbdRtDataEntity data;
  data.minor = 1;
  data.connected = 2;
  data.diskState = 8;
  data.primary = 1;
  data.bytesRead = 5;
  data.bytesWritten = 6;
  data.outOfSync = 7;
  data.syncing = 1;
  data.resynced = 9;
  data.syncSpeed = 10;
  data.writeRate = 11;
  data.readRate = 12;
  data.lastSampleTick = 13;
  data.lastBytesRead = 14;
  data.lastBytesWritten = 18446744073709551615ull;
  EXPECT_EQ("1|2|8|1|5|6|7|1|9|10|11|12|13|14|18446744073709551615", data.ToString());

  data.minor = 4294967295u;
  DrbdRtDataEntity copy = data;  // handed out by value
  EXPECT_EQ("4294967295|2|8|1|5|6|7|1|9|10|11|12|13|14|18446744073709551615", copy.ToString());
}

// ---- SLEAData ---------------------------------------------------------------

using SLEADataTest = ClockFixture;

TEST_F(SLEADataTest, FreshRecordText) {
  SLEAData fresh;
  EXPECT_EQ("false\n-1\n" + DateTime().ToString() + "\n", fresh.ToString());
}

TEST_F(SLEADataTest, RoundTripTable) {
  const char* texts[] = {
      "true\n16\n2024-3-5 09:07:02\n磁盘故障 | 告警",
      "false\n-1\n2023-12-31 23:59:59\n",
      "false\n-2147483648\n2024-1-1 00:00:00\n ",
      "true\n2147483647\n2024-2-29 12:00:00\nx",
  };
  for (const char* text : texts) EXPECT_EQ(text, entity_test::RoundTrip<SLEAData>(text));
}

TEST_F(SLEADataTest, SoundingFlagIsTrueOnlyForLowerCaseTrue) {
  EXPECT_EQ("false\n3\n2024-3-5 09:07:02\nt", entity_test::RoundTrip<SLEAData>("True\n3\n2024-3-5 09:07:02\nt"));
  EXPECT_EQ("false\n3\n2024-3-5 09:07:02\nt", entity_test::RoundTrip<SLEAData>("1\n3\n2024-3-5 09:07:02\nt"));
}

TEST_F(SLEADataTest, ShortInputAndBadDateTime) {
  entity_test::ExpectShortInputFails<SLEAData>("true\n3\n2024-3-5 09:07:02\ntext");
  std::vector<std::string> lines = Lines("true\n3\nyesterday\ntext");
  unsigned index = 0;
  entity_test::ExpectThrowCode([&] { SLEAData record(&lines, &index); }, "DATETIME");
}
