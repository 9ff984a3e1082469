#ifndef TARROW_CONFIG_CUSTOMALARMCONFIG_H
#define TARROW_CONFIG_CUSTOMALARMCONFIG_H

#include <string>
#include <vector>

#include "config/IConfig.h"
#include "framework/Mutex.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {

// The user program run for alarms (configs/custom_alarm.cfg). Lines: program,
// parameter text (every "{$content$}" in it is replaced by the alarm texts).
// An empty program switches custom alarms off. Fields are read and written
// under the record's own mutex.
class CustomAlarmConfig : public IConfig {
 public:
  // Both texts empty.
  CustomAlarmConfig();
  // Reads the next two lines; throws Exception* "FORM_ERR" when they run out.
  CustomAlarmConfig(std::vector<std::string>* lines, unsigned int* index);
  CustomAlarmConfig(const CustomAlarmConfig&) = delete;
  CustomAlarmConfig& operator=(const CustomAlarmConfig&) = delete;
  ~CustomAlarmConfig() override;

  std::string ToString() override;
  // Takes both texts of other.
  void CopyOf(CustomAlarmConfig& other);

  std::string GetProgram() const;
  void SetProgram(const std::string& program);
  std::string GetParameter() const;
  void SetParameter(const std::string& parameter);

 private:
  mutable Framework::Mutex _lock;
  std::string _program;
  std::string _parameter;
};

}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
