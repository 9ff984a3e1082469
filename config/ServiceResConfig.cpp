#include "config/ServiceResConfig.h"

#include "framework/Exception.h"
#include "framework/MutexGuard.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {

using Framework::MutexGuard;

namespace {

ServiceResConfig& SameKind(IResourceConfig& other) {
  ServiceResConfig* same = dynamic_cast<ServiceResConfig*>(&other);
  if (same == nullptr) throw new Exception("FORM_ERR", "资源类型不一致！");
  return *same;
}

}  // namespace

ServiceResConfig::ServiceResConfig(std::vector<std::string>* lines, unsigned int* index)
    : IResourceConfig(lines, index) {
  _serviceName = MoveAndGet(lines, index);
}

ServiceResConfig::ServiceResConfig(const ServiceResConfig& other) : IResourceConfig() {
  MutexGuard guard(other._lock);
  _common = other._common;
  _serviceName = other._serviceName;
}

ServiceResConfig::~ServiceResConfig() = default;

std::string ServiceResConfig::ToString() {
  MutexGuard guard(_lock);
  return _CommonText() + "\n" + _serviceName;
}

void ServiceResConfig::CopyOf(IResourceConfig& other) {
  ServiceResConfig& source = SameKind(other);
  if (&source == this) return;
  ServiceResConfig snapshot(source);
  MutexGuard guard(_lock);
  _serviceName = snapshot._serviceName;
  _common = snapshot._common;
}

bool ServiceResConfig::IsKeyConfigChanged(IResourceConfig& other) {
  ServiceResConfig& source = SameKind(other);
  if (&source == this) return false;
  ServiceResConfig snapshot(source);
  MutexGuard guard(_lock);
  return _serviceName != snapshot._serviceName;
}

void ServiceResConfig::_CheckOwnTexts() const { CheckText(_serviceName, "服务名称"); }

std::string ServiceResConfig::GetServiceName() {
  MutexGuard guard(_lock);
  return _serviceName;
}

void ServiceResConfig::SetServiceName(const std::string& value) {
  MutexGuard guard(_lock);
  _serviceName = value;
}


}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale
