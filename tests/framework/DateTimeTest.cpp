#include "framework/DateTime.h"

#include <time.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "framework/Exception.h"
#include "support/TestEnv.h"

using Oxbrindale::Velmora::Framework::DateTime;

namespace {

struct Fields {
  int year, month, day, hour, minute, second;
};

void _ExpectFields(const Fields& f, const DateTime& t, const std::string& context) {
  EXPECT_EQ(f.year, t.year) << context;
  EXPECT_EQ(f.month, t.month) << context;
  EXPECT_EQ(f.day, t.day) << context;
  EXPECT_EQ(f.hour, t.hour) << context;
  EXPECT_EQ(f.minute, t.minute) << context;
  EXPECT_EQ(f.second, t.second) << context;
  EXPECT_EQ(0, t.millisecond) << context;
}

// Seconds of a local calendar time, whatever the host's time zone.
time_t _LocalSeconds(const Fields& f) {
  struct tm local = {};
  local.tm_year = f.year - 1900;
  local.tm_mon = f.month - 1;
  local.tm_mday = f.day;
  local.tm_hour = f.hour;
  local.tm_min = f.minute;
  local.tm_sec = f.second;
  local.tm_isdst = -1;
  return mktime(&local);
}

TEST(DateTimeParse, AcceptsTheTextForms) {
  const struct {
    std::string text;
    Fields fields;
  } cases[] = {
      {"2024-03-05 09:07:02", {2024, 3, 5, 9, 7, 2}},
      {"2024-3-5 9:7:2", {2024, 3, 5, 9, 7, 2}},
      {"2025-1-1 00:00:00", {2025, 1, 1, 0, 0, 0}},
      {"2024-1-1 24:00:00", {2024, 1, 1, 24, 0, 0}},
      {"2024-12-31 23:59:59", {2024, 12, 31, 23, 59, 59}},
      {"2024-01-01 10:60:60", {2024, 1, 1, 10, 60, 60}},
      {"2024-2-31 00:00:00", {2024, 2, 31, 0, 0, 0}},  // day not checked against the month
      {"2024:1:1-0-0 0", {2024, 1, 1, 0, 0, 0}},       // any separator at any position
      {"-1-1 00:00:00", {0, 1, 1, 0, 0, 0}},           // no year bytes give year 0
      {"12345-1-1 00:00:00", {12345, 1, 1, 0, 0, 0}},
  };
  for (const auto& c : cases) _ExpectFields(c.fields, DateTime(c.text), c.text);
}

TEST(DateTimeParse, RejectsBadTextsWithTheirMessages) {
  const std::string badDate = "日期格式不正确！";
  const std::string badTime = "时间格式不正确！";
  const std::string extraBlank = "日期和时间的空格数多余一个！";
  const struct {
    std::string text;
    std::string message;
  } cases[] = {
      {"2024-13-01 00:00:00", badDate},
      {"2024-0-01 00:00:00", badDate},
      {"2024-1-32 00:00:00", badDate},
      {"2024-1-0 00:00:00", badDate},
      {"2024-001-01 00:00:00", badDate},
      {"2024--1 00:00:00", badDate},
      {"2024-1- 00:00:00", badDate},
      {"2024-a-1 00:00:00", badDate},
      {"2024-1-1 25:00:00", badTime},
      {"2024-1-1  10:00:00", extraBlank},
      {"2024-1-1 100:00:00", extraBlank},
      {"2024-01-01 10:61:00", badTime},
      {"2024-01-01 10:00:61", badTime},
      // texts that end early or carry fields of the wrong length
      {"", badDate},
      {"2024", badDate},
      {"2024-1", badDate},
      {"2024-1-1", badDate},
      {"2024-1-1 ", badTime},
      {"2024-1-1 10", badTime},
      {"2024-1-1 10:00", badTime},
      {"2024-1-1 10:00:", badTime},
      {"2024-1-1 10::00", badTime},
      {"2024-1-1 10:000:00", badTime},
      {"2024-1-1 10:00:000", badTime},
      {"2024-1-1 10:00:00 ", badTime},
      {"2024-1-1 10:00:00:00", badTime},
  };
  for (const auto& c : cases) {
    try {
      DateTime parsed(c.text);
      ADD_FAILURE() << "accepted [" << c.text << "] as " << parsed.ToString();
    } catch (Exception* e) {
      EXPECT_EQ("DATETIME", e->code) << c.text;
      EXPECT_EQ(c.message, e->message) << "[" << c.text << "]";
      delete e;
    }
  }
}

TEST(DateTimePrint, PadsOnlyTheTimeFields) {
  const struct {
    DateTime time;
    std::string text, date, clock;
  } cases[] = {
      {DateTime(2024, 3, 5, 9, 7, 2, 0), "2024-3-5 09:07:02", "2024-3-5", "09:07:02"},
      {DateTime(2025, 1, 1, 0, 0, 0, 0), "2025-1-1 00:00:00", "2025-1-1", "00:00:00"},
      {DateTime(2024, 12, 31, 23, 59, 59, 999), "2024-12-31 23:59:59", "2024-12-31", "23:59:59"},
      {DateTime(99, 10, 10, 10, 10, 10, 0), "99-10-10 10:10:10", "99-10-10", "10:10:10"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.text, c.time.ToString());
    EXPECT_EQ(c.date, c.time.ToDateString());
    EXPECT_EQ(c.clock, c.time.ToTimeString());
  }
}

TEST(DateTimePrint, PrintedTextParsesBack) {
  // Times across several decades, at odd offsets so every field varies.
  for (time_t t = 631152000; t < 2208988800; t += 1234567 + 3607) {
    struct timespec ts = {t, 0};
    DateTime original(ts);
    DateTime parsed(original.ToString());
    EXPECT_EQ(original.ToString(), parsed.ToString());
    EXPECT_FALSE(original < parsed) << original.ToString();
    EXPECT_FALSE(original > parsed) << original.ToString();
  }
}

TEST(DateTimeClock, TimespecGivesLocalFieldsIgnoringNanoseconds) {
  const Fields fields[] = {{2024, 3, 5, 9, 7, 2}, {2025, 1, 1, 0, 0, 0}, {2030, 12, 31, 23, 59, 59}};
  for (const Fields& f : fields) {
    struct timespec ts = {_LocalSeconds(f), 999999999};
    _ExpectFields(f, DateTime(ts), "timespec");
  }
}

TEST(DateTimeClock, NowReadsTheEnvWallClock) {
  tarrow_test::TestEnv env("/nowhere/");
  const Fields f = {2024, 3, 5, 9, 7, 2};
  env.FixWallClock(_LocalSeconds(f), 500000000);
  _ExpectFields(f, DateTime(), "now");
}

TEST(DateTimeOrder, ComparesFieldByFieldFromTheYear) {
  const DateTime base(2024, 6, 15, 12, 30, 30, 500);
  const struct {
    DateTime later;
    const char* what;
  } cases[] = {
      {DateTime(2025, 1, 1, 0, 0, 0, 0), "year"},      {DateTime(2024, 7, 1, 0, 0, 0, 0), "month"},
      {DateTime(2024, 6, 16, 0, 0, 0, 0), "day"},      {DateTime(2024, 6, 15, 13, 0, 0, 0), "hour"},
      {DateTime(2024, 6, 15, 12, 31, 0, 0), "minute"}, {DateTime(2024, 6, 15, 12, 30, 31, 0), "second"},
      {DateTime(2024, 6, 15, 12, 30, 30, 501), "millisecond"},
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(base < c.later) << c.what;
    EXPECT_TRUE(c.later > base) << c.what;
    EXPECT_FALSE(base > c.later) << c.what;
    EXPECT_FALSE(c.later < base) << c.what;
  }
  const DateTime same(2024, 6, 15, 12, 30, 30, 500);
  EXPECT_FALSE(base < same);
  EXPECT_FALSE(base > same);
}

TEST(DateTimeConcurrency, ClockConversionIsSafeFromManyThreads) {
  std::vector<time_t> seconds;
  std::vector<std::string> expected;
  for (time_t t = 946684800; t < 2000000000; t += 9876543) {
    seconds.push_back(t);
    expected.push_back(DateTime(timespec{t, 0}).ToString());
  }
  std::vector<int> mismatches(4, 0);
  std::vector<std::thread> threads;
  for (int n = 0; n < 4; ++n) {
    threads.emplace_back([&, n] {
      for (int round = 0; round < 50; ++round) {
        for (size_t i = 0; i < seconds.size(); ++i) {
          if (DateTime(timespec{seconds[i], 0}).ToString() != expected[i]) ++mismatches[n];
        }
        DateTime now;  // the clock constructor is used from many threads too
        if (now.year < 2000) ++mismatches[n];
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (int n = 0; n < 4; ++n) EXPECT_EQ(0, mismatches[n]) << "thread " << n;
}

}  // namespace
