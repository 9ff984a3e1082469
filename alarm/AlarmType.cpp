#include "alarm/AlarmType.h"

#include <utility>

namespace Oxbrindale {
namespace Velmora {
namespace Entity {

AlarmType::AlarmType(int id_, int level_, std::string name_, std::string description_)
    : id(id_), level(level_), name(std::move(name_)), description(std::move(description_)) {}

std::string AlarmType::GetLevelName(int level) {
  switch (level) {
    case ALARM_LEVEL_SERIOUS:
      return "严重错误";
    case ALARM_LEVEL_WARNING:
      return "警告";
    case ALARM_LEVEL_ATTENTION:
      return "注意";
    case ALARM_LEVEL_NOTICE:
      return "通知";
    default:
      return "N/A";
  }
}

std::string AlarmType::GetExecMethodString(int method) {
  switch (method) {
    case 0:
      return "LOG";
    case 1:
      return "EMAIL";
    case 2:
      return "SLE";
    case 3:
      return "CUSTOM";
    default:
      return "N/A";
  }
}

std::string AlarmType::GetExecMethodString(const std::vector<int32_t>& methods) {
  std::string text;
  for (size_t i = 0; i < methods.size(); ++i) {
    if (i != 0) text += "|";
    text += GetExecMethodString(static_cast<int>(methods[i]));
  }
  return text;
}

}  // namespace Entity
}  // namespace Velmora
}  // namespace Oxbrindale
