#include "config/IConfig.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "config/RecordTestUtil.h"

using Oxbrindale::Velmora::Config::IConfig;
using record_test::FailureOf;

namespace {

// Smallest concrete record: only for MoveAndGet.
class OneLineRecord : public IConfig {
 public:
  std::string ToString() override { return ""; }
};

}  // namespace

TEST(IConfig, MoveAndGetReturnsLineAndAdvances) {
  OneLineRecord record;
  std::vector<std::string> lines = {"a", "", "c"};
  unsigned int index = 2;
  EXPECT_EQ(record.MoveAndGet(&lines, &index), "c");
  EXPECT_EQ(index, 3u);
  index = 1;
  EXPECT_EQ(record.MoveAndGet(&lines, &index), "");  // an empty line is a line
  EXPECT_EQ(index, 2u);
}

TEST(IConfig, MoveAndGetPastTheEndThrowsAndLeavesIndex) {
  OneLineRecord record;
  std::vector<std::string> lines = {"a", "b", "c"};
  for (unsigned int start : {3u, 4u, 4000000000u}) {
    unsigned int index = start;
    EXPECT_EQ(FailureOf([&] { record.MoveAndGet(&lines, &index); }), record_test::kFormErrOutOfLines);
    EXPECT_EQ(index, start);
  }
}

TEST(IConfig, NumberLinesReadLikeAStreamAndKeepTheLowBits) {
  struct Case {
    std::string line;
    int64_t as64;
    int32_t as32;
    uint32_t asU32;
    int16_t as16;
    uint16_t asU16;
  };
  const Case cases[] = {
      {"0", 0, 0, 0, 0, 0},
      {"42", 42, 42, 42, 42, 42},
      {"-1", -1, -1, 4294967295u, -1, 65535},
      {"+7", 7, 7, 7, 7, 7},
      {"  \t12", 12, 12, 12, 12, 12},      // leading blanks skipped
      {"12abc", 12, 12, 12, 12, 12},       // rest of the line ignored
      {"12 34", 12, 12, 12, 12, 12},
      {"0x10", 0, 0, 0, 0, 0},             // decimal only
      {"", 0, 0, 0, 0, 0},                 // no number: 0
      {"abc", 0, 0, 0, 0, 0},
      {"-", 0, 0, 0, 0, 0},
      {"- 5", 0, 0, 0, 0, 0},
      {"65535", 65535, 65535, 65535, -1, 65535},
      {"65536", 65536, 65536, 65536, 0, 0},  // 16-bit field: low 16 bits
      {"65537", 65537, 65537, 65537, 1, 1},
      {"2147483648", 2147483648LL, INT32_MIN, 2147483648u, 0, 0},
      {"4294967296", 4294967296LL, 0, 0, 0, 0},
      {"4294967295", 4294967295LL, -1, 4294967295u, -1, 65535},
      {"-2147483649", -2147483649LL, INT32_MAX, 2147483647u, -1, 65535},
      {"9223372036854775807", INT64_MAX, -1, 4294967295u, -1, 65535},
      {"18446744073709551615", -1, -1, 4294967295u, -1, 65535},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("line \"" + c.line + "\"");
    EXPECT_EQ(IConfig::ParseInt64(c.line), c.as64);
    EXPECT_EQ(IConfig::ReadNumber<int32_t>(c.line), c.as32);
    EXPECT_EQ(IConfig::ReadNumber<uint32_t>(c.line), c.asU32);
    EXPECT_EQ(IConfig::ReadNumber<int16_t>(c.line), c.as16);
    EXPECT_EQ(IConfig::ReadNumber<uint16_t>(c.line), c.asU16);
  }
  EXPECT_EQ(IConfig::ReadNumber<uint64_t>("18446744073709551615"), UINT64_MAX);
}

TEST(IConfig, NumbersAreWrittenAsDecimalsOfTheirType) {
  EXPECT_EQ(IConfig::NumberText(int16_t(-1)), "-1");
  EXPECT_EQ(IConfig::NumberText(uint16_t(65535)), "65535");
  EXPECT_EQ(IConfig::NumberText(uint32_t(4294967295u)), "4294967295");
  EXPECT_EQ(IConfig::NumberText(int32_t(INT32_MIN)), "-2147483648");
  EXPECT_EQ(IConfig::NumberText(uint64_t(UINT64_MAX)), "18446744073709551615");
}

TEST(IConfig, BoolLineIsTrueOnlyForExactTrue) {
  const std::pair<std::string, bool> cases[] = {
      {"true", true}, {"True", false}, {"TRUE", false}, {"1", false},
      {"", false},    {" true", false}, {"true ", false}, {"false", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IConfig::ReadBool(c.first), c.second) << "\"" << c.first << "\"";
  EXPECT_EQ(IConfig::BoolText(true), "true");
  EXPECT_EQ(IConfig::BoolText(false), "false");
}

TEST(IConfig, ListLinesSplitAndJoinKeepingEmptyElements) {
  struct Case {
    std::string line;
    std::vector<std::string> elements;
  };
  const Case cases[] = {
      {"", {}},
      {"a", {"a"}},
      {"a|b", {"a", "b"}},
      {"a||b", {"a", "", "b"}},
      {"a|", {"a", ""}},
      {"|a", {"", "a"}},
      {"|", {"", ""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("line \"" + c.line + "\"");
    EXPECT_EQ(IConfig::SplitList(c.line), c.elements);
    EXPECT_EQ(IConfig::JoinList(c.elements), c.line);
  }
  // A list of one empty element is written as an empty line (and so reads
  // back as an empty list).
  EXPECT_EQ(IConfig::JoinList({""}), "");
}

TEST(IConfig, SplitLinesRemovesCarriageReturnsAndKeepsEmptyLines) {
  EXPECT_EQ(IConfig::SplitLines("a\r\nb\r\n"), (std::vector<std::string>{"a", "b", ""}));
  EXPECT_EQ(IConfig::SplitLines("a\n\nb"), (std::vector<std::string>{"a", "", "b"}));
}

TEST(IConfig, ConsoleTextChecksRefuseWhatBreaksALineListOrDrbdConf) {
  const std::string lineBreak = "FORM_ERR|名称不能包含回车、换行或空字符！";
  const std::string bar = "FORM_ERR|名称的每一项都不能包含字符“|”！";
  const std::string drbd = "FORM_ERR|名称不能包含引号、花括号、分号、竖线或空白字符！";
  struct Case {
    std::string value;
    std::string text;      // CheckText
    std::string list;      // CheckListText({value})
    std::string drbdText;  // CheckDrbdText
  };
  const Case cases[] = {
      {"", "", "", ""},
      {"r0", "", "", ""},
      {"中文名", "", "", ""},
      {"a\rb", lineBreak, lineBreak, lineBreak},
      {"a\nb", lineBreak, lineBreak, lineBreak},
      {std::string("a\0b", 3), lineBreak, lineBreak, lineBreak},
      {"a|b", "", bar, drbd},
      {"a b", "", "", drbd},
      {"a\tb", "", "", drbd},
      {"a\"b", "", "", drbd},
      {"a{", "", "", drbd},
      {"}", "", "", drbd},
      {"a;b", "", "", drbd},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("value \"" + c.value + "\"");
    EXPECT_EQ(FailureOf([&] { IConfig::CheckText(c.value, "名称"); }), c.text);
    EXPECT_EQ(FailureOf([&] { IConfig::CheckListText({"ok", c.value}, "名称"); }), c.list);
    EXPECT_EQ(FailureOf([&] { IConfig::CheckDrbdText(c.value, "名称"); }), c.drbdText);
  }
}
