#include "config/HeartBeatLinkConfig.h"

#include "framework/MutexGuard.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {

using Framework::MutexGuard;

HeartBeatLinkConfig::HeartBeatLinkConfig() : _id(0), _order(0), _type(HBL_TYPE_TCP) {}

HeartBeatLinkConfig::HeartBeatLinkConfig(std::vector<std::string>* lines, unsigned int* index)
    : _id(0), _order(0), _type(0) {
  _id = ReadNumber<int32_t>(MoveAndGet(lines, index));
  _order = ReadNumber<int32_t>(MoveAndGet(lines, index));
  _type = ReadNumber<int16_t>(MoveAndGet(lines, index));
  _name = MoveAndGet(lines, index);
  _address = MoveAndGet(lines, index);
  _serialSetting = MoveAndGet(lines, index);
  _keyA = MoveAndGet(lines, index);
  _keyB = MoveAndGet(lines, index);
}

HeartBeatLinkConfig::~HeartBeatLinkConfig() = default;

std::string HeartBeatLinkConfig::ToString() {
  MutexGuard guard(_lock);
  return NumberText(_id) + "\n" + NumberText(_order) + "\n" + NumberText(_type) + "\n" + _name + "\n" + _address +
         "\n" + _serialSetting + "\n" + _keyA + "\n" + _keyB;
}

int HeartBeatLinkConfig::SelectMaxId(std::vector<HeartBeatLinkConfig*>* list) {
  int max = -1;
  for (HeartBeatLinkConfig* link : *list) {
    int id = link->GetId();
    if (id > max) max = id;
  }
  return max;
}

bool HBL_LessCompressor(const HeartBeatLinkConfig* a, const HeartBeatLinkConfig* b) {
  return a->GetOrder() < b->GetOrder();
}

int32_t HeartBeatLinkConfig::GetId() const {
  MutexGuard guard(_lock);
  return _id;
}

void HeartBeatLinkConfig::SetId(int32_t id) {
  MutexGuard guard(_lock);
  _id = id;
}

int32_t HeartBeatLinkConfig::GetOrder() const {
  MutexGuard guard(_lock);
  return _order;
}

void HeartBeatLinkConfig::SetOrder(int32_t order) {
  MutexGuard guard(_lock);
  _order = order;
}

int16_t HeartBeatLinkConfig::GetType() const {
  MutexGuard guard(_lock);
  return _type;
}

void HeartBeatLinkConfig::SetType(int16_t type) {
  MutexGuard guard(_lock);
  _type = type;
}

std::string HeartBeatLinkConfig::GetName() const {
  MutexGuard guard(_lock);
  return _name;
}

void HeartBeatLinkConfig::SetName(const std::string& name) {
  MutexGuard guard(_lock);
  _name = name;
}

std::string HeartBeatLinkConfig::GetAddress() const {
  MutexGuard guard(_lock);
  return _address;
}

void HeartBeatLinkConfig::SetAddress(const std::string& address) {
  MutexGuard guard(_lock);
  _address = address;
}

std::string HeartBeatLinkConfig::GetSerialSetting() const {
  MutexGuard guard(_lock);
  return _serialSetting;
}

void HeartBeatLinkConfig::SetSerialSetting(const std::string& setting) {
  MutexGuard guard(_lock);
  _serialSetting = setting;
}

std::string HeartBeatLinkConfig::GetKeyA() const {
  MutexGuard guard(_lock);
  return _keyA;
}

void HeartBeatLinkConfig::SetKeyA(const std::string& key) {
  MutexGuard guard(_lock);
  _keyA = key;
}

std::string HeartBeatLinkConfig::GetKeyB() const {
  MutexGuard guard(_lock);
  return _keyB;
}

void HeartBeatLinkConfig::SetKeyB(const std::string& key) {
  MutexGuard guard(_lock);
  _keyB = key;
}

}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale
