#include "config/StrictReading.h"

#include <cstdint>

#include "framework/Exception.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {

namespace {

thread_local StrictReading* t_current = nullptr;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

enum Parsed { NOT_A_NUMBER, A_NUMBER, TOO_LONG };

// The text as sign and magnitude; TOO_LONG for a number beyond 64 bits.
Parsed ParseDecimal(const std::string& text, bool* negative, uint64_t* magnitude) {
  size_t pos = 0;
  size_t end = text.size();
  while (pos < end && IsBlank(text[pos])) ++pos;
  while (end > pos && IsBlank(text[end - 1])) --end;
  *negative = false;
  if (pos < end && (text[pos] == '+' || text[pos] == '-')) {
    *negative = text[pos] == '-';
    ++pos;
  }
  if (pos == end) return NOT_A_NUMBER;
  uint64_t value = 0;
  bool tooLong = false;
  for (; pos < end; ++pos) {
    if (text[pos] < '0' || text[pos] > '9') return NOT_A_NUMBER;
    const uint64_t digit = static_cast<uint64_t>(text[pos] - '0');
    if (value > (UINT64_MAX - digit) / 10u) tooLong = true;
    value = value * 10u + digit;
  }
  *magnitude = value;
  return tooLong ? TOO_LONG : A_NUMBER;
}

}  // namespace

StrictReading::StrictReading(bool fieldRanges) : _outer(t_current), _fieldRanges(fieldRanges) { t_current = this; }

StrictReading::~StrictReading() { t_current = _outer; }

StrictReading* StrictReading::Current() { return t_current; }

void StrictReading::Check(const std::string& text, const NumberRange& range, const NumberRange& typeRange) {
  const NumberRange& limits = _fieldRanges ? range : typeRange;
  bool negative = false;
  uint64_t magnitude = 0;
  const Parsed parsed = ParseDecimal(text, &negative, &magnitude);
  if (parsed == NOT_A_NUMBER) {
    _refused = true;
    throw new Exception("FORM_ERR", "第" + std::to_string(_line) + "行的数值“" + text + "”不是十进制整数！");
  }
  if (parsed == TOO_LONG || !limits.Contains(negative, magnitude)) {
    _refused = true;
    throw new Exception("FORM_ERR", "第" + std::to_string(_line) + "行的数值“" + text + "”超出范围（" + limits.Text() +
                                        "）！");
  }
}

}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale
