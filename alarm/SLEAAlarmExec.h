#ifndef TARROW_ALARM_SLEAALARMEXEC_H
#define TARROW_ALARM_SLEAALARMEXEC_H

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "alarm/AlarmExec.h"
#include "alarm/IToneDevice.h"
#include "config/AlarmExecConfig.h"
#include "entity/SLEAData.h"
#include "framework/Mutex.h"

namespace Oxbrindale {
namespace Velmora {
namespace Alarm {

// Sounds the console speaker for the newest alarm, on and off, until the
// administrator resets it from the console, a newer alarm arrives or the
// executor stops; keeps the speaker record the console shows. The record and
// the new-alarm flag are written and read under one lock.
class SLEAAlarmExec : public AlarmExec {
 public:
  enum { TONE_DIVISOR = 11931 };  // about 100 Hz
  // Raisers wait at most this long for a free slot; the alarm is dropped after it.
  enum { PUT_WAIT_MS = 100 };
  enum { TONE_ON_MS = 1500, TONE_OFF_MS = 1000 };
  // Pause between two looks at the flags while the speaker cannot be opened.
  enum { IDLE_LOOK_MS = 500 };

  // device: the speaker (owned); null gives the console speaker.
  explicit SLEAAlarmExec(IToneDevice* device = nullptr);
  ~SLEAAlarmExec() override;

  // Marks that a new alarm waits, then queues it; takes the mark back when
  // the alarm is dropped.
  bool PutLog(int kind, const std::string& text, const Framework::DateTime& time) override;
  int ExecMethod() const override { return Config::ALARM_EXEC_SLE; }
  // Shows the batch's last alarm in the record and sounds until reset, a
  // newer alarm or the stop.
  void DoAlarm(std::vector<Entity::AlarmObj>& batch) override;

  // Marks the record not sounding (which silences the speaker within one
  // on-off cycle) and posts "SLEA_DATA_CHANGE".
  void ResetSLEA();
  // A copy of the speaker record, taken in one piece.
  std::unique_ptr<Entity::SLEAData> GetSLEAData();
  // The new-alarm flag: an alarm was queued since the sounding batch began.
  bool HasNewAlarm();

  // Tone and pause lengths and the look interval of an unopenable speaker, in ms.
  void SetTiming(unsigned int onMs, unsigned int offMs, unsigned int idleLookMs);

 private:
  // Whether the sounding goes on: not stopping, the record sounding, no
  // newer alarm flagged and none waiting in the queue.
  bool _KeepSounding();
  static void _NotifyChange();

  std::unique_ptr<IToneDevice> _device;
  Framework::Mutex _stateLock;  // guards _newAlarms, _batchesBegun and _data as a whole
  // The new-alarm flag, as the number of alarms flagged since the sounding
  // batch began (set when not 0), so that a dropped alarm takes back its own
  // mark only.
  unsigned long _newAlarms;
  unsigned long _batchesBegun;  // batches begun so far: a begun batch clears every mark
  Entity::SLEAData _data;
  std::atomic<unsigned int> _onMs{TONE_ON_MS};
  std::atomic<unsigned int> _offMs{TONE_OFF_MS};
  std::atomic<unsigned int> _idleLookMs{IDLE_LOOK_MS};
};

}  // namespace Alarm
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
