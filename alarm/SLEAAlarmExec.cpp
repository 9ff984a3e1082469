#include "alarm/SLEAAlarmExec.h"

#include "alarm/ConsoleToneDevice.h"
#include "framework/EventManager.h"
#include "framework/MutexGuard.h"
#include "framework/Sleep.h"

namespace Oxbrindale {
namespace Velmora {
namespace Alarm {

using Entity::AlarmObj;
using Framework::DateTime;
using Framework::EventManager;
using Framework::MutexGuard;

namespace {

// Silences and closes the speaker when the sounding ends, also when the
// thread is cancelled in the middle of a tone.
class _SpeakerSession {
 public:
  explicit _SpeakerSession(IToneDevice* device) : _device(device), _open(device->Open()) {}
  ~_SpeakerSession() {
    if (!_open) return;
    if (_toneOn) _device->Sound(0);
    _device->Close();
  }
  _SpeakerSession(const _SpeakerSession&) = delete;
  _SpeakerSession& operator=(const _SpeakerSession&) = delete;

  bool IsOpen() const { return _open; }
  void Sound(int divisor) {
    _toneOn = divisor != 0;
    _device->Sound(divisor);
  }

 private:
  IToneDevice* _device;
  bool _open;
  bool _toneOn = false;
};

}  // namespace

SLEAAlarmExec::SLEAAlarmExec(IToneDevice* device)
    : AlarmExec(), _device(device != nullptr ? device : new ConsoleToneDevice()), _newAlarms(0), _batchesBegun(0) {
  SetPutWait(PUT_WAIT_MS);
}

SLEAAlarmExec::~SLEAAlarmExec() { CallExit(); }

void SLEAAlarmExec::SetTiming(unsigned int onMs, unsigned int offMs, unsigned int idleLookMs) {
  _onMs.store(onMs);
  _offMs.store(offMs);
  _idleLookMs.store(idleLookMs == 0 ? 1 : idleLookMs);
}

bool SLEAAlarmExec::PutLog(int kind, const std::string& text, const DateTime& time) {
  // Flagged before it is queued: flagged after, the thread could already
  // have taken this very alarm and begun to sound it, and the flag would
  // then end its own sounding at once. An alarm flagged but not yet queued
  // while an older batch begins is caught by the look at the queue.
  unsigned long batch;
  {
    MutexGuard guard(_stateLock);
    ++_newAlarms;
    batch = _batchesBegun;
  }
  if (AlarmExec::PutLog(kind, text, time)) return true;
  // Dropped: no alarm waits for this mark. A batch begun meanwhile has
  // cleared it already.
  MutexGuard guard(_stateLock);
  if (_batchesBegun == batch) --_newAlarms;
  return false;
}

bool SLEAAlarmExec::HasNewAlarm() {
  MutexGuard guard(_stateLock);
  return _newAlarms != 0;
}

void SLEAAlarmExec::_NotifyChange() { EventManager::Instance()->Notify(-1, "NOTIFY", "SLEA_DATA_CHANGE"); }

bool SLEAAlarmExec::_KeepSounding() {
  if (IsStopping()) return false;
  {
    MutexGuard guard(_stateLock);
    if (!_data.IsSounding() || _newAlarms != 0) return false;
  }
  // An alarm queued after this batch was taken, whose flag the start of the
  // batch cleared, still ends this sounding.
  return !_HasWaiting();
}

void SLEAAlarmExec::DoAlarm(std::vector<AlarmObj>& batch) {
  if (batch.empty()) return;
  const AlarmObj& newest = batch.back();
  {
    MutexGuard guard(_stateLock);
    _data.SetDateTime(newest.time);
    _data.SetText(newest.text);
    _data.SetAlarmKind(newest.kind);
    _data.SetSounding(true);
    _newAlarms = 0;
    ++_batchesBegun;
  }
  _NotifyChange();

  _SpeakerSession speaker(_device.get());
  while (_KeepSounding()) {
    if (!speaker.IsOpen()) {
      Sleep(_idleLookMs.load());  // nothing to sound: only look at the flags now and then
      continue;
    }
    speaker.Sound(TONE_DIVISOR);
    Sleep(_onMs.load());
    speaker.Sound(0);
    Sleep(_offMs.load());
  }
}

void SLEAAlarmExec::ResetSLEA() {
  {
    MutexGuard guard(_stateLock);
    _data.SetSounding(false);
  }
  _NotifyChange();
}

std::unique_ptr<Entity::SLEAData> SLEAAlarmExec::GetSLEAData() {
  std::unique_ptr<Entity::SLEAData> copy(new Entity::SLEAData());
  MutexGuard guard(_stateLock);
  copy->SetSounding(_data.IsSounding());
  copy->SetAlarmKind(_data.GetAlarmKind());
  copy->SetDateTime(_data.GetDateTime());
  copy->SetText(_data.GetText());
  return copy;
}

}  // namespace Alarm
}  // namespace Velmora
}  // namespace Oxbrindale
