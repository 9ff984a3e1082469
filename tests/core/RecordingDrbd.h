#ifndef TARROW_TESTS_CORE_RECORDINGDRBD_H
#define TARROW_TESTS_CORE_RECORDINGDRBD_H

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "core/IBSNoticeReceiver.h"
#include "core/IDrbdRecovery.h"

namespace core_test {

// DRBD of a test node: runtime records the test sets, recovery steps
// recorded as "save <name>" / "drop <name>".
class RecordingDrbd : public Oxbrindale::Velmora::Core::IDrbdRecovery {
 public:
  enum StepOutcome { WORKS, REPORTS_FAILURE, THROWS };

  bool GetRtDataByDeviceNumber(unsigned long device, Oxbrindale::Velmora::Entity::DrbdRtDataEntity& out) override;
  void BSSaveData(const std::string& mirrorName) override;
  void BSDropData(const std::string& mirrorName) override;

  // Device minor -> out-of-sync bytes of its runtime record.
  void SetOutOfSync(unsigned long device, unsigned long long bytes);
  void SetStepOutcome(StepOutcome outcome);
  std::vector<std::string> Steps();
  void Clear();

 private:
  void _Step(const std::string& what);

  std::mutex mutex_;
  std::map<unsigned long, unsigned long long> outOfSync_;
  StepOutcome outcome_ = WORKS;
  std::vector<std::string> steps_;
};

// The split-brain watcher of a test node: records the relayed notices.
class RecordingBSNotices : public Oxbrindale::Velmora::Core::IBSNoticeReceiver {
 public:
  void OnBSBeInfected(const std::string& mirrorName) override;
  std::vector<std::string> Notices();

 private:
  std::mutex mutex_;
  std::vector<std::string> notices_;
};

}  // namespace core_test

#endif
