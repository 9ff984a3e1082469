#ifndef TARROW_ENTITY_ALARMOBJ_H
#define TARROW_ENTITY_ALARMOBJ_H

#include <string>

#include "entity/IEntity.h"
#include "framework/DateTime.h"

namespace Oxbrindale {
namespace Velmora {
namespace Entity {

// One raised alarm. Text form, one line: kind "|" time "|" text, the time as
// DateTime::ToString writes it; the text is written unchanged.
class AlarmObj : public IEntity {
 public:
  AlarmObj(int kind, std::string text, Framework::DateTime time);
  // Parses the text form: kind and time are read at the first two '|', the
  // rest of the line (which may hold further '|') is the text. A line with
  // fewer than two '|' gives kind 0, an empty text and the current time. A
  // time that is no date-time throws Exception* "DATETIME".
  explicit AlarmObj(std::string line);
  AlarmObj(const AlarmObj& other) = default;
  AlarmObj& operator=(const AlarmObj& other) = default;
  ~AlarmObj() override = default;

  std::string ToString() override;

  // Compare the times.
  bool operator<(const AlarmObj& other) const;
  bool operator>(const AlarmObj& other) const;

  int kind;                  // alarm kind 0 to 16; -1 marks an executor's stop
  std::string text;          // the raiser's text, UTF-8
  Framework::DateTime time;  // local time of raising, millisecond 0
};

}  // namespace Entity
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
