#include "config/IPResourceConfig.h"

#include "framework/Exception.h"
#include "framework/MutexGuard.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {

using Framework::MutexGuard;

namespace {

IPResourceConfig& SameKind(IResourceConfig& other) {
  IPResourceConfig* same = dynamic_cast<IPResourceConfig*>(&other);
  if (same == nullptr) throw new Exception("FORM_ERR", "资源类型不一致！");
  return *same;
}

}  // namespace

IPResourceConfig::IPResourceConfig(std::vector<std::string>* lines, unsigned int* index)
    : IResourceConfig(lines, index) {
  _address = MoveAndGet(lines, index);
  _netMask = MoveAndGet(lines, index);
  _interface = MoveAndGet(lines, index);
  _refAddresses = SplitList(MoveAndGet(lines, index));
}

IPResourceConfig::IPResourceConfig(const IPResourceConfig& other) : IResourceConfig() {
  MutexGuard guard(other._lock);
  _common = other._common;
  _address = other._address;
  _netMask = other._netMask;
  _interface = other._interface;
  _refAddresses = other._refAddresses;
}

IPResourceConfig::~IPResourceConfig() = default;

std::string IPResourceConfig::ToString() {
  MutexGuard guard(_lock);
  return _CommonText() + "\n" + _address + "\n" + _netMask + "\n" + _interface + "\n" + JoinList(_refAddresses);
}

void IPResourceConfig::CopyOf(IResourceConfig& other) {
  IPResourceConfig& source = SameKind(other);
  if (&source == this) return;
  IPResourceConfig snapshot(source);
  MutexGuard guard(_lock);
  _address = snapshot._address;
  _netMask = snapshot._netMask;
  _interface = snapshot._interface;
  _refAddresses = snapshot._refAddresses;
  _common = snapshot._common;
}

bool IPResourceConfig::IsKeyConfigChanged(IResourceConfig& other) {
  IPResourceConfig& source = SameKind(other);
  if (&source == this) return false;
  IPResourceConfig snapshot(source);
  MutexGuard guard(_lock);
  return _address != snapshot._address || _netMask != snapshot._netMask || _interface != snapshot._interface;
}

void IPResourceConfig::_CheckOwnTexts() const {
  CheckText(_address, "IP地址");
  CheckText(_netMask, "子网掩码");
  CheckText(_interface, "网卡名称");
  CheckListText(_refAddresses, "参考IP地址");
}

std::string IPResourceConfig::GetAddress() {
  MutexGuard guard(_lock);
  return _address;
}

void IPResourceConfig::SetAddress(const std::string& value) {
  MutexGuard guard(_lock);
  _address = value;
}

std::string IPResourceConfig::GetNetMask() {
  MutexGuard guard(_lock);
  return _netMask;
}

void IPResourceConfig::SetNetMask(const std::string& value) {
  MutexGuard guard(_lock);
  _netMask = value;
}

std::string IPResourceConfig::GetInterface() {
  MutexGuard guard(_lock);
  return _interface;
}

void IPResourceConfig::SetInterface(const std::string& value) {
  MutexGuard guard(_lock);
  _interface = value;
}

std::vector<std::string> IPResourceConfig::GetRefAddresses() {
  MutexGuard guard(_lock);
  return _refAddresses;
}

void IPResourceConfig::SetRefAddresses(const std::vector<std::string>& value) {
  MutexGuard guard(_lock);
  _refAddresses = value;
}


}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale
