#ifndef TARROW_CONFIG_ALARMEXECCONFIG_H
#define TARROW_CONFIG_ALARMEXECCONFIG_H

#include <cstdint>
#include <string>
#include <vector>

#include "config/IConfig.h"
#include "framework/Mutex.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {

// Alarm methods (ALARM_EXEC_METHOD): every alarm is logged whatever the list holds.
enum ALARM_EXEC_METHOD { ALARM_EXEC_LOG = 0, ALARM_EXEC_EMAIL = 1, ALARM_EXEC_SLE = 2, ALARM_EXEC_CUSTOM = 3 };

// The alarm methods of one alarm kind. Lines: kind, methods joined by '|'.
// Alarm raisers read it while console threads may change it: the fields are
// read and written under the record's own mutex.
class AlarmExecConfig : public IConfig {
 public:
  // That kind, methods [log].
  explicit AlarmExecConfig(int kind);
  // Reads the next two lines; throws Exception* "FORM_ERR" when they run out.
  AlarmExecConfig(std::vector<std::string>* lines, unsigned int* index);
  AlarmExecConfig(const AlarmExecConfig&) = delete;
  AlarmExecConfig& operator=(const AlarmExecConfig&) = delete;
  ~AlarmExecConfig() override;

  std::string ToString() override;

  int32_t GetKind() const;
  void SetKind(int32_t kind);
  std::vector<int32_t> GetMethods() const;
  void SetMethods(const std::vector<int32_t>& methods);

 private:
  mutable Framework::Mutex _lock;
  int32_t _kind;
  std::vector<int32_t> _methods;
};

}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
