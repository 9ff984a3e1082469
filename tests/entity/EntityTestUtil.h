#ifndef TARROW_TESTS_ENTITY_ENTITYTESTUTIL_H
#define TARROW_TESTS_ENTITY_ENTITYTESTUTIL_H

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "framework/Convert.h"
#include "framework/Exception.h"

namespace entity_test {

// A status text split the way console handlers split it: at '\n', empty
// lines kept.
inline std::vector<std::string> Lines(std::string text) {
  return Oxbrindale::Velmora::Framework::Convert::tokenize(text, "\n", false, "");
}

// Runs body, expects an Exception* with this code, and returns its message.
inline std::string ExpectThrowCode(const std::function<void()>& body, const std::string& code) {
  try {
    body();
  } catch (Exception* e) {
    std::string gotCode = e->code;
    std::string message = e->message;
    delete e;
    EXPECT_EQ(code, gotCode);
    return message;
  }
  ADD_FAILURE() << "no exception, expected " << code;
  return "";
}

// Every proper prefix of the text's lines fails with "FORM_ERR" and the
// record-reader's message; the full list parses and leaves the index at its end.
template <typename Record>
void ExpectShortInputFails(const std::string& text) {
  std::vector<std::string> all = Lines(text);
  for (size_t n = 0; n < all.size(); ++n) {
    std::vector<std::string> part(all.begin(), all.begin() + static_cast<long>(n));
    unsigned index = 0;
    std::string message = ExpectThrowCode([&] { Record record(&part, &index); }, "FORM_ERR");
    EXPECT_EQ("存储结构数据错误，无法从序列化数据中反序列化存储数据!", message)
        << "with " << n << " lines";
    EXPECT_EQ(n, index) << "with " << n << " lines";
  }
  unsigned index = 0;
  Record record(&all, &index);
  EXPECT_EQ(all.size(), index);
}

// Parses text and returns the parsed record's text; checks the index lands
// right after the record.
template <typename Record>
std::string RoundTrip(const std::string& text) {
  std::vector<std::string> lines = Lines(text);
  unsigned index = 0;
  Record record(&lines, &index);
  EXPECT_EQ(lines.size(), index) << text;
  return record.ToString();
}

}  // namespace entity_test

#endif
