#include "config/IConfig.h"

#include <string>
#include <vector>

#include "framework/Convert.h"
#include "framework/Exception.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {

using Framework::Convert;

namespace {

bool IsStreamBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

std::string IConfig::MoveAndGet(std::vector<std::string>* lines, unsigned int* index) {
  if (*index >= lines->size()) {
    throw new Exception("FORM_ERR", "存储结构数据错误，无法从序列化数据中反序列化存储数据!");
  }
  if (StrictReading* strict = StrictReading::Current()) strict->NoteLine(*index);
  std::string line = (*lines)[*index];
  ++*index;
  return line;
}

int64_t IConfig::ParseInt64(const std::string& line) {
  size_t pos = 0;
  while (pos < line.size() && IsStreamBlank(line[pos])) ++pos;
  bool negative = false;
  if (pos < line.size() && (line[pos] == '+' || line[pos] == '-')) {
    negative = line[pos] == '-';
    ++pos;
  }
  uint64_t value = 0;  // arithmetic modulo 2^64: the low bits are what counts
  bool anyDigit = false;
  while (pos < line.size() && line[pos] >= '0' && line[pos] <= '9') {
    value = value * 10u + static_cast<uint64_t>(line[pos] - '0');
    anyDigit = true;
    ++pos;
  }
  if (!anyDigit) return 0;
  if (negative) value = ~value + 1u;
  return static_cast<int64_t>(value);
}

bool IConfig::ReadBool(const std::string& line) { return line == "true"; }

std::string IConfig::BoolText(bool value) { return value ? "true" : "false"; }

std::string IConfig::JoinList(const std::vector<std::string>& elements) {
  std::string text;
  for (const std::string& element : elements) {
    text += element;
    text += '|';
  }
  if (!text.empty()) text.erase(text.size() - 1);
  return text;
}

std::vector<std::string> IConfig::SplitList(const std::string& line) {
  if (line.empty()) return {};
  std::string copy = line;
  return Convert::tokenize(copy, "|", false, "");
}

std::vector<std::string> IConfig::SplitLines(const std::string& text) {
  std::string copy = text;
  return Convert::tokenize(copy, "\n", false, "");
}

void IConfig::CheckText(const std::string& value, const std::string& label) {
  if (value.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
    throw new Exception("FORM_ERR", label + "不能包含回车、换行或空字符！");
  }
}

void IConfig::CheckListText(const std::vector<std::string>& elements, const std::string& label) {
  for (const std::string& element : elements) {
    CheckText(element, label);
    if (element.find('|') != std::string::npos) {
      throw new Exception("FORM_ERR", label + "的每一项都不能包含字符“|”！");
    }
  }
}

void IConfig::CheckDrbdText(const std::string& value, const std::string& label) {
  CheckText(value, label);
  if (value.find_first_of("\"{};| \t\v\f") != std::string::npos) {
    throw new Exception("FORM_ERR", label + "不能包含引号、花括号、分号、竖线或空白字符！");
  }
}

}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale
