#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config/AliasResConfig.h"
#include "config/ConfigStringFormator.h"
#include "config/CustomResConfig.h"
#include "config/DiskVolumeResConfig.h"
#include "config/DrbdResConfig.h"
#include "config/FileShareResConfig.h"
#include "config/IPResourceConfig.h"
#include "config/IResourceConfig.h"
#include "config/ProgramResConfig.h"
#include "config/RecordTestUtil.h"
#include "config/Scsi3SupportProbe.h"
#include "config/ServiceResConfig.h"

using namespace Oxbrindale::Velmora::Config;
using record_test::Concat;
using record_test::FailureOf;
using record_test::Join;

namespace {

using Lines = std::vector<std::string>;

// Valid common lines: id, name, check interval, failure restart limit, try
// limit, configuration number, start time-out, stop time-out, custom test
// switch, custom test program, custom test arguments, custom test time-out,
// failure reset time, managed flag.
Lines CommonLines() {
  return {"3", "web", "1000", "3", "2", "7", "5000", "6000", "0", "", "", "0", "60000", "1"};
}

// Valid own lines of each kind.
Lines OwnLines(int kind) {
  switch (kind) {
    case 0: return {"0123456789abcdef0123456789abcdef", "/opt/pre", "/opt/post", "0", "/mnt/data"};
    case 1: return {"192.168.1.10", "255.255.255.0", "eth0", "192.168.1.1|192.168.1.2"};
    case 2: return {"node-a", "x", "4"};
    case 3: return {"httpd"};
    case 4: return {"1234|0", "/usr/bin/app", "-d"};
    case 5: return {"/opt/start", "a", "/opt/stop", "b", "9"};
    case 6: return {"share", "rw", "u1|u2"};
    case 8: return {"r0", "/mnt/r0"};
  }
  return {};
}

std::unique_ptr<IResourceConfig> Parse(int kind, Lines* lines, unsigned int* index) {
  switch (kind) {
    case 0: return std::make_unique<DiskVolumeResConfig>(lines, index);
    case 1: return std::make_unique<IPResourceConfig>(lines, index);
    case 2: return std::make_unique<AliasResConfig>(lines, index);
    case 3: return std::make_unique<ServiceResConfig>(lines, index);
    case 4: return std::make_unique<ProgramResConfig>(lines, index);
    case 5: return std::make_unique<CustomResConfig>(lines, index);
    case 6: return std::make_unique<FileShareResConfig>(lines, index);
    case 8: return std::make_unique<DrbdResConfig>(lines, index);
  }
  return nullptr;
}

std::unique_ptr<IResourceConfig> ParseText(int kind, const std::string& text) {
  Lines lines = IConfig::SplitLines(text);
  unsigned int index = 0;
  std::unique_ptr<IResourceConfig> record = Parse(kind, &lines, &index);
  EXPECT_EQ(index, lines.size()) << "the record must consume exactly its lines";
  return record;
}

std::unique_ptr<IResourceConfig> Valid(int kind) { return ParseText(kind, Join(Concat(CommonLines(), OwnLines(kind)))); }

const int kKinds[] = {0, 1, 2, 3, 4, 5, 6, 8};

// Common lines with line n (1-based) replaced.
Lines CommonWith(int n, const std::string& value) {
  Lines lines = CommonLines();
  lines[n - 1] = value;
  return lines;
}

}  // namespace

// ---- text -> record -> text --------------------------------------------------

TEST(ResourceConfig, CommonLinesRoundTripForEveryKind) {
  struct Case {
    const char* what;
    Lines in;
    Lines out;  // empty: same as in
  };
  Lines allEdges = {"-1", "", "-1", "-1", "-1", "-1", "-1", "-1", "-1", "", "", "-1", "4294967295", "-1"};
  const Case cases[] = {
      {"valid", CommonLines(), {}},
      {"-1 everywhere, empty texts", allEdges, {}},
      {"text fields that look like values", CommonWith(2, "True"), {}},
      {"blanks kept in a text", CommonWith(11, "  -x  y "), {}},
      {"65536 in the 16-bit switch line", CommonWith(9, "65536"), CommonWith(9, "0")},
      {"65537 in the 16-bit managed line", CommonWith(14, "65537"), CommonWith(14, "1")},
      {"-1 in the unsigned reset line", CommonWith(13, "-1"), CommonWith(13, "4294967295")},
      {"2^32 in the unsigned reset line", CommonWith(13, "4294967296"), CommonWith(13, "0")},
      {"2^31 in a signed 32-bit line", CommonWith(3, "2147483648"), CommonWith(3, "-2147483648")},
      {"no number", CommonWith(1, "abc"), CommonWith(1, "0")},
      {"blanks and junk around a number", CommonWith(7, "  150ms"), CommonWith(7, "150")},
  };
  for (int kind : kKinds) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + ", kind " + std::to_string(kind));
      std::string in = Join(Concat(c.in, OwnLines(kind)));
      std::string out = Join(Concat(c.out.empty() ? c.in : c.out, OwnLines(kind)));
      EXPECT_EQ(ParseText(kind, in)->ToString(), out);
    }
  }
}

TEST(ResourceConfig, OwnLinesRoundTrip) {
  struct Case {
    int kind;
    Lines in;
    Lines out;  // empty: same as in
  };
  const Case cases[] = {
      {0, {"", "", "", "0", "/mnt/a"}, {}},
      {0, {"d", "p", "q", "2", "/mnt/a||/mnt/b"}, {}},
      {0, {"d", "p", "q", "1", "/mnt/a|"}, {}},
      {0, {"d", "p", "q", "0", ""}, {}},
      {0, {"d", "p", "q", "-1", "x"}, {"d", "p", "q", "4294967295", "x"}},
      {0, {"d", "p", "q", "4294967296", "x"}, {"d", "p", "q", "0", "x"}},
      {1, {"", "", "", ""}, {}},
      {1, {"10.0.0.1", "255.0.0.0", "eth1", "a||b"}, {}},
      {1, {"10.0.0.1", "255.0.0.0", "eth1", "a|"}, {}},
      {1, {"10.0.0.1", "255.0.0.0", "eth1", "|"}, {}},
      {2, {"", "", "-1"}, {}},
      {2, {"别名", "True", "65536"}, {}},
      {2, {"a", "b", "2147483648"}, {"a", "b", "-2147483648"}},
      {3, {""}, {}},
      {3, {"true"}, {}},
      {4, {"1234", "/bin/p", ""}, {"1234|0", "/bin/p", ""}},
      {4, {"1234|", "/bin/p", ""}, {"1234|0", "/bin/p", ""}},
      {4, {"1234|7", "/bin/p", "a b"}, {}},
      {4, {"1234|7|9", "/bin/p", ""}, {"1234|7", "/bin/p", ""}},
      {4, {"", "", ""}, {"0|0", "", ""}},
      {4, {"-1|-1", "", ""}, {"4294967295|4294967295", "", ""}},
      {5, {"", "", "", "", "-1"}, {}},
      {5, {"s", "a", "t", "b", "4294967295"}, {"s", "a", "t", "b", "-1"}},
      {6, {"", "", ""}, {}},
      {6, {"x", "y", "u1||u2|"}, {}},
      {8, {"r0", ""}, {}},
      {8, {"", ""}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("kind " + std::to_string(c.kind) + " own lines " + Join(c.in));
    std::string in = Join(Concat(CommonLines(), c.in));
    std::string out = Join(Concat(CommonLines(), c.out.empty() ? c.in : c.out));
    EXPECT_EQ(ParseText(c.kind, in)->ToString(), out);
  }
}

TEST(ResourceConfig, OwnFieldsReadAsTheirLinesSay) {
  auto program = ParseText(4, Join(Concat(CommonLines(), {"1234|7", "/bin/p", "-x"})));
  auto& p = static_cast<ProgramResConfig&>(*program);
  EXPECT_EQ(p.GetProcessId(), 1234u);
  EXPECT_EQ(p.GetProcessSecond(), 7u);
  p.SetProcessId(99);  // setting the process id clears the second number
  EXPECT_EQ(p.GetProcessSecond(), 0u);

  auto ip = ParseText(1, Join(Concat(CommonLines(), {"a", "m", "i", ""})));
  EXPECT_TRUE(static_cast<IPResourceConfig&>(*ip).GetRefAddresses().empty());
  static_cast<IPResourceConfig&>(*ip).SetRefAddresses({""});  // one empty element
  EXPECT_EQ(ParseText(1, ip->ToString())->ToString(), ip->ToString());
  EXPECT_TRUE(static_cast<IPResourceConfig&>(*ParseText(1, ip->ToString())).GetRefAddresses().empty());

  auto disk = ParseText(0, Join(Concat(CommonLines(), {"d", "", "", "0", "/a||/b"})));
  EXPECT_EQ(static_cast<DiskVolumeResConfig&>(*disk).GetMountPoints(), (Lines{"/a", "", "/b"}));
  EXPECT_EQ(static_cast<DiskVolumeResConfig&>(*disk).GetMountPointString(), "/a||/b");

  auto alias = ParseText(2, Join(Concat(CommonLines(), {"host1", "second", "5"})));
  EXPECT_EQ(static_cast<AliasResConfig&>(*alias).GetAlias(), "host1");
  EXPECT_EQ(static_cast<AliasResConfig&>(*alias).GetSecondText(), "second");
  EXPECT_EQ(static_cast<AliasResConfig&>(*alias).GetBoundIPResId(), 5);

  EXPECT_EQ(alias->GetManaged(), 1);
  EXPECT_EQ(ParseText(3, Join(Concat(CommonWith(14, "65536"), {"s"})))->GetManaged(), 0);
}

// ---- line counts ----------------------------------------------------------------

TEST(ResourceConfig, OneLineShortIsFormErrAndBuildsNothing) {
  for (int kind : kKinds) {
    SCOPED_TRACE("kind " + std::to_string(kind));
    Lines full = Concat(CommonLines(), OwnLines(kind));
    for (size_t keep : {size_t(0), size_t(1), size_t(13), size_t(14), full.size() - 1}) {
      Lines lines(full.begin(), full.begin() + keep);
      unsigned int index = 0;
      EXPECT_EQ(FailureOf([&] { Parse(kind, &lines, &index); }), record_test::kFormErrOutOfLines) << keep;
    }
  }
}

TEST(ResourceConfig, ListBuildersTakeWholeRecordsOnly) {
  using Builder = std::function<size_t(const std::string&)>;
  auto count = [](auto* list) {
    size_t n = list->size();
    for (auto* record : *list) delete record;
    delete list;
    return n;
  };
  const std::pair<int, Builder> builders[] = {
      {0, [&](const std::string& t) { return count(ConfigStringFormator::MakeDiskVolumeConfig(t)); }},
      {1, [&](const std::string& t) { return count(ConfigStringFormator::MakeIPConfig(t)); }},
      {2, [&](const std::string& t) { return count(ConfigStringFormator::MakeAliasConfig(t)); }},
      {3, [&](const std::string& t) { return count(ConfigStringFormator::MakeServiceConfig(t)); }},
      {4, [&](const std::string& t) { return count(ConfigStringFormator::MakeProgramConfig(t)); }},
      {5, [&](const std::string& t) { return count(ConfigStringFormator::MakeCustomConfig(t)); }},
      {6, [&](const std::string& t) { return count(ConfigStringFormator::MakeFileShareConfig(t)); }},
      {8, [&](const std::string& t) { return count(ConfigStringFormator::MakeDrbdResConfig(t)); }},
  };
  for (const auto& b : builders) {
    SCOPED_TRACE("kind " + std::to_string(b.first));
    Lines one = Concat(CommonLines(), OwnLines(b.first));
    std::string two = Join(Concat(one, one));
    EXPECT_EQ(b.second(""), 0u);
    EXPECT_EQ(b.second(Join(one)), 1u);
    EXPECT_EQ(b.second(two), 2u);
    std::string crlf;
    for (char ch : two) crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
    EXPECT_EQ(b.second(crlf), 2u);
    // One line short, or one LF too many: the whole text is refused (and,
    // under the address sanitizer, the records already built are freed).
    EXPECT_EQ(FailureOf([&] { b.second(two.substr(0, two.rfind('\n'))); }), record_test::kFormErrOutOfLines);
    EXPECT_EQ(FailureOf([&] { b.second(two + "\n"); }), record_test::kFormErrOutOfLines);
  }
}

TEST(ResourceConfig, ListBuilderKeepsFileOrder) {
  Lines a = Concat(CommonWith(1, "7"), OwnLines(3));
  Lines b = Concat(CommonWith(1, "2"), OwnLines(3));
  std::vector<ServiceResConfig*>* list = ConfigStringFormator::MakeServiceConfig(Join(Concat(a, b)));
  ASSERT_EQ(list->size(), 2u);
  EXPECT_EQ((*list)[0]->GetId(), 7);
  EXPECT_EQ((*list)[1]->GetId(), 2);
  EXPECT_EQ((*list)[0]->ToString() + "\n" + (*list)[1]->ToString(), Join(Concat(a, b)));
  for (auto* record : *list) delete record;
  delete list;
}

// ---- validation ---------------------------------------------------------------------

class ResourceValidation : public ::testing::Test {
 protected:
  void TearDown() override { Scsi3SupportProbe::Set(nullptr); }
};

TEST_F(ResourceValidation, CommonChecksInOrderWithBoundaries) {
  struct Case {
    const char* what;
    Lines common;
    std::string expected;
  };
  auto with = [](std::initializer_list<std::pair<int, const char*>> changes) {
    Lines lines = CommonLines();
    for (const auto& c : changes) lines[c.first - 1] = c.second;
    return lines;
  };
  const std::string name = "FORM_ERR|资源名称不能为空！";
  const std::string interval = "FORM_ERR|检测间隔不能小于100MS！";
  const std::string restart = "FORM_ERR|最大资源失败重启次数不能小于1次！";
  const std::string tries = "FORM_ERR|最大尝试次数不能小于1次！";
  const std::string start = "FORM_ERR|启动超时时间不能小于100MS！";
  const std::string stop = "FORM_ERR|停止超时时间不能小于100MS！";
  const std::string reset = "FORM_ERR|重置失败错误时间不能小于100MS！";
  const std::string program = "FORM_ERR|自定义测试程序路径为空！";
  const std::string timeout = "FORM_ERR|自定义测试程序响应超时时间不能小于100MS！";
  const Case cases[] = {
      {"valid", CommonLines(), ""},
      {"blank name passes", with({{2, " "}}), ""},
      {"empty name", with({{2, ""}}), name},
      {"empty name before interval 50", with({{2, ""}, {3, "50"}}), name},
      {"interval 100", with({{3, "100"}}), ""},
      {"interval 99", with({{3, "99"}}), interval},
      {"interval -5", with({{3, "-5"}}), interval},
      {"interval 2^31 reads negative", with({{3, "2147483648"}}), interval},
      {"restart limit 1", with({{4, "1"}}), ""},
      {"restart limit 0", with({{4, "0"}}), restart},
      {"restart limit -1", with({{4, "-1"}}), restart},
      {"try limit 1", with({{5, "1"}}), ""},
      {"try limit 0", with({{5, "0"}}), tries},
      {"try limit -1", with({{5, "-1"}}), tries},
      {"start time-out 100", with({{7, "100"}}), ""},
      {"start time-out 99", with({{7, "99"}}), start},
      {"stop time-out 100", with({{8, "100"}}), ""},
      {"stop time-out 99", with({{8, "99"}}), stop},
      {"reset time 100", with({{13, "100"}}), ""},
      {"reset time 99", with({{13, "99"}}), reset},
      {"reset time -1 is unsigned and large", with({{13, "-1"}}), ""},
      {"reset time 0", with({{13, "0"}}), reset},
      {"try before start time-out", with({{5, "0"}, {7, "0"}}), tries},
      {"stop before reset", with({{8, "0"}, {13, "0"}}), stop},
      {"switch off: empty program, time-out 0", with({{9, "0"}, {10, ""}, {12, "0"}}), ""},
      {"switch on: empty program first", with({{9, "1"}, {10, ""}, {12, "0"}}), program},
      {"switch on: time-out 99", with({{9, "1"}, {10, "/t"}, {12, "99"}}), timeout},
      {"switch on: time-out 100", with({{9, "1"}, {10, "/t"}, {12, "100"}}), ""},
      {"switch -1 is on", with({{9, "-1"}, {10, ""}}), program},
      {"switch 65536 reads 0", with({{9, "65536"}, {10, ""}, {12, "0"}}), ""},
      {"reset before custom program", with({{13, "5"}, {9, "1"}, {10, ""}}), reset},
      {"configuration number, id and managed flag are not checked", with({{1, "-9"}, {6, "-9"}, {14, "-9"}}), ""},
  };
  for (int kind : {1, 3, 4, 5, 6, 8}) {  // the kinds that use the common checks only
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + ", kind " + std::to_string(kind));
      auto record = ParseText(kind, Join(Concat(c.common, OwnLines(kind))));
      std::string before = record->ToString();
      EXPECT_EQ(FailureOf([&] { record->Validate(); }), c.expected);
      EXPECT_EQ(record->ToString(), before);
    }
  }
}

TEST_F(ResourceValidation, ConsoleTextsMustNotBreakTheirLineOrList) {
  struct Case {
    const char* what;
    int kind;
    std::function<void(IResourceConfig&)> change;
    std::string expected;
  };
  const std::string nul("\0", 1);
  const Case cases[] = {
      {"NUL in name", 3, [&](IResourceConfig& r) { r.SetName("a" + nul); }, "FORM_ERR|资源名称不能包含回车、换行或空字符！"},
      {"LF in name", 3, [](IResourceConfig& r) { r.SetName("a\nb"); }, "FORM_ERR|资源名称不能包含回车、换行或空字符！"},
      {"CR in custom test arguments", 3, [](IResourceConfig& r) { r.SetCustomTestArgs("-a\r"); },
       "FORM_ERR|自定义测试程序参数不能包含回车、换行或空字符！"},
      {"LF in custom test program, switch off", 3, [](IResourceConfig& r) { r.SetCustomTestProgram("/t\n"); },
       "FORM_ERR|自定义测试程序路径不能包含回车、换行或空字符！"},
      {"part checks come first", 3,
       [](IResourceConfig& r) {
         r.SetName("a\nb");
         r.SetCheckInterval(1);
       },
       "FORM_ERR|检测间隔不能小于100MS！"},
      {"LF in service name", 3, [](IResourceConfig& r) { static_cast<ServiceResConfig&>(r).SetServiceName("s\n"); },
       "FORM_ERR|服务名称不能包含回车、换行或空字符！"},
      {"bar inside a reference address", 1,
       [](IResourceConfig& r) { static_cast<IPResourceConfig&>(r).SetRefAddresses({"1.1.1.1", "a|b"}); },
       "FORM_ERR|参考IP地址的每一项都不能包含字符“|”！"},
      {"empty reference address element is fine", 1,
       [](IResourceConfig& r) { static_cast<IPResourceConfig&>(r).SetRefAddresses({"1.1.1.1", ""}); }, ""},
      {"LF in an address", 1, [](IResourceConfig& r) { static_cast<IPResourceConfig&>(r).SetAddress("1\n2"); },
       "FORM_ERR|IP地址不能包含回车、换行或空字符！"},
      {"NUL in program arguments", 4,
       [&](IResourceConfig& r) { static_cast<ProgramResConfig&>(r).SetProgramArgs(nul); },
       "FORM_ERR|程序参数不能包含回车、换行或空字符！"},
      {"CR in custom stop program", 5,
       [](IResourceConfig& r) { static_cast<CustomResConfig&>(r).SetStopProgram("\r"); },
       "FORM_ERR|停止程序不能包含回车、换行或空字符！"},
      {"bar inside a share list element", 6,
       [](IResourceConfig& r) { static_cast<FileShareResConfig&>(r).SetShareList({"a|"}); },
       "FORM_ERR|共享列表的每一项都不能包含字符“|”！"},
      {"blank in a DRBD mirror name", 8,
       [](IResourceConfig& r) { static_cast<DrbdResConfig&>(r).SetMirrorName("r 0"); },
       "FORM_ERR|DRBD资源名称不能包含引号、花括号、分号、竖线或空白字符！"},
      {"semicolon in a DRBD mirror name", 8,
       [](IResourceConfig& r) { static_cast<DrbdResConfig&>(r).SetMirrorName("r0;"); },
       "FORM_ERR|DRBD资源名称不能包含引号、花括号、分号、竖线或空白字符！"},
      {"LF in a DRBD mount point", 8,
       [](IResourceConfig& r) { static_cast<DrbdResConfig&>(r).SetMountPoint("/m\n"); },
       "FORM_ERR|挂载点不能包含回车、换行或空字符！"},
      {"bar inside a mount point", 0,
       [](IResourceConfig& r) { static_cast<DiskVolumeResConfig&>(r).SetMountPoints({"/a|/b"}); },
       "FORM_ERR|盘符挂载预设点的每一项都不能包含字符“|”！"},
      {"LF in a disk ID", 0, [](IResourceConfig& r) { static_cast<DiskVolumeResConfig&>(r).SetDiskId("d\n"); },
       "FORM_ERR|磁盘标识不能包含回车、换行或空字符！"},
      {"quote in an alias", 2, [](IResourceConfig& r) { static_cast<AliasResConfig&>(r).SetAlias("a\"b"); },
       "FORM_ERR|计算机别名不能包含引号、花括号、分号、竖线或空白字符！"},
      {"LF in the alias second text", 2,
       [](IResourceConfig& r) { static_cast<AliasResConfig&>(r).SetSecondText("\n"); },
       "FORM_ERR|别名设置不能包含回车、换行或空字符！"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto record = Valid(c.kind);
    c.change(*record);
    EXPECT_EQ(FailureOf([&] { record->Validate(); }), c.expected);
  }
}

TEST_F(ResourceValidation, DiskVolumeOwnChecks) {
  struct Case {
    const char* what;
    Lines common;
    Lines own;
    std::string expected;
    uint32_t lockAfter;
  };
  const std::string lock = "FORM_ERR|指定了错误的LockMethod！";
  const std::string mounts = "FORM_ERR|盘符挂载预设点不能为空，否则卷将无法被访问到。";
  const Case cases[] = {
      {"valid, method 0", CommonLines(), {"d", "", "", "0", "/m"}, "", 0},
      {"method 3", CommonLines(), {"d", "", "", "3", "/m"}, lock, 3},
      {"method 0, no mount point", CommonLines(), {"d", "", "", "0", ""}, mounts, 0},
      {"method 3 before mount points", CommonLines(), {"d", "", "", "3", ""}, lock, 3},
      {"empty name before method", CommonWith(2, ""), {"d", "", "", "3", ""}, "FORM_ERR|资源名称不能为空！", 3},
      {"method 2, disk unknown: passes as 0", CommonLines(), {"nodisk", "", "", "2", "/m"}, "", 0},
      {"method 1, disk unknown, no mounts", CommonLines(), {"nodisk", "", "", "1", ""}, mounts, 0},
      {"a lone bar is a list of two empty mount points", CommonLines(), {"d", "", "", "0", "|"}, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto record = ParseText(0, Join(Concat(c.common, c.own)));
    auto& disk = static_cast<DiskVolumeResConfig&>(*record);
    EXPECT_EQ(FailureOf([&] { disk.Validate(); }), c.expected);
    EXPECT_EQ(disk.GetLockMethod(), c.lockAfter);
  }
}

TEST_F(ResourceValidation, ScsiSupportTestRunsOnlyForNewDiskOrMethod) {
  std::vector<std::string> asked;
  bool supported = true;
  Scsi3SupportProbe::Set([&](const std::string& diskId) {
    asked.push_back(diskId);
    return supported;
  });
  auto disk = [](const std::string& id, const char* method) {
    auto r = ParseText(0, Join(Concat(CommonLines(), {id, "", "", method, "/m"})));
    return std::unique_ptr<DiskVolumeResConfig>(static_cast<DiskVolumeResConfig*>(r.release()));
  };
  struct Case {
    const char* what;
    std::string newDisk;
    const char* newMethod;
    bool hasStored;
    std::string storedDisk;
    const char* storedMethod;
    bool supported;
    bool asks;
    uint32_t lockAfter;
  };
  const Case cases[] = {
      {"new record, method 1, supported", "d1", "1", false, "", "", true, true, 1},
      {"new record, method 2, unsupported", "d1", "2", false, "", "", false, true, 0},
      {"new record, method 0", "d1", "0", false, "", "", true, false, 0},
      {"unchanged disk and method", "d1", "2", true, "d1", "2", false, false, 2},
      {"disk changed", "d2", "2", true, "d1", "2", true, true, 2},
      {"method changed 1 -> 2", "d1", "2", true, "d1", "1", false, true, 0},
      {"method changed 0 -> 1", "d1", "1", true, "d1", "0", true, true, 1},
      {"method dropped to 0", "d1", "0", true, "d1", "2", true, false, 0},
      {"method 3 never asks", "d1", "3", false, "", "", true, false, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    asked.clear();
    supported = c.supported;
    auto record = disk(c.newDisk, c.newMethod);
    std::unique_ptr<DiskVolumeResConfig> stored;
    if (c.hasStored) stored = disk(c.storedDisk, c.storedMethod);
    FailureOf([&] { record->Validate(stored.get()); });
    EXPECT_EQ(asked, c.asks ? std::vector<std::string>{c.newDisk} : std::vector<std::string>{});
    EXPECT_EQ(record->GetLockMethod(), c.lockAfter);
  }
  // The virtual Validate() treats the record as new.
  asked.clear();
  auto fresh = disk("d9", "1");
  IResourceConfig& base = *fresh;
  base.Validate();
  EXPECT_EQ(asked, std::vector<std::string>{"d9"});
}

TEST_F(ResourceValidation, DefaultScsiSupportAnswerIsNo) {
  auto record = ParseText(0, Join(Concat(CommonLines(), {"d", "", "", "2", "/m"})));
  record->Validate();
  EXPECT_EQ(static_cast<DiskVolumeResConfig&>(*record).GetLockMethod(), 0u);
  EXPECT_FALSE(Scsi3SupportProbe::Run("d"));
}

TEST_F(ResourceValidation, AliasLengthFirstThenCommon) {
  const std::string length = "FORM_ERR|计算机别名长度必须在15位以内！";
  struct Case {
    const char* what;
    Lines common;
    std::string alias;
    std::string expected;
  };
  const Case cases[] = {
      {"15 ASCII", CommonLines(), "abcdefghijklmno", ""},
      {"16 ASCII", CommonLines(), "abcdefghijklmnop", length},
      {"empty", CommonLines(), "", length},
      {"five Chinese characters are 15 bytes", CommonLines(), "主机名别名", ""},
      {"six Chinese characters are 18 bytes", CommonLines(), "主机名别名一", length},
      {"bad alias before empty name", CommonWith(2, ""), "", length},
      {"good alias, empty name", CommonWith(2, ""), "a", "FORM_ERR|资源名称不能为空！"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto record = ParseText(2, Join(Concat(c.common, {c.alias, "", "0"})));
    EXPECT_EQ(FailureOf([&] { record->Validate(); }), c.expected);
  }
}

// ---- change handling --------------------------------------------------------------

TEST(ResourceConfig, KeyChangesAndCopyOfPerKind) {
  struct Case {
    const char* what;
    int kind;
    Lines ownA;
    Lines ownB;
    bool key;
    Lines ownAfterCopy;  // A's own lines after A.CopyOf(B)
  };
  const Case cases[] = {
      {"disk: mount points", 0, {"d", "p", "q", "1", "/a"}, {"d", "p", "q", "1", "/a|/b"}, false, {"d", "p", "q", "1", "/a|/b"}},
      {"disk: start program", 0, {"d", "p", "q", "1", "/a"}, {"d", "P", "q", "1", "/a"}, false, {"d", "P", "q", "1", "/a"}},
      {"disk: lock method", 0, {"d", "p", "q", "1", "/a"}, {"d", "p", "q", "2", "/a"}, true, {"d", "p", "q", "2", "/a"}},
      {"disk: disk ID", 0, {"d", "p", "q", "1", "/a"}, {"e", "p", "q", "1", "/a"}, true, {"e", "p", "q", "1", "/a"}},
      {"ip: references", 1, {"a", "m", "i", "r1"}, {"a", "m", "i", "r1|r2"}, false, {"a", "m", "i", "r1|r2"}},
      {"ip: net mask", 1, {"a", "m", "i", ""}, {"a", "M", "i", ""}, true, {"a", "M", "i", ""}},
      {"ip: interface", 1, {"a", "m", "i", ""}, {"a", "m", "j", ""}, true, {"a", "m", "j", ""}},
      {"alias: second text", 2, {"h", "x", "1"}, {"h", "y", "1"}, true, {"h", "y", "1"}},
      {"alias: bound address", 2, {"h", "x", "1"}, {"h", "x", "2"}, true, {"h", "x", "2"}},
      {"service: name", 3, {"a"}, {"b"}, true, {"b"}},
      {"program: arguments, process line kept", 4, {"1234|7", "/p", "a"}, {"0|0", "/p", "b"}, false, {"1234|7", "/p", "b"}},
      {"program: path", 4, {"1|0", "/p", "a"}, {"1|0", "/q", "a"}, true, {"1|0", "/q", "a"}},
      {"custom: stop program, spare kept", 5, {"s", "a", "t", "b", "1"}, {"s", "a", "T", "b", "2"}, false, {"s", "a", "T", "b", "1"}},
      {"custom: start arguments", 5, {"s", "a", "t", "b", "1"}, {"s", "A", "t", "b", "1"}, true, {"s", "A", "t", "b", "1"}},
      {"share: order of the list", 6, {"x", "y", "a|b"}, {"x", "y", "b|a"}, true, {"x", "y", "b|a"}},
      {"share: same", 6, {"x", "y", "a|b"}, {"x", "y", "a|b"}, false, {"x", "y", "a|b"}},
      {"drbd: mount point", 8, {"r0", "/m"}, {"r0", "/n"}, true, {"r0", "/n"}},
  };
  Lines commonB = CommonLines();
  commonB[0] = "8";
  commonB[1] = "other";
  commonB[13] = "0";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto a = ParseText(c.kind, Join(Concat(CommonLines(), c.ownA)));
    auto b = ParseText(c.kind, Join(Concat(commonB, c.ownB)));
    EXPECT_EQ(a->IsKeyConfigChanged(*b), c.key);
    a->CopyOf(*b);
    // every common field is copied, the id included
    EXPECT_EQ(a->ToString(), Join(Concat(commonB, c.ownAfterCopy)));
  }
  for (int kind : kKinds) {  // common fields alone are never key fields
    auto a = Valid(kind);
    auto b = ParseText(kind, Join(Concat(commonB, OwnLines(kind))));
    EXPECT_FALSE(a->IsKeyConfigChanged(*b)) << kind;
  }
}

TEST(ResourceConfig, CopyOfAnotherKindIsRefused) {
  auto ip = Valid(1);
  auto service = Valid(3);
  std::string before = ip->ToString();
  EXPECT_EQ(FailureOf([&] { ip->CopyOf(*service); }), "FORM_ERR|资源类型不一致！");
  EXPECT_EQ(ip->ToString(), before);
}

TEST(ResourceConfig, CloneCopiesEveryFieldOfKindsZeroToSix) {
  for (int kind : {0, 1, 2, 3, 4, 5, 6}) {
    auto source = Valid(kind);
    std::unique_ptr<IResourceConfig> clone(IResourceConfig::CloneResConfig(source.get(), kind));
    ASSERT_NE(clone, nullptr) << kind;
    EXPECT_EQ(clone->ToString(), source->ToString()) << kind;
  }
  auto drbd = Valid(8);
  for (int kind : {7, 8, -1, 9}) EXPECT_EQ(IResourceConfig::CloneResConfig(drbd.get(), kind), nullptr) << kind;
}

// A reader never sees a record half copied: every text it renders is the
// whole text of one of the two sources.
TEST(ResourceConfigConcurrency, CopyOfIsNeverSeenHalfDone) {
  auto target = ParseText(0, Join(Concat(CommonLines(), {"d1", "p1", "q1", "1", "/a"})));
  Lines commonB = CommonWith(2, "another name");
  auto a = ParseText(0, Join(Concat(CommonLines(), {"d1", "p1", "q1", "1", "/a"})));
  auto b = ParseText(0, Join(Concat(commonB, {"d2", "p2", "q2", "2", "/a|/b|/c"})));
  const std::string textA = a->ToString();
  const std::string textB = b->ToString();
  std::atomic<bool> stop{false};
  std::atomic<int> torn{0};
  std::thread writer([&] {
    for (int i = 0; i < 20000; ++i) target->CopyOf(i % 2 ? *a : *b);
    stop = true;
  });
  std::thread reader([&] {
    while (!stop) {
      std::string text = target->ToString();
      if (text != textA && text != textB) ++torn;
      std::string name = target->GetName();
      if (name != "web" && name != "another name") ++torn;
    }
  });
  std::thread copier([&] {  // copies of the live record (a clone, a console compare)
    auto& live = static_cast<DiskVolumeResConfig&>(*target);
    while (!stop) {
      DiskVolumeResConfig copy(live);
      std::string text = copy.ToString();
      if (text != textA && text != textB) ++torn;
      if (a->IsKeyConfigChanged(copy) == (text == textA)) ++torn;
    }
  });
  writer.join();
  reader.join();
  copier.join();
  EXPECT_EQ(torn.load(), 0);
}

TEST(ResourceConfig, AddressRecordsAsValues) {
  Lines a = Concat(CommonWith(1, "1"), OwnLines(1));
  Lines b = Concat(CommonWith(1, "2"), {"10.0.0.2", "255.0.0.0", "eth1", ""});
  std::unique_ptr<std::vector<IPResourceConfig>> values(ConfigStringFormator::MakeIPResourceConfig(Join(Concat(a, b))));
  ASSERT_EQ(values->size(), 2u);
  EXPECT_EQ((*values)[0].ToString(), Join(a));
  EXPECT_EQ((*values)[1].ToString(), Join(b));
  EXPECT_EQ(FailureOf([&] { delete ConfigStringFormator::MakeIPResourceConfig(Join(a) + "\n"); }),
            record_test::kFormErrOutOfLines);
}
