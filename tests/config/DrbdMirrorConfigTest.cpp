#include "config/DrbdMirrorConfig.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "config/ConfigStringFormator.h"
#include "config/RecordTestUtil.h"
#include "support/TempDir.h"
#include "support/TestEnv.h"

using namespace Oxbrindale::Velmora::Config;
using record_test::FailureOf;
using record_test::Join;

namespace {

using Lines = std::vector<std::string>;

Lines MirrorLines() {
  return {"C", "10", "s3cret", "0", "r0", "1", "0", "1700000000123",
          "nodeA|volA|10.0.0.1|7788|0||0", "nodeB|volB|10.0.0.2|7788|1|metaB|0"};
}

Lines With(int line, const std::string& value) {
  Lines lines = MirrorLines();
  lines[line - 1] = value;
  return lines;
}

std::unique_ptr<DrbdMirrorConfig> Parse(const std::string& text) {
  Lines lines = IConfig::SplitLines(text);
  unsigned int index = 0;
  auto mirror = std::make_unique<DrbdMirrorConfig>(&lines, &index);
  EXPECT_EQ(index, lines.size());
  return mirror;
}

const char* const kInvalidHost = "|The DRBD Property config is invalid.";

}  // namespace

TEST(DrbdMirrorConfig, RoundTrip) {
  struct Case {
    const char* what;
    Lines in;
    Lines out;  // empty: same as in
  };
  const Case cases[] = {
      {"fixed record", MirrorLines(), {}},
      {"empty texts", With(3, ""), {}},
      {"empty protocol and name", With(5, ""), {}},
      {"negative rate and minor", With(2, "-1"), {}},
      {"policy 65535 is written as a signed 16-bit number", With(6, "65535"), With(6, "-1")},
      {"policy -1 stays -1", With(6, "-1"), {}},
      {"policy 65536 keeps the low bits", With(6, "65536"), With(6, "0")},
      {"flag -1 is unsigned", With(7, "-1"), With(7, "4294967295")},
      {"full 64-bit stamp", With(8, "18446744073709551615"), {}},
      {"stamp beyond 32 bits", With(8, "4102444800123"), {}},
      {"stamp without a number", With(8, ""), With(8, "0")},
      {"host: empty fields stay", With(9, "|||0|0||0"), {}},
      {"host: eight fields, the eighth is dropped", With(9, "a|b|c|1|0|m|5|extra"), With(9, "a|b|c|1|0|m|5")},
      {"host: index -1 is written unsigned", With(10, "a|b|c|1|1|m|-1"), With(10, "a|b|c|1|1|m|18446744073709551615")},
      {"host: mode 65535 written signed", With(10, "a|b|c|1|65535|m|0"), With(10, "a|b|c|1|-1|m|0")},
      {"host: port junk", With(10, "a|b|c|77x|0|m|0"), With(10, "a|b|c|77|0|m|0")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Parse(Join(c.in))->ToString(), Join(c.out.empty() ? c.in : c.out));
  }
}

TEST(DrbdMirrorConfig, FieldsAsRead) {
  auto mirror = Parse(Join(MirrorLines()));
  EXPECT_EQ(mirror->GetProtocol(), "C");
  EXPECT_EQ(mirror->GetRate(), 10);
  EXPECT_EQ(mirror->GetSharedSecret(), "s3cret");
  EXPECT_EQ(mirror->GetMinor(), 0);
  EXPECT_EQ(mirror->GetName(), "r0");
  EXPECT_EQ(mirror->GetSplitBrainPolicy(), 1);
  EXPECT_EQ(mirror->GetSplitBrainFlag(), 0u);
  EXPECT_EQ(mirror->GetDataStamp(), 1700000000123ull);
  __DrbdHostProperty b = mirror->GetHostB();
  EXPECT_EQ(b.hostName, "nodeB");
  EXPECT_EQ(b.disk, "volB");
  EXPECT_EQ(b.address, "10.0.0.2");
  EXPECT_EQ(b.port, 7788);
  EXPECT_EQ(b.metaDiskMode, 1);
  EXPECT_EQ(b.metaDisk, "metaB");
  EXPECT_EQ(b.metaDiskIndex, 0);
  EXPECT_EQ(b.diskPath, "");  // not part of the text
  EXPECT_EQ(mirror->GetHostA().metaDisk, "");
}

TEST(DrbdMirrorConfig, HostLineNeedsSevenFields) {
  EXPECT_EQ(FailureOf([] { __DrbdHostProperty("a|b|c|1|0|m"); }), kInvalidHost);
  EXPECT_EQ(FailureOf([] { __DrbdHostProperty(""); }), kInvalidHost);
  EXPECT_EQ(__DrbdHostProperty("a|b|c|1|0|m|2").ToString(), "a|b|c|1|0|m|2");
  EXPECT_EQ(FailureOf([] { Parse(Join(With(10, "a|b|c|1|0|m"))); }), kInvalidHost);
}

TEST(DrbdMirrorConfig, LineCountsAndListBuilder) {
  Lines one = MirrorLines();
  for (size_t keep = 0; keep < one.size(); ++keep) {
    Lines lines(one.begin(), one.begin() + keep);
    unsigned int index = 0;
    EXPECT_EQ(FailureOf([&] { DrbdMirrorConfig mirror(&lines, &index); }), record_test::kFormErrOutOfLines) << keep;
  }
  std::string two = Join(one) + "\n" + Join(With(5, "r1"));
  auto* list = ConfigStringFormator::MakeDrbdMirrorConfig(two);
  ASSERT_EQ(list->size(), 2u);
  EXPECT_EQ((*list)[1]->GetName(), "r1");
  EXPECT_EQ((*list)[0]->ToString() + "\n" + (*list)[1]->ToString(), two);
  for (auto* mirror : *list) delete mirror;
  delete list;
  EXPECT_EQ(FailureOf([&] { delete ConfigStringFormator::MakeDrbdMirrorConfig(two + "\n"); }),
            record_test::kFormErrOutOfLines);
}

TEST(DrbdMirrorConfig, DrbdConfSectionByteForByte) {
  auto mirror = Parse(Join(MirrorLines()));
  mirror->SetHostPaths("/dev/sdb1", "", "/dev/sdc1", "/dev/sdc2");
  const std::string expected =
      "resource r0{\n"
      "\tprotocol C;\n"
      "\tsyncer {rate 10M;}\n"
      "\thandlers {split-brain \"/usr/local/tarrow/tarrowguard BS_NOTIFY r0\";}\n"
      "\tnet{\n"
      "\t\tcram-hmac-alg sha1;\n"
      "\t\tshared-secret \"s3cret\";\n"
      "\t}\n"
      "\ton nodeA{\n"
      "\t\tdevice\t/dev/drbd0;\n"
      "\t\tdisk\t/dev/sdb1;\n"
      "\t\taddress\t10.0.0.1:7788;\n"
      "\t\tmeta-disk\tinternal;\n"
      "\t}\n"
      "\ton nodeB{\n"
      "\t\tdevice\t/dev/drbd0;\n"
      "\t\tdisk\t/dev/sdc1;\n"
      "\t\taddress\t10.0.0.2:7788;\n"
      "\t\tmeta-disk\t/dev/sdc2[0];\n"
      "\t}\n"
      "}";
  EXPECT_EQ(mirror->ToDrbdConfigString(), expected);
  // The paths are not part of the record's text.
  EXPECT_EQ(mirror->ToString(), Join(MirrorLines()));
}

TEST(DrbdMirrorConfig, HostBlockEdges) {
  __DrbdHostProperty host("h|d|1.2.3.4|7790|3|m|18446744073709551615");
  EXPECT_EQ(host.ToDrbdConfigString(12),
            "\ton h{\n\t\tdevice\t/dev/drbd12;\n\t\tdisk\t;\n\t\taddress\t1.2.3.4:7790;\n"
            "\t\tmeta-disk\t[18446744073709551615];\n\t}");
  host.metaDiskMode = 0;
  host.diskPath = "/dev/x";
  EXPECT_EQ(host.ToDrbdConfigString(-1),
            "\ton h{\n\t\tdevice\t/dev/drbd-1;\n\t\tdisk\t/dev/x;\n\t\taddress\t1.2.3.4:7790;\n"
            "\t\tmeta-disk\tinternal;\n\t}");
}

TEST(DrbdMirrorConfig, DataStampIsFullMillisecondsSinceTheEpoch) {
  tarrow_test::TempDir dir;
  tarrow_test::TestEnv env(dir.Path());
  env.FixWallClock(4102444800LL, 123456789);  // 2100-01-01, far beyond any 32-bit tick
  const uint64_t stamp = DrbdMirrorConfig::CurrentDataStamp();
  EXPECT_EQ(stamp, 4102444800123ull);
  auto mirror = Parse(Join(MirrorLines()));
  mirror->SetDataStamp(stamp);
  EXPECT_EQ(Parse(mirror->ToString())->GetDataStamp(), stamp);
  EXPECT_EQ(mirror->ToString(), Join(With(8, "4102444800123")));
}

TEST(DrbdMirrorConfig, VerifyRefusesWhatBreaksDrbdConf) {
  const std::string drbd = "不能包含引号、花括号、分号、竖线或空白字符！";
  const std::string breakLine = "不能包含回车、换行或空字符！";
  struct Case {
    const char* what;
    Lines lines;
    std::string expected;
  };
  const Case cases[] = {
      {"valid", MirrorLines(), ""},
      {"empty fields are not refused here", With(3, ""), ""},
      {"blank in the name", With(5, "r 0"), "FORM_ERR|DRBD资源名称" + drbd},
      {"brace in the name", With(5, "r0}"), "FORM_ERR|DRBD资源名称" + drbd},
      {"NUL in the name", With(5, std::string("r0\0", 3)), "FORM_ERR|DRBD资源名称" + breakLine},
      {"semicolon in the protocol", With(1, "C;"), "FORM_ERR|DRBD协议" + drbd},
      {"quote in the secret", With(3, "a\"b"), "FORM_ERR|共享密钥" + drbd},
      {"tab in the secret", With(3, "a\tb"), "FORM_ERR|共享密钥" + drbd},
      {"name checked before secret",
       [] {
         Lines lines = With(3, "a b");
         lines[4] = "r;";
         return lines;
       }(),
       "FORM_ERR|DRBD资源名称" + drbd},
      {"blank in host A's name", With(9, "node A|volA|10.0.0.1|7788|0||0"), "FORM_ERR|主机A的主机名" + drbd},
      {"brace in host B's address", With(10, "nodeB|volB|10.0.0.2{|7788|1|metaB|0"), "FORM_ERR|主机B的地址" + drbd},
      {"semicolon in host B's meta disk", With(10, "nodeB|volB|10.0.0.2|7788|1|m;|0"), "FORM_ERR|主机B的元数据卷" + drbd},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto mirror = Parse(Join(c.lines));
    EXPECT_EQ(FailureOf([&] { mirror->VerifyConfig(); }), c.expected);
  }
  // Fields set through the setters (the console path) are checked the same way.
  auto mirror = Parse(Join(MirrorLines()));
  __DrbdHostProperty host = mirror->GetHostA();
  host.disk = "vol|x";
  mirror->SetHostA(host);
  EXPECT_EQ(FailureOf([&] { mirror->VerifyConfig(); }), "FORM_ERR|主机A的数据卷" + drbd);
  mirror = Parse(Join(MirrorLines()));
  mirror->SetSharedSecret("a\nb");
  EXPECT_EQ(FailureOf([&] { mirror->VerifyConfig(); }), "FORM_ERR|共享密钥" + breakLine);
}
