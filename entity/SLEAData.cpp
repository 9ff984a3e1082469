#include "entity/SLEAData.h"

#include <sstream>

#include "framework/MutexGuard.h"

namespace Oxbrindale {
namespace Velmora {
namespace Entity {

using Framework::DateTime;
using Framework::MutexGuard;

SLEAData::SLEAData() : _sounding(false), _alarmKind(-1) {}

SLEAData::SLEAData(std::vector<std::string>* lines, unsigned* index) {
  _sounding = MoveAndGet(lines, index) == "true";
  _alarmKind = static_cast<int32_t>(_ReadNumber(MoveAndGet(lines, index)));
  _dateTime = DateTime(MoveAndGet(lines, index));
  _text = MoveAndGet(lines, index);
}

std::string SLEAData::ToString() {
  MutexGuard guard(_lock);
  std::ostringstream out;
  out << (_sounding ? "true" : "false") << '\n' << _alarmKind << '\n' << _dateTime.ToString() << '\n' << _text;
  return out.str();
}

bool SLEAData::IsSounding() {
  MutexGuard guard(_lock);
  return _sounding;
}

void SLEAData::SetSounding(bool sounding) {
  MutexGuard guard(_lock);
  _sounding = sounding;
}

int32_t SLEAData::GetAlarmKind() {
  MutexGuard guard(_lock);
  return _alarmKind;
}

void SLEAData::SetAlarmKind(int32_t kind) {
  MutexGuard guard(_lock);
  _alarmKind = kind;
}

DateTime SLEAData::GetDateTime() {
  MutexGuard guard(_lock);
  return _dateTime;
}

void SLEAData::SetDateTime(const DateTime& time) {
  MutexGuard guard(_lock);
  _dateTime = time;
}

std::string SLEAData::GetText() {
  MutexGuard guard(_lock);
  return _text;
}

void SLEAData::SetText(const std::string& text) {
  MutexGuard guard(_lock);
  _text = text;
}

}  // namespace Entity
}  // namespace Velmora
}  // namespace Oxbrindale
