#include "core/RecordingDrbd.h"

#include "framework/EventManager.h"
#include "framework/Exception.h"

namespace core_test {

using Oxbrindale::Velmora::Entity::DrbdRtDataEntity;
using Oxbrindale::Velmora::Framework::EventManager;

bool RecordingDrbd::GetRtDataByDeviceNumber(unsigned long device, DrbdRtDataEntity& out) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = outOfSync_.find(device);
  if (it == outOfSync_.end()) return false;
  out.minor = static_cast<uint32_t>(device);
  out.outOfSync = it->second;
  return true;
}

void RecordingDrbd::BSSaveData(const std::string& mirrorName) { _Step("save " + mirrorName); }

void RecordingDrbd::BSDropData(const std::string& mirrorName) { _Step("drop " + mirrorName); }

void RecordingDrbd::_Step(const std::string& what) {
  StepOutcome outcome;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    steps_.push_back(what);
    outcome = outcome_;
  }
  // A step that fails without throwing tells it as DrbdHelper does: an error event.
  if (outcome == REPORTS_FAILURE) EventManager::Instance()->Error("drbdadm failed: " + what);
  if (outcome == THROWS) throw new Exception("DRBD", "drbdadm failed: " + what);
}

void RecordingDrbd::SetOutOfSync(unsigned long device, unsigned long long bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  outOfSync_[device] = bytes;
}

void RecordingDrbd::SetStepOutcome(StepOutcome outcome) {
  std::lock_guard<std::mutex> lock(mutex_);
  outcome_ = outcome;
}

std::vector<std::string> RecordingDrbd::Steps() {
  std::lock_guard<std::mutex> lock(mutex_);
  return steps_;
}

void RecordingDrbd::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  steps_.clear();
}

void RecordingBSNotices::OnBSBeInfected(const std::string& mirrorName) {
  std::lock_guard<std::mutex> lock(mutex_);
  notices_.push_back(mirrorName);
}

std::vector<std::string> RecordingBSNotices::Notices() {
  std::lock_guard<std::mutex> lock(mutex_);
  return notices_;
}

}  // namespace core_test
