#ifndef TARROW_TESTS_CONFIG_RECORDTESTUTIL_H
#define TARROW_TESTS_CONFIG_RECORDTESTUTIL_H

#include <functional>
#include <string>
#include <vector>

#include "framework/Exception.h"

namespace record_test {

// Runs body; "" when it returned, "<code>|<message>" when it threw Exception*.
inline std::string FailureOf(const std::function<void()>& body) {
  try {
    body();
  } catch (Exception* e) {
    std::string text = e->code + "|" + e->message;
    delete e;
    return text;
  }
  return "";
}

inline std::string Join(const std::vector<std::string>& lines) {
  std::string text;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) text += "\n";
    text += lines[i];
  }
  return text;
}

inline std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const char* const kFormErrOutOfLines = "FORM_ERR|存储结构数据错误，无法从序列化数据中反序列化存储数据!";

}  // namespace record_test

#endif
