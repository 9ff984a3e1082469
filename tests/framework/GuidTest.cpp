#include "framework/Guid.h"

#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

// Braces around groups of 8, 4, 4, 4 and 12 upper-case hexadecimal digits
// joined by '-'.
bool _IsGuidText(const std::string& text) {
  const std::string shape = "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}";
  if (text.size() != shape.size()) return false;
  for (size_t i = 0; i < shape.size(); ++i) {
    char c = text[i];
    bool hex = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
    if (shape[i] == 'X' ? !hex : c != shape[i]) return false;
  }
  return true;
}

TEST(Guid, TextOfKnownBytes) {
  _GUID guid;
  guid.Data1 = 0x0123ABCD;
  guid.Data2 = 0x00EF;
  guid.Data3 = 0xFFFF;
  const unsigned char tail[8] = {0x00, 0x01, 0xA0, 0xB1, 0xC2, 0xD3, 0xE4, 0xF5};
  for (int i = 0; i < 8; ++i) guid.Data4[i] = tail[i];
  EXPECT_EQ("{0123ABCD-00EF-FFFF-0001-A0B1C2D3E4F5}", Oxbrindale::GuidToString(guid));

  EXPECT_TRUE(_IsGuidText(Oxbrindale::GuidToString(guid)));
  EXPECT_FALSE(_IsGuidText("{0123abcd-00EF-FFFF-0001-A0B1C2D3E4F5}"));
  EXPECT_FALSE(_IsGuidText("{0123ABCD-00EF-FFFF-0001A0B1C2D3E4F5-}"));

  _GUID zero = {};
  EXPECT_EQ("{00000000-0000-0000-0000-000000000000}", Oxbrindale::GuidToString(zero));
}

TEST(Guid, NewGuidsHaveTheBracedForm) {
  for (int i = 0; i < 100; ++i) {
    std::string text = Oxbrindale::GuidToString(Oxbrindale::CreateGuid());
    EXPECT_EQ(38u, text.size());
    EXPECT_TRUE(_IsGuidText(text)) << text;
  }
}

TEST(GuidConcurrency, GuidsFromManyThreadsAreUnique) {
  const int kThreads = 4;
  const int kEach = 2500;
  std::vector<std::vector<std::string>> made(kThreads);
  std::vector<std::thread> threads;
  for (int n = 0; n < kThreads; ++n) {
    threads.emplace_back([&made, n] {
      made[n].reserve(kEach);
      for (int i = 0; i < kEach; ++i) made[n].push_back(Oxbrindale::GuidToString(Oxbrindale::CreateGuid()));
    });
  }
  for (std::thread& t : threads) t.join();

  std::set<std::string> all;
  for (const auto& texts : made) {
    for (const std::string& text : texts) {
      EXPECT_TRUE(_IsGuidText(text)) << text;
      all.insert(text);
    }
  }
  EXPECT_EQ(static_cast<size_t>(kThreads * kEach), all.size());
}

}  // namespace
