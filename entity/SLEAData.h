#ifndef TARROW_ENTITY_SLEADATA_H
#define TARROW_ENTITY_SLEADATA_H

#include <cstdint>
#include <string>
#include <vector>

#include "entity/IEntity.h"
#include "framework/DateTime.h"
#include "framework/Mutex.h"

namespace Oxbrindale {
namespace Velmora {
namespace Entity {

// State of the audible console alarm, kept by the console-speaker executor
// and read by console sessions. Text: four lines ("true"/"false", alarm kind,
// date-time text, alarm text). Fields are guarded by the record's own lock.
class SLEAData : public IEntity {
 public:
  SLEAData();
  // Throws Exception* "FORM_ERR" when the lines run out, and the date-time's
  // exception on a third line that is no date and time.
  SLEAData(std::vector<std::string>* lines, unsigned* index);
  SLEAData(const SLEAData&) = delete;
  SLEAData& operator=(const SLEAData&) = delete;
  ~SLEAData() override = default;

  std::string ToString() override;

  bool IsSounding();
  void SetSounding(bool sounding);
  int32_t GetAlarmKind();
  void SetAlarmKind(int32_t kind);
  Framework::DateTime GetDateTime();
  void SetDateTime(const Framework::DateTime& time);
  std::string GetText();
  void SetText(const std::string& text);

 private:
  Framework::Mutex _lock;
  bool _sounding;
  int32_t _alarmKind;  // ALARM_KIND, -1 when none
  Framework::DateTime _dateTime;
  std::string _text;
};

}  // namespace Entity
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
