#ifndef TARROW_FRAMEWORK_DATETIME_H
#define TARROW_FRAMEWORK_DATETIME_H

#include <time.h>

#include <string>

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

// Local calendar time. Text form "2024-3-5 09:07:02".
class DateTime {
 public:
  DateTime();  // now (Env's wall clock), millisecond 0
  explicit DateTime(const struct timespec& ts);
  DateTime(int year, int month, int day, int hour, int minute, int second, int millisecond);
  // Parses the text form; throws Exception* "DATETIME".
  explicit DateTime(const std::string& text);

  std::string ToString() const;
  std::string ToDateString() const;
  std::string ToTimeString() const;

  bool operator<(const DateTime& other) const;
  bool operator>(const DateTime& other) const;

  int year;
  int month;
  int day;
  int hour;
  int minute;
  int second;
  int millisecond;
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
