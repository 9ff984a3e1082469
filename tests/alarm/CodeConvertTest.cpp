#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "alarm/CodeConvert.h"

using Oxbrindale::Velmora::Alarm::code_convert;

namespace {

TEST(AlarmCodeConvert, OutputIsZeroFilledEvenWhenTheConverterCannotBeOpened) {
  char out[8];
  std::memset(out, 'x', sizeof(out));
  EXPECT_EQ(-1, code_convert("utf-8", "NO-SUCH-CODE-SET", "ab", 2, out, sizeof(out)));
  EXPECT_EQ(std::string(sizeof(out), '\0'), std::string(out, sizeof(out)));
}

TEST(AlarmCodeConvert, MissingBuffersAreRefusedNotFollowed) {
  char out[8];
  EXPECT_EQ(0, code_convert("utf-8", "gb2312", nullptr, 5, out, sizeof(out)));  // nothing to convert
  EXPECT_EQ("", std::string(out));
  EXPECT_EQ(0, code_convert("utf-8", "gb2312", "", 0, nullptr, 16));
  EXPECT_EQ(-1, code_convert("utf-8", "gb2312", "ab", 2, nullptr, 16));  // nowhere to put it
}

}  // namespace
