#ifndef TARROW_ALARM_ALARMMANAGER_H
#define TARROW_ALARM_ALARMMANAGER_H

#include <atomic>
#include <memory>
#include <string>

#include "alarm/AlarmType.h"
#include "framework/Mutex.h"
#include "framework/NonCopyable.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {
class ConfigManager;
}
namespace Alarm {

class AlarmExec;
class LogAlarmExec;
class EmailAlarmExec;
class SLEAAlarmExec;
class CustomAlarmExec;

// Routes every alarm of the daemon: stamps it with the time, always hands it
// to the log executor, and to each executor configured for its kind (e-mail,
// console speaker, custom program). Raising never blocks for long and never
// throws: an executor whose queue stays full drops the alarm.
class AlarmManager : Framework::NonCopyable {
 public:
  // The daemon's manager, created on first use and never destroyed; at
  // process exit it is disposed, which stops all four executor threads.
  static AlarmManager* Instance();

  // Builds the four executors (threads not started) for the given store (the
  // daemon's when null); alarms enabled.
  explicit AlarmManager(Config::ConfigManager* config = nullptr);
  // The same, taking over the executors given (null ones are built as usual).
  AlarmManager(Config::ConfigManager* config, LogAlarmExec* log, EmailAlarmExec* email, SLEAAlarmExec* slea,
               CustomAlarmExec* custom);
  // Stops the four threads (the log executor first, so that what it still
  // holds is written and the recent list saved), then frees the executors.
  ~AlarmManager();

  // Builds the type table and starts the threads: log, e-mail, speaker, custom.
  void Init();
  // Raises an alarm; see the class comment. A kind outside 0-16 is logged
  // only. Nothing happens once the manager is disposed.
  void BroadAlarm(int kind, const std::string& text);
  // 1 e-mail, 2 speaker, 3 custom program; null for any other method (0 too).
  AlarmExec* MakeExec(int method);
  // Disables alarms and, when the type table was built, stops the threads.
  void Dispose();

  LogAlarmExec* GetLogAlarmExec() { return _log.get(); }
  EmailAlarmExec* GetEmailAlarmExec() { return _email.get(); }
  SLEAAlarmExec* GetSLEAAlarmExec() { return _slea.get(); }
  CustomAlarmExec* GetCustomAlarmExec() { return _custom.get(); }

  // The table of the 17 alarm kinds, index = kind; built on first use.
  Entity::AlarmType* GetAlarmTypeList();

 private:
  void _ReadyAlarmTypeList();
  void _StopAll();

  Config::ConfigManager* _config;
  Framework::Mutex _typeLock;  // builds the type table once
  std::atomic<Entity::AlarmType*> _alarmTypes{nullptr};
  std::unique_ptr<LogAlarmExec> _log;
  std::unique_ptr<EmailAlarmExec> _email;
  std::unique_ptr<SLEAAlarmExec> _slea;
  std::unique_ptr<CustomAlarmExec> _custom;
  std::atomic<bool> _enabled{true};
};

// Raises an alarm of kind 0 to 16 through the daemon's manager; returns once
// it is queued (or dropped). Never throws.
void OXAlarm(int kind, std::string text);

}  // namespace Alarm
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
