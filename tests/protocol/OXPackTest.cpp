#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "framework/Convert.h"
#include "framework/Exception.h"
#include "protocol/OXPack.h"
#include "support/Thrown.h"

using Oxbrindale::Velmora::Framework::Convert;
using Oxbrindale::Velmora::OXProctol::OXPack;
using tarrow_test::ThrownCode;

namespace {

const std::regex kGuid("\\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\\}");
const std::regex kTime("[0-9]{4}-[0-9]{1,2}-[0-9]{1,2} [0-9]{2}:[0-9]{2}:[0-9]{2}");

std::string FrameText(const OXPack& pack) {
  std::string frame = pack.ToFrame();
  EXPECT_FALSE(frame.empty());
  EXPECT_EQ('\0', frame.back());
  return frame.substr(0, frame.size() - 1);
}

// The parsing rule written the long way: tokenize at LF keeping empty pieces,
// at least five fields, fields five and later joined by LF.
std::unique_ptr<OXPack> ReferenceParse(std::string text) {
  std::vector<std::string> fields = Convert::tokenize(text, "\n", false, "");
  if (fields.size() < 5) return nullptr;
  std::string body = fields[4];
  for (size_t i = 5; i < fields.size(); ++i) body += "\n" + fields[i];
  return std::unique_ptr<OXPack>(new OXPack(fields[0], fields[1], fields[2], fields[3], body));
}


}  // namespace

TEST(OXPack, ConstructorsFillIdAndTime) {
  OXPack fresh("request", "CMD", "body");
  EXPECT_TRUE(std::regex_match(fresh.packId, kGuid)) << fresh.packId;
  EXPECT_TRUE(std::regex_match(fresh.time, kTime)) << fresh.time;
  EXPECT_NE(fresh.packId, OXPack("request", "CMD", "body").packId);

  OXPack response("response", "RET", "{ID}", "OK\n");
  EXPECT_EQ("{ID}", response.packId);
  EXPECT_TRUE(std::regex_match(response.time, kTime));

  OXPack received("push", "X", "{ID}", "2009-3-7 08:05:09", "b");
  EXPECT_EQ("push", received.kind);
  EXPECT_EQ("X", received.command);
  EXPECT_EQ("{ID}", received.packId);
  EXPECT_EQ("2009-3-7 08:05:09", received.time);
  EXPECT_EQ("b", received.body);
}

TEST(OXPack, FrameLayout) {
  OXPack empty("push", "SERVICE_READY", "{ID}", "2009-3-7 08:05:09", "");
  EXPECT_EQ(std::string("push\nSERVICE_READY\n{ID}\n2009-3-7 08:05:09\n\0", 43), empty.ToFrame());

  OXPack keepAlive(OXPack::PackKind::HEARTBEAT, "0", "0");
  const std::string frame = keepAlive.ToFrame();
  ASSERT_EQ('\0', frame.back());
  const std::regex layout("heartbeat\n0\n\\{[0-9A-F-]{36}\\}\n[0-9]{4}-[0-9]{1,2}-[0-9]{1,2} [0-9:]{8}\n0");
  EXPECT_TRUE(std::regex_match(frame.substr(0, frame.size() - 1), layout)) << frame;
}

TEST(OXPack, TextRoundTrip) {
  const std::vector<std::string> bodies = {
      "", "0", "a\nb\n", "\n", "\n\n\n", "OK\n第一行\n第二行", std::string(16000, 'x'), "ends with LF\n",
  };
  for (const std::string& body : bodies) {
    OXPack sent("request", "DO_IT", body);
    std::unique_ptr<OXPack> got(OXPack::Parse(FrameText(sent)));
    ASSERT_NE(nullptr, got) << body;
    EXPECT_EQ(sent.kind, got->kind);
    EXPECT_EQ(sent.command, got->command);
    EXPECT_EQ(sent.packId, got->packId);
    EXPECT_EQ(sent.time, got->time);
    EXPECT_EQ(body, got->body);
  }
}

TEST(OXPack, ParseTable) {
  struct Case {
    std::string text;
    bool parsed;
    std::string kind, command, packId, time, body;
  };
  const std::vector<Case> cases = {
      {"", false, "", "", "", "", ""},
      {"request", false, "", "", "", "", ""},
      {"a\nb\nc\nd", false, "", "", "", "", ""},            // four fields
      {"\n\n\n", false, "", "", "", "", ""},                // four empty fields
      {"a\nb\nc\nd\n", true, "a", "b", "c", "d", ""},       // trailing empty field is the body
      {"\n\n\n\n", true, "", "", "", "", ""},
      {"a\nb\nc\nd\nx\ny\n", true, "a", "b", "c", "d", "x\ny\n"},
      {"a\r\nb\r\nc\r\nd\r\nx\r\ny\r\n", true, "a", "b", "c", "d", "x\ny\n"},  // CR LF line ends
      {"re\rquest\nb\nc\nd\ne\r", true, "request", "b", "c", "d", "e"},          // every CR goes
      {"a\r\r\nb\nc\nd\n\r", true, "a", "b", "c", "d", ""},
      {"a\nb\nc\r\nd", false, "", "", "", "", ""},
  };
  for (const Case& c : cases) {
    std::unique_ptr<OXPack> pack(OXPack::Parse(c.text));
    ASSERT_EQ(c.parsed, pack != nullptr) << testing::PrintToString(c.text);
    if (!pack) continue;
    EXPECT_EQ(c.kind, pack->kind);
    EXPECT_EQ(c.command, pack->command);
    EXPECT_EQ(c.packId, pack->packId);
    EXPECT_EQ(c.time, pack->time);
    EXPECT_EQ(c.body, pack->body) << testing::PrintToString(c.text);
  }
}

// Random texts over the bytes that matter agree with the tokenize rule.
TEST(OXPack, ParseAgreesWithTokenizeRule) {
  std::mt19937 random(7);
  const char alphabet[] = {'a', 'b', '\n', '\r', '\n'};
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    const int length = static_cast<int>(random() % 14);
    for (int i = 0; i < length; ++i) text += alphabet[random() % sizeof alphabet];
    std::unique_ptr<OXPack> fast(OXPack::Parse(text));
    std::unique_ptr<OXPack> slow = ReferenceParse(text);
    ASSERT_EQ(slow != nullptr, fast != nullptr) << testing::PrintToString(text);
    if (!slow) continue;
    EXPECT_EQ(slow->kind, fast->kind);
    EXPECT_EQ(slow->command, fast->command);
    EXPECT_EQ(slow->packId, fast->packId);
    EXPECT_EQ(slow->time, fast->time);
    EXPECT_EQ(slow->body, fast->body) << testing::PrintToString(text);
  }
}

// A NUL anywhere, or an LF before the body, would cut or shift the frame and
// let the rest be read as a forged pack: such packs are refused.
TEST(OXPack, ForgedFrameRefused) {
  const std::string nul(1, '\0');
  struct Case {
    OXPack pack;
    bool refused;
  };
  const std::vector<Case> cases = {
      {OXPack("push" + nul, "C", "{I}", "T", "B"), true},
      {OXPack("push", "C" + nul + "push", "{I}", "T", "B"), true},
      {OXPack("push", "C", "{I}" + nul, "T", "B"), true},
      {OXPack("push", "C", "{I}", "T" + nul, "B"), true},
      {OXPack("push", "C", "{I}", "T", "B" + nul + "request\nFORGED\n{X}\nT\nb"), true},
      {OXPack("push\nrequest", "C", "{I}", "T", "B"), true},
      {OXPack("push", "C\nX", "{I}", "T", "B"), true},
      {OXPack("push", "C", "{I}\n", "T", "B"), true},
      {OXPack("push", "C", "{I}", "T\nX", "B"), true},
      {OXPack("push", "C", "{I}", "T", "line\nline\n"), false},
      {OXPack("push", "C\r", "{I}", "T", "B\r\n"), false},  // CR only vanishes on the way
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.refused ? "OXPROCTOL" : "", ThrownCode([&] { c.pack.ToFrame(); }))
        << testing::PrintToString(c.pack.kind + "|" + c.pack.command + "|" + c.pack.packId + "|" + c.pack.time + "|" +
                                  c.pack.body);
    EXPECT_EQ(c.refused ? "OXPROCTOL" : "", ThrownCode([&] { c.pack.CheckFrameSafe(); }));
  }
}
