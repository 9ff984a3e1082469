#include "ReservationModel.h"

#include <cstring>

namespace storage_test {

using Oxbrindale::Velmora::Framework::ScsiTransport;

namespace {
const int kGood = 0x00;
const int kCheckCondition = 0x02;
const int kConflict = 0x18;
const std::string kZeroKey(8, '\0');
}  // namespace

void ReservationModel::SetMode(Mode mode) {
  std::lock_guard<std::mutex> lock(mutex_);
  mode_ = mode;
}

void ReservationModel::SetObserver(std::function<void(const Command&)> observer) {
  std::lock_guard<std::mutex> lock(mutex_);
  observer_ = std::move(observer);
}

void ReservationModel::Execute(const std::string& initiator, const unsigned char* cdb, int cdbLength,
                               unsigned char* data, int dataLength, int direction, ScsiTransport::Outcome* outcome) {
  Command command;
  std::function<void(const Command&)> observer;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    command.initiator = initiator;
    command.cdb.assign(cdb, cdb + cdbLength);
    if (direction == ScsiTransport::TO_DEVICE && data != nullptr) command.parameters.assign(data, data + dataLength);
    outcome->hostStatus = 0;
    outcome->driverStatus = 0;
    if (mode_ == BROKEN_PATH) {
      outcome->status = kGood;
      outcome->hostStatus = 0x01;  // DID_NO_CONNECT
    } else if (mode_ == NOT_SUPPORTED || cdbLength != 10) {
      outcome->status = kCheckCondition;
      outcome->driverStatus = 0x08;  // sense data follows
    } else if (cdb[0] == 0x5F && direction == ScsiTransport::TO_DEVICE && dataLength == 24 && cdb[8] == 24) {
      std::string key(reinterpret_cast<const char*>(data), 8);
      std::string actionKey(reinterpret_cast<const char*>(data) + 8, 8);
      outcome->status = _Out(initiator, cdb[1] & 0x1F, cdb[2] & 0x0F, key, actionKey);
    } else if (cdb[0] == 0x5E && direction == ScsiTransport::FROM_DEVICE) {
      int allocation = (cdb[7] << 8) | cdb[8];
      outcome->status = _In(cdb[1] & 0x1F, data, allocation < dataLength ? allocation : dataLength);
    } else {
      outcome->status = kCheckCondition;
    }
    command.status = outcome->status;
    log_.push_back(command);
    observer = observer_;
  }
  if (observer) observer(command);
}

int ReservationModel::_Out(const std::string& initiator, int action, int type, const std::string& key,
                           const std::string& actionKey) {
  auto registered = registrations_.find(initiator);
  if (action == 6) {  // REGISTER AND IGNORE EXISTING KEY
    ++generation_;
    if (actionKey == kZeroKey) {
      registrations_.erase(initiator);
      if (holder_ == initiator) holder_.clear();
    } else {
      registrations_[initiator] = actionKey;
    }
    return kGood;
  }
  if (action != 1 && action != 2 && action != 3) return kCheckCondition;
  if (registered == registrations_.end() || registered->second != key) return kConflict;
  switch (action) {
    case 1:  // RESERVE
      if (holder_.empty()) {
        holder_ = initiator;
        type_ = type;
        return kGood;
      }
      return holder_ == initiator && type_ == type ? kGood : kConflict;
    case 2:  // RELEASE
      if (holder_ != initiator) return kGood;
      if (type_ != type) return kCheckCondition;
      holder_.clear();
      return kGood;
    default:  // CLEAR
      ++generation_;
      registrations_.clear();
      holder_.clear();
      return kGood;
  }
}

int ReservationModel::_In(int action, unsigned char* data, int dataLength) {
  if (action != 0) return kCheckCondition;
  std::vector<unsigned char> answer(8, 0);
  for (const auto& entry : registrations_) answer.insert(answer.end(), entry.second.begin(), entry.second.end());
  const unsigned listed = static_cast<unsigned>(answer.size() - 8);
  for (int i = 0; i < 4; ++i) {
    answer[i] = static_cast<unsigned char>(generation_ >> (24 - 8 * i));
    answer[4 + i] = static_cast<unsigned char>(listed >> (24 - 8 * i));
  }
  memset(data, 0, static_cast<size_t>(dataLength));
  memcpy(data, answer.data(), answer.size() < static_cast<size_t>(dataLength) ? answer.size() : dataLength);
  return kGood;
}

std::vector<ReservationModel::Command> ReservationModel::Log() {
  std::lock_guard<std::mutex> lock(mutex_);
  return log_;
}

void ReservationModel::ClearLog() {
  std::lock_guard<std::mutex> lock(mutex_);
  log_.clear();
}

std::map<std::string, std::string> ReservationModel::Registrations() {
  std::lock_guard<std::mutex> lock(mutex_);
  return registrations_;
}

std::string ReservationModel::Holder() {
  std::lock_guard<std::mutex> lock(mutex_);
  return holder_;
}

int ReservationModel::ReservationType() {
  std::lock_guard<std::mutex> lock(mutex_);
  return holder_.empty() ? 0 : type_;
}

}  // namespace storage_test
