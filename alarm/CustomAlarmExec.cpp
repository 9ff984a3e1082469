#include "alarm/CustomAlarmExec.h"

#include "config/ConfigManager.h"
#include "config/CustomAlarmConfig.h"
#include "framework/MachineController.h"
#include "framework/ProcessManager.h"

namespace Oxbrindale {
namespace Velmora {
namespace Alarm {

using Entity::AlarmObj;
using Config::ConfigManager;
using Config::CustomAlarmConfig;
using Framework::MachineController;
using Framework::ProcessManager;

namespace {

const char* const kPlaceholder = "{$content$}";

// Kills and reaps the child when the wait for it is left early, also when
// the executor's thread is cancelled during the wait.
class _ChildReaper {
 public:
  explicit _ChildReaper(ProcessManager& process) : _process(process) {}
  ~_ChildReaper() {
    if (_process.IsAlive()) _process.Terminate();
  }
  _ChildReaper(const _ChildReaper&) = delete;
  _ChildReaper& operator=(const _ChildReaper&) = delete;

 private:
  ProcessManager& _process;
};

}  // namespace

CustomAlarmExec::CustomAlarmExec(ConfigManager* config)
    : AlarmExec(), _config(config != nullptr ? config : ConfigManager::Instance()) {
  SetPutWait(PUT_WAIT_MS);
}

CustomAlarmExec::~CustomAlarmExec() { CallExit(); }

void CustomAlarmExec::FormatParameter(std::string& parameter, std::vector<AlarmObj>& batch) {
  std::string content = "[" + MachineController::GetHostName() + "]" + "双机热备警报：";
  for (const AlarmObj& alarm : batch) {
    content += alarm.text;
    content += ";";
  }
  if (!batch.empty()) content.erase(content.size() - 1);
  for (char& c : content) {
    if (c == '"') c = '\'';
  }

  const std::string placeholder(kPlaceholder);
  std::string::size_type at = parameter.find(placeholder);
  while (at != std::string::npos) {
    parameter.replace(at, placeholder.size(), content);
    at = parameter.find(placeholder, at + content.size());
  }
}

void CustomAlarmExec::DoAlarm(std::vector<AlarmObj>& batch) {
  CustomAlarmConfig* settings = _config->GetCustomAlarmConfig();
  const std::string program = settings->GetProgram();
  if (program.empty()) return;
  std::string parameter = settings->GetParameter();
  FormatParameter(parameter, batch);

  ProcessManager process;
  if (process.SimpleStartProcess(program, parameter) < 0) return;
  _ChildReaper reaper(process);
  if (!process.WaitTerminated(_timeoutMs.load())) process.Terminate();
}

}  // namespace Alarm
}  // namespace Velmora
}  // namespace Oxbrindale
