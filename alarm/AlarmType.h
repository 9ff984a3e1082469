#ifndef TARROW_ALARM_ALARMTYPE_H
#define TARROW_ALARM_ALARMTYPE_H

#include <cstdint>
#include <string>
#include <vector>

namespace Oxbrindale {
namespace Velmora {
namespace Entity {

// Alarm levels.
enum ALARM_LEVEL {
  ALARM_LEVEL_SERIOUS = 0,
  ALARM_LEVEL_WARNING = 1,
  ALARM_LEVEL_ATTENTION = 2,
  ALARM_LEVEL_NOTICE = 3
};

// One alarm kind of the fixed table of 17 (AlarmManager::GetAlarmTypeList,
// index = id).
class AlarmType {
 public:
  enum { KIND_COUNT = 17 };

  AlarmType(int id, int level, std::string name, std::string description);

  // "严重错误", "警告", "注意", "通知"; "N/A" for any other level.
  static std::string GetLevelName(int level);
  // "LOG", "EMAIL", "SLE", "CUSTOM" for the methods 0 to 3; "N/A" otherwise.
  static std::string GetExecMethodString(int method);
  // The words of the methods joined by "|"; "" for an empty list.
  static std::string GetExecMethodString(const std::vector<int32_t>& methods);

  int id;                   // alarm kind, 0 to 16
  int level;                // ALARM_LEVEL
  std::string name;         // short name: mail subjects and tables
  std::string description;  // shown by the console
};

}  // namespace Entity
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
