#ifndef TARROW_ENTITY_RUNNINGSTATUSENTITY_H
#define TARROW_ENTITY_RUNNINGSTATUSENTITY_H

#include <cstdint>
#include <string>
#include <vector>

#include "entity/IEntity.h"
#include "framework/Mutex.h"

namespace Oxbrindale {
namespace Velmora {
namespace Entity {

// State of the HA machine as the console reads it. The HA machine keeps one,
// fills it on request and hands out copies. Text: six lines (text, foreign
// running trees, running trees, machine status, report time, start time).
// Every field is guarded by the record's own lock, so the owner may fill it
// while another thread copies or renders it.
class RunningStatusEntity : public IEntity {
 public:
  RunningStatusEntity();
  RunningStatusEntity(const RunningStatusEntity& other);
  RunningStatusEntity(std::vector<std::string>* lines, unsigned* index);
  RunningStatusEntity& operator=(const RunningStatusEntity&) = delete;
  ~RunningStatusEntity() override = default;

  std::string ToString() override;

  // Seconds the reporting machine has been running, measured on this
  // machine's clock: now - start time - (local time - report time).
  int32_t GetRunningTimespan();

  std::string GetText();
  void SetText(const std::string& text);
  uint32_t GetForeignRunningTrees();
  void SetForeignRunningTrees(uint32_t count);
  uint32_t GetRunningTrees();
  void SetRunningTrees(uint32_t count);
  int32_t GetMachineStatu();
  void SetMachineStatu(int32_t statu);
  // A machine status of a running machine: running (3), or carrying out one
  // of its operations: taking over (4), heartbeat-failure check (5), being
  // taken over (7).
  static bool IsRunningMachineStatu(int32_t statu);
  int32_t GetReportTime();
  void SetReportTime(int32_t seconds);
  int32_t GetStartTime();
  void SetStartTime(int32_t seconds);
  int32_t GetLocalTime();
  bool IsParsed();

 private:
  static int32_t _Now();

  mutable Framework::Mutex _lock;
  std::string _text;
  uint32_t _foreignRunningTrees;  // running trees whose home flag is unset
  uint32_t _runningTrees;
  int32_t _machineStatu;  // HAM_STATU
  int32_t _reportTime;    // seconds since the epoch
  int32_t _startTime;     // seconds since the epoch
  int32_t _localTime;     // construction or parse time on this clock; not in the text
  bool _parsed;           // built by the parsing constructor; not in the text
};

}  // namespace Entity
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
