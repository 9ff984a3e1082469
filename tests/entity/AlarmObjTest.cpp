#include <gtest/gtest.h>

#include <memory>

#include "entity/AlarmObj.h"
#include "framework/Exception.h"
#include "support/TempDir.h"
#include "support/TestEnv.h"

using Oxbrindale::Velmora::Entity::AlarmObj;
using Oxbrindale::Velmora::Entity::IEntity;
using Oxbrindale::Velmora::Framework::DateTime;

namespace {

void ExpectSameTime(const DateTime& a, const DateTime& b) { EXPECT_EQ(a.ToString(), b.ToString()); }

TEST(AlarmObj, WritesKindUnpaddedDateAndPaddedTime) {
  AlarmObj alarm(11, "系统启动运行！ Build 223", DateTime(2009, 3, 7, 8, 5, 9, 0));
  EXPECT_EQ("11|2009-3-7 08:05:09|系统启动运行！ Build 223", alarm.ToString());
}

TEST(AlarmObj, ParsesItsOwnTextBack) {
  AlarmObj alarm(14, "检测到镜像包 \"r0\" 发生了脑裂。", DateTime(2024, 12, 31, 23, 59, 58, 0));
  AlarmObj back(alarm.ToString());
  EXPECT_EQ(14, back.kind);
  EXPECT_EQ(alarm.text, back.text);
  ExpectSameTime(alarm.time, back.time);
  EXPECT_EQ(alarm.ToString(), back.ToString());
}

// Kind and time are read at the first two '|'; whatever follows is the text,
// so a text holding '|' survives a save and a load.
TEST(AlarmObj, TextKeepsFurtherBars) {
  AlarmObj back(std::string("3|2020-1-2 03:04:05|a|b||c|"));
  EXPECT_EQ(3, back.kind);
  EXPECT_EQ("a|b||c|", back.text);
  ExpectSameTime(DateTime(2020, 1, 2, 3, 4, 5, 0), back.time);
}

TEST(AlarmObj, EmptyTextAndCarriageReturns) {
  AlarmObj empty(std::string("7|2020-1-2 03:04:05|"));
  EXPECT_EQ(7, empty.kind);
  EXPECT_EQ("", empty.text);

  AlarmObj crlf(std::string("7|2020-1-2 03:04:05|text\r"));
  EXPECT_EQ("text", crlf.text);
}

TEST(AlarmObj, LinesWithoutTwoBarsKeepTheDefaults) {
  tarrow_test::TempDir dir;
  tarrow_test::TestEnv env(dir.Path());
  env.FixWallClock(1700000000);
  const DateTime now;
  for (const std::string line : {"", "just text", "5|2020-1-2 03:04:05"}) {
    SCOPED_TRACE(line);
    AlarmObj alarm(line);
    EXPECT_EQ(0, alarm.kind);
    EXPECT_EQ("", alarm.text);
    ExpectSameTime(now, alarm.time);
  }
}

TEST(AlarmObj, KindThatIsNoNumberReadsZero) {
  EXPECT_EQ(0, AlarmObj(std::string("x|2020-1-2 03:04:05|t")).kind);
  EXPECT_EQ(-1, AlarmObj(std::string("-1|2020-1-2 03:04:05|t")).kind);
  EXPECT_EQ(12, AlarmObj(std::string(" 12abc|2020-1-2 03:04:05|t")).kind);
}

TEST(AlarmObj, BadTimeThrowsDateTime) {
  for (const std::string line : {"1|yesterday|t", "1||t", "1|2020-13-1 00:00:00|t"}) {
    SCOPED_TRACE(line);
    try {
      AlarmObj alarm(line);
      ADD_FAILURE() << "no exception";
    } catch (Exception* e) {
      EXPECT_EQ("DATETIME", e->code);
      delete e;
    }
  }
}

TEST(AlarmObj, CopiesAndDeletesThroughTheBase) {
  AlarmObj a(2, "x", DateTime(2021, 5, 6, 7, 8, 9, 0));
  AlarmObj b(0, "", DateTime(2000, 1, 1, 0, 0, 0, 0));
  b = a;
  AlarmObj c(a);
  EXPECT_EQ(a.ToString(), b.ToString());
  EXPECT_EQ(a.ToString(), c.ToString());
  EXPECT_TRUE(AlarmObj(0, "", DateTime(2000, 1, 1, 0, 0, 0, 0)) < a);
  EXPECT_TRUE(a > AlarmObj(0, "", DateTime(2000, 1, 1, 0, 0, 0, 0)));

  std::unique_ptr<IEntity> entity(new AlarmObj(a));
  EXPECT_EQ(a.ToString(), entity->ToString());
}

}  // namespace
