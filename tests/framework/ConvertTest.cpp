#include "framework/Convert.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "framework/Env.h"
#include "framework/Exception.h"
#include "support/TempDir.h"
#include "support/TestEnv.h"

using Oxbrindale::Velmora::Framework::Convert;
using Oxbrindale::Velmora::Framework::DateTime;
using Oxbrindale::Velmora::Framework::Env;
using Oxbrindale::Velmora::Framework::__OXFile;
using Strings = std::vector<std::string>;

namespace {

// ---------------------------------------------------------------- tokenize

struct TokenizeCase {
  std::string text;
  std::string delimiters;
  bool skipEmpty;
  std::string filler;
  Strings pieces;
  std::string textAfter;  // the caller's string afterwards
};

TEST(ConvertTokenize, SplitsAsDocumented) {
  const TokenizeCase cases[] = {
      {"", "\n", false, "", {}, ""},
      {"\r", "\n", false, "", {}, ""},
      {"a\r\nb\r\n", "\n", false, "", {"a", "b", ""}, "a\nb\n"},
      {"abc", "", false, "", {}, "abc"},
      {"a\rb\r", "", false, "", {}, "ab"},
      {"a,,b", ",", false, "", {"a", "", "b"}, "a,,b"},
      {"a,,b", ",", true, "", {"a", "b"}, "a,,b"},
      {"a,,b", ",", false, "x", {"a", "x", "b"}, "a,,b"},
      {"a,,b", ",", true, "x", {"a", "b"}, "a,,b"},
      {",a,", ",", false, "", {"", "a", ""}, ",a,"},
      {",", ",", false, "", {"", ""}, ","},
      {",a,", ",", true, "", {"a"}, ",a,"},
      {",", ",", true, "", {}, ","},
      {"a,b,", ",", false, "x", {"a", "b", "x"}, "a,b,"},
      {"a;b,c", ";,", false, "", {"a", "b", "c"}, "a;b,c"},
      {"a;,b", ";,", false, "", {"a", "", "b"}, "a;,b"},
      {"abc", ",", false, "", {"abc"}, "abc"},
      {"a\r,\rb", ",", false, "", {"a", "b"}, "a,b"},
      // columns of /proc/partitions come with runs of blanks
      {"   8        1   10485760 sda1", " ", true, "", {"8", "1", "10485760", "sda1"},
       "   8        1   10485760 sda1"},
      // a delimiter set is a set of single characters, never a separator word
      {"a<>b", "<>", false, "", {"a", "", "b"}, "a<>b"},
  };
  for (const TokenizeCase& c : cases) {
    std::string text = c.text;
    Strings pieces = Convert::tokenize(text, c.delimiters, c.skipEmpty, c.filler);
    EXPECT_EQ(c.pieces, pieces) << "text [" << c.text << "] delimiters [" << c.delimiters << "] skipEmpty "
                                << c.skipEmpty;
    EXPECT_EQ(c.textAfter, text) << "text [" << c.text << "]";
  }
}

TEST(ConvertTokenize, KeepingEmptyPiecesGivesOneMorePieceThanDelimiters) {
  // The record parsers address fields by index and rely on this.
  const std::string texts[] = {"a|b|c", "||", "|x", "x|", "a||b|||c", "|"};
  for (const std::string& original : texts) {
    std::string text = original;
    size_t delimiters = static_cast<size_t>(std::count(original.begin(), original.end(), '|'));
    EXPECT_EQ(delimiters + 1, Convert::tokenize(text, "|", false, "").size()) << original;
  }
}

// ---------------------------------------------------------------- numbers and texts

TEST(ConvertNumbers, StringToNumbersReadLikeAStream) {
  const struct {
    std::string text;
    unsigned int value;
  } unsignedCases[] = {{"12ab", 12}, {" 7", 7}, {"\n42\n", 42}, {"0", 0}, {"4294967295", 4294967295u}};
  for (const auto& c : unsignedCases) EXPECT_EQ(c.value, Convert::StringToUINT(c.text)) << c.text;

  const struct {
    std::string text;
    int value;
  } signedCases[] = {{"-12", -12}, {" 42x", 42}, {"2147483647", 2147483647}, {"-2147483648", INT32_MIN}, {"7 8", 7}};
  for (const auto& c : signedCases) EXPECT_EQ(c.value, Convert::StringToInt(c.text)) << c.text;
}

TEST(ConvertNumbers, ToStringWritesDecimal) {
  EXPECT_EQ("-5", Convert::ToString<int>(-5));
  EXPECT_EQ("0", Convert::ToString<int>(0));
  EXPECT_EQ("65535", Convert::ToString<unsigned short>(65535));
  EXPECT_EQ("15538", Convert::ToString<unsigned short>(15538));
}

TEST(ConvertNumbers, IsIntegerAcceptsDigitsOnly) {
  const struct {
    std::string text;
    bool integer;
  } cases[] = {{"", true}, {"0", true}, {"0123456789", true}, {"-1", false}, {" 1", false},
               {"1 ", false}, {"+1", false}, {"1a", false}, {"1.5", false}};
  for (const auto& c : cases) EXPECT_EQ(c.integer, Convert::IsInteger(c.text)) << "[" << c.text << "]";
}

TEST(ConvertNumbers, IsStringEndWithNumberLooksAtTheLastByte) {
  const struct {
    std::string text;
    bool endsWithNumber;
  } cases[] = {{"", false}, {"sda1", true}, {"sda", false}, {"9", true}, {"1a", false}, {"eth0 ", false}};
  for (const auto& c : cases) EXPECT_EQ(c.endsWithNumber, Convert::IsStringEndWithNumber(c.text)) << c.text;
}

TEST(ConvertNumbers, SplitNumberSeparatesLettersFromDigits) {
  const struct {
    std::string text, letters, digits;
  } cases[] = {{"sda12", "sda", "12"}, {"a1b2", "ab", "12"}, {"123", "", "123"}, {"abc", "abc", ""}};
  for (const auto& c : cases) {
    std::string letters = "old", digits = "old";
    Convert::SplitNumber(c.text, letters, digits);
    EXPECT_EQ(c.letters, letters) << c.text;
    EXPECT_EQ(c.digits, digits) << c.text;
  }
  std::string letters = "keep", digits = "these";
  Convert::SplitNumber("", letters, digits);
  EXPECT_EQ("keep", letters);
  EXPECT_EQ("these", digits);
}

TEST(ConvertNumbers, FormatFileLengthInfoPicksTheUnit) {
  const int64_t MB = int64_t(1) << 20, GB = int64_t(1) << 30, TB = int64_t(1) << 40,
                PB = int64_t(1) << 50;
  const struct {
    int64_t length;
    std::string text;
  } cases[] = {{0, "0 B"},
               {1023, "1023 B"},
               {-5, "-5 B"},
               {1024, "1.000 KB"},
               {1536, "1.500 KB"},
               {MB - 1, "1023.999 KB"},
               {MB, "1.000 MB"},
               {GB, "1.000 GB"},
               {3 * GB / 2, "1.500 GB"},
               {TB, "1.000 TB"},
               {PB - 1, "1024.000 TB"},
               {PB, "Unknow"},
               {INT64_MAX, "Unknow"}};
  for (const auto& c : cases) EXPECT_EQ(c.text, Convert::FormatFileLengthInfo(c.length)) << c.length;
  EXPECT_EQ("1.500", Convert::GetSpNumber(1536, 1024));
  EXPECT_EQ("0.333", Convert::GetSpNumber(1, 3));
}

TEST(ConvertNumbers, GetFileNameByFullPathTakesTheLastPiece) {
  const struct {
    std::string path, name;
  } cases[] = {{"/a/b", "b"}, {"/a/b/", ""}, {"b", "b"}, {"/opt/x/tarrowd", "tarrowd"}, {"", ""}, {"/", ""}};
  for (const auto& c : cases) EXPECT_EQ(c.name, Convert::GetFileNameByFullPath(c.path)) << c.path;
}

// ---------------------------------------------------------------- code sets

TEST(ConvertCodeConvert, ConvertsBothWaysIncludingTextThatGrows) {
  const std::string utf8 = "中文abc";
  const std::string gb = "\xD6\xD0\xCE\xC4" "abc";
  std::string text = utf8;
  Convert::CodeConvert(text, "UTF-8", "GB2312");
  EXPECT_EQ(gb, text);
  // GB2312 -> UTF-8 makes every Chinese character one byte longer.
  Convert::CodeConvert(text, "GB2312", "UTF-8");
  EXPECT_EQ(utf8, text);

  std::string longText;
  for (int i = 0; i < 500; ++i) longText += "\xD6\xD0";
  Convert::CodeConvert(longText, "GB2312", "UTF-8");
  std::string expected;
  for (int i = 0; i < 500; ++i) expected += "中";
  EXPECT_EQ(expected, longText);

  // Four times as long, with NUL bytes inside.
  std::string wide = "ab";
  Convert::CodeConvert(wide, "UTF-8", "UTF-32LE");
  EXPECT_EQ(std::string("a\0\0\0b\0\0\0", 8), wide);
}

TEST(ConvertCodeConvert, FailureKeepsTheConvertedPrefix) {
  std::string bad = "ab\xFF" "cd";
  Convert::CodeConvert(bad, "UTF-8", "GB2312");
  EXPECT_EQ("ab", bad);

  std::string unknown = "abc";
  Convert::CodeConvert(unknown, "UTF-8", "NO-SUCH-CODE-SET");
  EXPECT_EQ("", unknown);

  std::string empty;
  Convert::CodeConvert(empty, "UTF-8", "GB2312");
  EXPECT_EQ("", empty);
}

TEST(ConvertCodeConvert, CodeConvertFunctionsReportFailure) {
  using Oxbrindale::Velmora::Framework::code_convert;
  using Oxbrindale::Velmora::Framework::u2g;
  char in[] = "中";
  char out[8];
  memset(out, 'x', sizeof(out));
  EXPECT_EQ(0, code_convert("UTF-8", "GB2312", in, strlen(in), out, sizeof(out)));
  EXPECT_STREQ("\xD6\xD0", out);

  memset(out, 'x', sizeof(out));
  EXPECT_EQ(0, u2g(in, strlen(in), out, sizeof(out), "UTF-8", "GB2312"));
  EXPECT_STREQ("\xD6\xD0", out);

  EXPECT_EQ(-1, code_convert("UTF-8", "NO-SUCH-CODE-SET", in, strlen(in), out, sizeof(out)));
  EXPECT_EQ(-1, code_convert("UTF-8", "GB2312", in, strlen(in), out, 1));  // no room
  char bad[] = "\xFF";
  EXPECT_EQ(-1, u2g(bad, 1, out, sizeof(out), "UTF-8", "GB2312"));
}

// ---------------------------------------------------------------- clock

TEST(ConvertGetTick, KeepsTheLow32BitsOfTheWallClockSigned) {
  const struct {
    long long seconds;
    long nanoseconds;
    int64_t tick;
  } cases[] = {
      {0, 0, 0},
      {0, 999999999, 999},
      {2147483, 647000000, 2147483647},
      {2147483, 648000000, INT32_MIN},
      {4294967, 295000000, -1},
      {4294967, 296000000, 0},
      {1700000000, 123456789, -807049093},
      {1709600822, 0, 203838192},
  };
  tarrow_test::TestEnv env("/nowhere/");
  for (const auto& c : cases) {
    env.FixWallClock(c.seconds, c.nanoseconds);
    EXPECT_EQ(c.tick, Convert::GetTick()) << c.seconds << "." << c.nanoseconds;
  }
}

TEST(ConvertGetTick, ReadingsTwoToThe32MillisecondsApartAreEqual) {
  tarrow_test::TestEnv env("/nowhere/");
  const long long starts[] = {1709600822, 1700000000, 2000000000, 2147483};
  for (long long start : starts) {
    env.FixWallClock(start, 500000000);
    int64_t first = Convert::GetTick();
    // 2^32 ms = 4294967 s + 296 ms
    env.FixWallClock(start + 4294967, 796000000);
    EXPECT_EQ(first, Convert::GetTick()) << start;
  }
}

TEST(ConvertGetTick, RealClockStaysInTheSigned32BitRange) {
  int64_t tick = Convert::GetTick();
  EXPECT_GE(tick, INT32_MIN);
  EXPECT_LE(tick, INT32_MAX);
}

// ---------------------------------------------------------------- program path and links

std::string _TestBinary() {
  char* resolved = realpath(program_invocation_name, nullptr);
  std::string path = resolved != nullptr ? resolved : "";
  free(resolved);
  return path;
}

TEST(ConvertAppPath, ComesFromTheInstalledEnv) {
  tarrow_test::TestEnv env("/opt/x/");
  EXPECT_EQ("/opt/x/", Convert::GetAppPath());
}

TEST(ConvertAppPath, DefaultIsTheDirectoryOfTheRunningProgram) {
  Env::Set(nullptr);
  std::string binary = _TestBinary();
  ASSERT_FALSE(binary.empty());
  std::string expected = binary.substr(0, binary.rfind('/') + 1);

  std::string appPath = Convert::GetAppPath();
  ASSERT_FALSE(appPath.empty());
  EXPECT_EQ('/', appPath.back());
  EXPECT_EQ(expected, appPath);
  EXPECT_EQ(binary, Convert::GetExePath());
}

class ConvertFiles : public ::testing::Test {
 protected:
  // The temporary directory without its trailing '/'.
  std::string Dir() const { return dir.Path().substr(0, dir.Path().size() - 1); }
  tarrow_test::TempDir dir;
};

TEST_F(ConvertFiles, ReadLinkReturnsTheWholeTarget) {
  const size_t lengths[] = {1, 100, 255, 256, 257, 300, 511, 512, 1000, 4000};
  for (size_t length : lengths) {
    std::string target = "/" + std::string(length - 1, 't');
    std::string link = dir.File("link" + std::to_string(length));
    ASSERT_EQ(0, symlink(target.c_str(), link.c_str())) << length << " " << strerror(errno);
    EXPECT_EQ(target, Convert::ReadLink(link)) << length;
  }
  dir.Write("plain", "x");
  EXPECT_EQ("", Convert::ReadLink(dir.File("plain")));
  EXPECT_EQ("", Convert::ReadLink(dir.File("missing")));
}

TEST_F(ConvertFiles, ReadyDirCreatesOneLevelOnlyWhenMissing) {
  dir.Write("file", "content");
  EXPECT_TRUE(Convert::ReadyDir(dir.File("file")));
  EXPECT_FALSE(Convert::IsDir(dir.File("file")));
  EXPECT_EQ("content", dir.Read("file"));

  EXPECT_TRUE(Convert::ReadyDir(dir.File("configs")));
  EXPECT_TRUE(Convert::IsDir(dir.File("configs")));
  EXPECT_TRUE(Convert::ReadyDir(dir.File("configs")));

  EXPECT_FALSE(Convert::ReadyDir(dir.File("no/parent")));
  EXPECT_FALSE(Convert::IsFileExist(dir.File("no")));
  EXPECT_FALSE(Convert::ReadyDir(dir.File("file/sub")));
}

TEST_F(ConvertFiles, RemoveDirRemovesOnlyEmptyDirectories) {
  EXPECT_TRUE(Convert::RemoveDir(dir.File("missing")));
  EXPECT_TRUE(Convert::RemoveDir(dir.File("missing/deeper")));

  dir.MakeDir("empty");
  EXPECT_TRUE(Convert::RemoveDir(dir.File("empty")));
  EXPECT_FALSE(Convert::IsFileExist(dir.File("empty")));

  dir.MakeDir("full");
  dir.Write("full/f", "x");
  EXPECT_FALSE(Convert::RemoveDir(dir.File("full")));
  EXPECT_TRUE(Convert::IsFileExist(dir.File("full/f")));
}

TEST_F(ConvertFiles, IsFileExistAndIsDir) {
  dir.Write("f", "");
  dir.MakeDir("d");
  EXPECT_TRUE(Convert::IsFileExist(dir.File("f")));
  EXPECT_TRUE(Convert::IsFileExist(dir.File("d")));
  EXPECT_FALSE(Convert::IsFileExist(dir.File("gone")));
  EXPECT_TRUE(Convert::IsDir(dir.File("d")));
  EXPECT_FALSE(Convert::IsDir(dir.File("f")));
  EXPECT_FALSE(Convert::IsDir(dir.File("gone")));
}

// ---------------------------------------------------------------- ListFile and __OXFile

Strings _Names(const std::vector<__OXFile>& files) {
  Strings names;
  for (const __OXFile& f : files) names.push_back(f.name);
  std::sort(names.begin(), names.end());
  return names;
}

TEST_F(ConvertFiles, ListFileMatchesThePatternAndSkipsHiddenEntries) {
  struct timespec before;
  clock_gettime(CLOCK_REALTIME, &before);
  before.tv_sec -= 1;  // file times come from a coarser clock
  dir.Write("a.cbak", "1");
  dir.Write("b.cbak", "2");
  dir.Write(".hidden.cbak", "3");
  dir.Write("c.txt", "4");
  dir.MakeDir("d.cbak");
  dir.MakeDir(".git");
  ASSERT_EQ(0, symlink(dir.File("nowhere").c_str(), dir.File("dangling.cbak").c_str()));
  DateTime earliest(before);

  std::vector<__OXFile> files = Convert::ListFile(Dir(), "*.cbak");
  DateTime latest;
  EXPECT_EQ((Strings{"a.cbak", "b.cbak", "d.cbak", "dangling.cbak"}), _Names(files));
  for (const __OXFile& f : files) {
    EXPECT_EQ(Dir() + "/" + f.name, f.fullPath);
    EXPECT_FALSE(f.time < earliest) << f.name << " " << f.time.ToString();
    EXPECT_FALSE(f.time > latest) << f.name << " " << f.time.ToString();
  }

  // Hidden entries stay hidden whatever the pattern.
  EXPECT_EQ((Strings{"a.cbak", "b.cbak", "c.txt", "d.cbak", "dangling.cbak"}), _Names(Convert::ListFile(Dir(), "*")));
  EXPECT_TRUE(Convert::ListFile(Dir(), ".*").empty());
  EXPECT_TRUE(Convert::ListFile(Dir(), "*hidden*").empty());
  EXPECT_EQ((Strings{"c.txt"}), _Names(Convert::ListFile(Dir(), "c.txt")));

  // A trailing '/' only doubles the slash.
  std::vector<__OXFile> slashed = Convert::ListFile(dir.Path(), "a.cbak");
  ASSERT_EQ(1u, slashed.size());
  EXPECT_EQ(dir.Path() + "/a.cbak", slashed[0].fullPath);
}

TEST_F(ConvertFiles, ListFileOfAMissingDirectoryIsEmpty) {
  EXPECT_TRUE(Convert::ListFile(dir.File("missing"), "*").empty());
  dir.Write("file", "x");
  EXPECT_TRUE(Convert::ListFile(dir.File("file"), "*").empty());
}

TEST(OXFile, TextIsNameBarTimeAndParsesBack) {
  __OXFile file("/x/backup_configs/b1", "b1", DateTime(2024, 3, 5, 9, 7, 2, 0));
  EXPECT_EQ("b1|2024-3-5 09:07:02", file.ToString());

  __OXFile parsed(file.ToString());
  EXPECT_EQ("", parsed.fullPath);
  EXPECT_EQ("b1", parsed.name);
  EXPECT_EQ("b1|2024-3-5 09:07:02", parsed.ToString());
  EXPECT_FALSE(parsed < file);
  EXPECT_FALSE(parsed > file);
}

TEST(OXFile, BadOrMissingTimeThrowsDateTime) {
  const std::string texts[] = {"b1|2024-13-5 09:07:02", "b1", "", "b1|", "|"};
  for (const std::string& text : texts) {
    try {
      __OXFile parsed(text);
      ADD_FAILURE() << "accepted [" << text << "]";
    } catch (Exception* e) {
      EXPECT_EQ("DATETIME", e->code) << text;
      delete e;
    }
  }
}

TEST(OXFile, OrderedByTimeOnly) {
  __OXFile older("/z", "z", DateTime(2024, 1, 1, 0, 0, 0, 0));
  __OXFile newer("/a", "a", DateTime(2024, 1, 1, 0, 0, 1, 0));
  EXPECT_TRUE(older < newer);
  EXPECT_TRUE(newer > older);
  EXPECT_FALSE(newer < older);
  __OXFile sameTime("/b", "b", DateTime(2024, 1, 1, 0, 0, 1, 0));
  EXPECT_FALSE(sameTime < newer);
  EXPECT_FALSE(sameTime > newer);
}

}  // namespace
