#ifndef TARROW_ALARM_LOGALARMEXEC_H
#define TARROW_ALARM_LOGALARMEXEC_H

#include <string>
#include <vector>

#include "alarm/AlarmExec.h"
#include "config/AlarmExecConfig.h"
#include "framework/DateTime.h"
#include "framework/Mutex.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {
class ConfigManager;
}
namespace Alarm {

// Receives every alarm: appends each batch to the month's alarm log
// <program dir>log/YYYYMM.log, keeps the list of recent alarms the console
// shows (saved to log/recent_alarm.log after every batch and at exit) and
// posts each alarm as "RECENT_LOG\t" + its text form on the event bus.
class LogAlarmExec : public AlarmExec {
 public:
  // A new alarm pushes the oldest out once the list holds more than this.
  enum { RECENT_KEEP = 15 };
  // Alarms that may wait beside the full queue.
  enum { SPILL_LIMIT = 1000 };

  // config: the store that reads and writes log/recent_alarm.log (the
  // daemon's when null). The recent list starts with what that file holds.
  // The put wait is 0: a raiser never waits for room in this queue; up to
  // SPILL_LIMIT alarms beyond it wait beside it.
  explicit LogAlarmExec(Config::ConfigManager* config = nullptr);
  // Stops the thread, then frees the recent list.
  ~LogAlarmExec() override;

  int ExecMethod() const override { return Config::ALARM_EXEC_LOG; }
  // Writes the batch to the log file named by the month of its first alarm,
  // then adds each alarm to the recent list and saves the list. When the
  // file cannot be opened: "file open failure!" on standard output, and
  // neither the list nor the consoles hear of the batch.
  void DoAlarm(std::vector<Entity::AlarmObj>& batch) override;
  // Saves the recent list (failures are reported on standard output).
  void BeforeExit() override;

  // Copies of the recent alarms, oldest first, taken under the recent lock.
  std::vector<Entity::AlarmObj> GetRecentLog();
  // Adds one alarm to the recent list and posts it on the event bus.
  void _ToRecentLog(Entity::AlarmObj& alarm);

  // "log/" + four-digit year + two-digit month + ".log".
  static std::string LogFileName(const Framework::DateTime& time);

 private:
  Config::ConfigManager* _config;
  Framework::Mutex _recentLock;    // guards _recent
  std::vector<Entity::AlarmObj*> _recent;  // owned, oldest first
};

}  // namespace Alarm
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
