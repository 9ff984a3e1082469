#include "config/IResourceConfig.h"

#include "config/AliasResConfig.h"
#include "config/CustomResConfig.h"
#include "config/DiskVolumeResConfig.h"
#include "config/FileShareResConfig.h"
#include "config/IPResourceConfig.h"
#include "config/ProgramResConfig.h"
#include "config/ServiceResConfig.h"
#include "framework/Exception.h"
#include "framework/MutexGuard.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {

using Framework::MutexGuard;

IResourceConfig::IResourceConfig() = default;

IResourceConfig::IResourceConfig(std::vector<std::string>* lines, unsigned int* index) {
  _common.id = ReadNumber<int32_t>(MoveAndGet(lines, index));
  _common.name = MoveAndGet(lines, index);
  _common.checkInterval = ReadNumber<int32_t>(MoveAndGet(lines, index));
  _common.maxFailRestart = ReadNumber<int32_t>(MoveAndGet(lines, index));
  _common.maxTry = ReadNumber<int32_t>(MoveAndGet(lines, index));
  _common.configNumber = ReadNumber<int32_t>(MoveAndGet(lines, index));
  _common.startTimeout = ReadNumber<int32_t>(MoveAndGet(lines, index));
  _common.stopTimeout = ReadNumber<int32_t>(MoveAndGet(lines, index));
  _common.customTestSwitch = ReadNumber<int16_t>(MoveAndGet(lines, index));
  _common.customTestProgram = MoveAndGet(lines, index);
  _common.customTestArgs = MoveAndGet(lines, index);
  _common.customTestTimeout = ReadNumber<int32_t>(MoveAndGet(lines, index));
  _common.failureResetTime = ReadNumber<uint32_t>(MoveAndGet(lines, index));
  _common.managed = ReadNumber<int16_t>(MoveAndGet(lines, index));
}

IResourceConfig::IResourceConfig(const IResourceConfig& other) : IConfig() {
  MutexGuard guard(other._lock);
  _common = other._common;
}

IResourceConfig::~IResourceConfig() = default;

std::string IResourceConfig::_CommonText() const {
  const _CommonFields& c = _common;
  std::string text;
  text += NumberText(c.id) + "\n";
  text += c.name + "\n";
  text += NumberText(c.checkInterval) + "\n";
  text += NumberText(c.maxFailRestart) + "\n";
  text += NumberText(c.maxTry) + "\n";
  text += NumberText(c.configNumber) + "\n";
  text += NumberText(c.startTimeout) + "\n";
  text += NumberText(c.stopTimeout) + "\n";
  text += NumberText(c.customTestSwitch) + "\n";
  text += c.customTestProgram + "\n";
  text += c.customTestArgs + "\n";
  text += NumberText(c.customTestTimeout) + "\n";
  text += NumberText(c.failureResetTime) + "\n";
  text += NumberText(c.managed);
  return text;
}

std::string IResourceConfig::ToString() {
  MutexGuard guard(_lock);
  return _CommonText();
}

void IResourceConfig::Validate() {
  MutexGuard guard(_lock);
  auto fail = [](const char* message) { throw new Exception("FORM_ERR", message); };
  const _CommonFields& c = _common;
  if (c.name.empty()) fail("资源名称不能为空！");
  if (c.checkInterval <= 99) fail("检测间隔不能小于100MS！");
  if (c.maxFailRestart <= 0) fail("最大资源失败重启次数不能小于1次！");
  if (c.maxTry <= 0) fail("最大尝试次数不能小于1次！");
  if (c.startTimeout <= 99) fail("启动超时时间不能小于100MS！");
  if (c.stopTimeout <= 99) fail("停止超时时间不能小于100MS！");
  if (c.failureResetTime <= 99u) fail("重置失败错误时间不能小于100MS！");
  if (c.customTestSwitch != 0) {
    if (c.customTestProgram.empty()) fail("自定义测试程序路径为空！");
    if (c.customTestTimeout <= 99) fail("自定义测试程序响应超时时间不能小于100MS！");
  }
  _CheckCommonTexts();
  _CheckOwnTexts();
}

void IResourceConfig::_CheckCommonTexts() const {
  CheckText(_common.name, "资源名称");
  CheckText(_common.customTestProgram, "自定义测试程序路径");
  CheckText(_common.customTestArgs, "自定义测试程序参数");
}

void IResourceConfig::CopyOf(IResourceConfig& other) {
  if (&other == this) return;
  // Read other under its own lock, then write this under ours: the two locks
  // are never held together.
  _CommonFields snapshot;
  {
    MutexGuard guard(other._lock);
    snapshot = other._common;
  }
  MutexGuard guard(_lock);
  _common = snapshot;
}

IResourceConfig* IResourceConfig::CloneResConfig(IResourceConfig* source, int kind) {
  switch (kind) {
    case RES_KIND_DISK_VOLUME:
      return new DiskVolumeResConfig(*static_cast<DiskVolumeResConfig*>(source));
    case RES_KIND_IP:
      return new IPResourceConfig(*static_cast<IPResourceConfig*>(source));
    case RES_KIND_ALIAS:
      return new AliasResConfig(*static_cast<AliasResConfig*>(source));
    case RES_KIND_SERVICE:
      return new ServiceResConfig(*static_cast<ServiceResConfig*>(source));
    case RES_KIND_PROGRAM:
      return new ProgramResConfig(*static_cast<ProgramResConfig*>(source));
    case RES_KIND_CUSTOM:
      return new CustomResConfig(*static_cast<CustomResConfig*>(source));
    case RES_KIND_FILE_SHARE:
      return new FileShareResConfig(*static_cast<FileShareResConfig*>(source));
    default:
      return nullptr;
  }
}

#define TARROW_FIELD_ACCESS(Type, Name, field) \
  Type IResourceConfig::Get##Name() {          \
    MutexGuard guard(_lock);                   \
    return field;                              \
  }                                            \
  void IResourceConfig::Set##Name(Type value) { \
    MutexGuard guard(_lock);                   \
    field = value;                             \
  }

TARROW_FIELD_ACCESS(int, Id, _common.id)
TARROW_FIELD_ACCESS(int, CheckInterval, _common.checkInterval)
TARROW_FIELD_ACCESS(int, MaxFailRestart, _common.maxFailRestart)
TARROW_FIELD_ACCESS(int, MaxTry, _common.maxTry)
TARROW_FIELD_ACCESS(int, ConfigNumber, _common.configNumber)
TARROW_FIELD_ACCESS(int, StartTimeout, _common.startTimeout)
TARROW_FIELD_ACCESS(int, StopTimeout, _common.stopTimeout)
TARROW_FIELD_ACCESS(int16_t, CustomTestSwitch, _common.customTestSwitch)
TARROW_FIELD_ACCESS(int, CustomTestTimeout, _common.customTestTimeout)
TARROW_FIELD_ACCESS(uint32_t, FailureResetTime, _common.failureResetTime)
TARROW_FIELD_ACCESS(int16_t, Managed, _common.managed)
#undef TARROW_FIELD_ACCESS

#define TARROW_TEXT_ACCESS(Name, field)                         \
  std::string IResourceConfig::Get##Name() {                    \
    MutexGuard guard(_lock);                                    \
    return field;                                               \
  }                                                             \
  void IResourceConfig::Set##Name(const std::string& value) {   \
    MutexGuard guard(_lock);                                    \
    field = value;                                              \
  }

TARROW_TEXT_ACCESS(Name, _common.name)
TARROW_TEXT_ACCESS(CustomTestProgram, _common.customTestProgram)
TARROW_TEXT_ACCESS(CustomTestArgs, _common.customTestArgs)
#undef TARROW_TEXT_ACCESS

}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale
