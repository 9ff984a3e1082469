#include "framework/DateTime.h"

#include <cstdint>

#include "framework/Convert.h"
#include "framework/Env.h"
#include "framework/Exception.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

namespace {

const char* const kBadDate = "日期格式不正确！";
const char* const kBadTime = "时间格式不正确！";
const char* const kExtraBlank = "日期和时间的空格数多余一个！";

bool _IsSeparator(char c) { return c == '-' || c == ':' || c == ' '; }

// Every byte counts as its code minus the code of '0'.
int _Digit(char c) { return static_cast<int>(static_cast<unsigned char>(c)) - '0'; }

// Value of a field of one or two bytes.
int _ShortValue(const std::string& field) {
  if (field.size() == 1) return _Digit(field[0]);
  return _Digit(field[0]) * 10 + _Digit(field[1]);
}

bool _IsShort(const std::string& field) { return field.size() == 1 || field.size() == 2; }

// Value of the year field: any number of bytes. Unsigned arithmetic wraps
// instead of overflowing on absurdly long fields.
int _LongValue(const std::string& field) {
  uint32_t value = 0;
  for (char c : field) value = value * 10u + static_cast<uint32_t>(_Digit(c));
  return static_cast<int>(value);
}

[[noreturn]] void _Reject(const char* message) { throw new Exception("DATETIME", message); }

// Decimal text, with "0" in front of a single character.
std::string _TwoDigits(int value) {
  std::string text = Convert::ToString<int>(value);
  if (text.size() == 1) text = "0" + text;
  return text;
}

void _FromSeconds(time_t seconds, DateTime& dt) {
  struct tm local = {};
  if (localtime_r(&seconds, &local) == nullptr) {
    // Beyond what the calendar can hold: the epoch rather than garbage.
    local = {};
    local.tm_year = 70;
    local.tm_mday = 1;
  }
  dt.year = local.tm_year + 1900;
  dt.month = local.tm_mon + 1;
  dt.day = local.tm_mday;
  dt.hour = local.tm_hour;
  dt.minute = local.tm_min;
  dt.second = local.tm_sec;
  dt.millisecond = 0;
}

}  // namespace

DateTime::DateTime() : DateTime(Env::Get()->WallClock()) {}

DateTime::DateTime(const struct timespec& ts)
    : year(0), month(0), day(0), hour(0), minute(0), second(0), millisecond(0) {
  _FromSeconds(ts.tv_sec, *this);
}

DateTime::DateTime(int year_, int month_, int day_, int hour_, int minute_, int second_, int millisecond_)
    : year(year_),
      month(month_),
      day(day_),
      hour(hour_),
      minute(minute_),
      second(second_),
      millisecond(millisecond_) {}

DateTime::DateTime(const std::string& text)
    : year(0), month(0), day(0), hour(0), minute(0), second(0), millisecond(0) {
  int separators = 0;
  std::string::size_type fieldStart = 0;
  for (std::string::size_type i = 0; i < text.size() && separators < 5; ++i) {
    if (!_IsSeparator(text[i])) continue;
    ++separators;
    std::string field = text.substr(fieldStart, i - fieldStart);
    fieldStart = i + 1;
    switch (separators) {
      case 1:
        year = _LongValue(field);
        break;
      case 2:
        if (!_IsShort(field)) _Reject(kBadDate);
        month = _ShortValue(field);
        if (month < 1 || month > 12) _Reject(kBadDate);
        break;
      case 3:
        if (!_IsShort(field)) _Reject(kBadDate);
        day = _ShortValue(field);
        if (day < 1 || day > 31) _Reject(kBadDate);
        break;
      case 4:
        if (!_IsShort(field)) _Reject(kExtraBlank);
        hour = _ShortValue(field);
        if (hour < 0 || hour > 24) _Reject(kBadTime);
        break;
      case 5: {
        // The second runs from here to the end of the text.
        std::string secondField = text.substr(fieldStart);
        if (!_IsShort(secondField)) _Reject(kBadTime);
        second = _ShortValue(secondField);
        if (second < 0 || second > 60) _Reject(kBadTime);
        if (!_IsShort(field)) _Reject(kBadTime);
        minute = _ShortValue(field);
        if (minute < 0 || minute > 60) _Reject(kBadTime);
        break;
      }
    }
  }
  // A text that ends early leaves fields without a value: reject it.
  if (separators < 3) _Reject(kBadDate);
  if (separators < 5) _Reject(kBadTime);
}

std::string DateTime::ToString() const { return ToDateString() + " " + ToTimeString(); }

std::string DateTime::ToDateString() const {
  return Convert::ToString<int>(year) + "-" + Convert::ToString<int>(month) + "-" + Convert::ToString<int>(day);
}

std::string DateTime::ToTimeString() const {
  return _TwoDigits(hour) + ":" + _TwoDigits(minute) + ":" + _TwoDigits(second);
}

bool DateTime::operator<(const DateTime& other) const {
  const int mine[] = {year, month, day, hour, minute, second, millisecond};
  const int theirs[] = {other.year, other.month, other.day, other.hour, other.minute, other.second, other.millisecond};
  for (int i = 0; i < 7; ++i) {
    if (mine[i] != theirs[i]) return mine[i] < theirs[i];
  }
  return false;
}

bool DateTime::operator>(const DateTime& other) const { return other < *this; }

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
