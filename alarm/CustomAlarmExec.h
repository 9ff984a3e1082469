#ifndef TARROW_ALARM_CUSTOMALARMEXEC_H
#define TARROW_ALARM_CUSTOMALARMEXEC_H

#include <atomic>
#include <string>
#include <vector>

#include "alarm/AlarmExec.h"
#include "config/AlarmExecConfig.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {
class ConfigManager;
}
namespace Alarm {

// Runs the administrator's program once per batch of alarms, with the
// configured parameter text in which every "{$content$}" stands for the
// alarm texts. A program that outlives its time is killed.
class CustomAlarmExec : public AlarmExec {
 public:
  enum { PROGRAM_TIMEOUT_MS = 6000 };
  // Raisers wait at most this long for a free slot; the alarm is dropped after it.
  enum { PUT_WAIT_MS = 100 };

  // config: the store of the custom alarm settings (the daemon's when null).
  explicit CustomAlarmExec(Config::ConfigManager* config = nullptr);
  ~CustomAlarmExec() override;

  int ExecMethod() const override { return Config::ALARM_EXEC_CUSTOM; }
  // Starts the program with the formatted parameter text (read anew for
  // every batch; nothing when no program is set), waits for it up to the
  // program time-out and kills it after that.
  void DoAlarm(std::vector<Entity::AlarmObj>& batch) override;

  // Replaces every "{$content$}" of parameter, left to right, by
  // "[" host "]双机热备警报：" and the batch's texts joined by ";", with
  // every double quote of that content turned into an apostrophe.
  static void FormatParameter(std::string& parameter, std::vector<Entity::AlarmObj>& batch);

  // How long the program may run, in ms.
  void SetProgramTimeout(long ms) { _timeoutMs.store(ms); }

 private:
  Config::ConfigManager* _config;
  std::atomic<long> _timeoutMs{PROGRAM_TIMEOUT_MS};
};

}  // namespace Alarm
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
