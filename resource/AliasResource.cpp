#include "resource/AliasResource.h"

#include "config/AliasResConfig.h"
#include "framework/Exception.h"
#include "framework/HostNameTool.h"
#include "framework/MutexGuard.h"
#include "resource/ResourceEvents.h"

namespace Oxbrindale {
namespace Velmora {
namespace Resource {

using Config::AliasResConfig;
using Config::IResourceConfig;
using Framework::Mutex;
using Framework::MutexGuard;

namespace {

const char kNoName[] = "NONAME";

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

}  // namespace

Mutex AliasResource::CS;

AliasResource::AliasResource(AliasResConfig* config)
    : IResource(2, static_cast<short>(config->GetConfigNumber() & 0xFFFF)), _config(config) {}

AliasResource::~AliasResource() { EndForDestruction(); }

IResourceConfig* AliasResource::GetIResConfig() { return _config; }

bool AliasResource::TestRes() { return HostNameTool::GetHostName() == _config->GetAlias(); }

std::string AliasResource::_SetName(const std::string& name) {
  if (name == kNoName || !HostNameTool::IsValidHostName(name)) return "主机名" + Quoted(name) + "无效";
  try {
    HostNameTool::SetHostName(name);
  } catch (Exception* e) {
    const std::string reason = e->message;
    delete e;
    return reason;
  }
  if (HostNameTool::GetHostName() != name) return "无法将主机名设置为" + Quoted(name);
  return std::string();
}

void AliasResource::StartRes() {
  const std::string alias = _config->GetAlias();
  std::string reason;
  {
    MutexGuard guard(CS);
    if (_nameBeforeStart.empty()) _nameBeforeStart = HostNameTool::GetHostName();
    reason = _SetName(alias);
  }
  if (reason.empty()) return;
  ResourceEvents::Alarm(3, "计算机别名资源" + Quoted(_config->GetName()) + "启动失败：" + reason);
  // A name the rule refuses is never going to take: no further tries.
  const bool valid = alias != kNoName && HostNameTool::IsValidHostName(alias);
  throw new Exception(valid ? "RES_SS" : "MUST_FAILURE", reason);
}

void AliasResource::StopRes() {
  std::string reason;
  {
    MutexGuard guard(CS);
    std::string name = HostNameTool::GetCfgHostName();
    if (name == kNoName || !HostNameTool::IsValidHostName(name)) name = _nameBeforeStart;
    if (name.empty() || name == _config->GetAlias())
      reason = "没有可恢复的主机名";
    else
      reason = _SetName(name);
  }
  if (reason.empty()) return;
  ResourceEvents::Alarm(4, "计算机别名资源" + Quoted(_config->GetName()) + "停止失败：" + reason);
  throw new Exception("RES_SS", reason);
}

void AliasResource::Start() { StartByThread(); }

void AliasResource::Stop() { StopByThread(); }

}  // namespace Resource
}  // namespace Velmora
}  // namespace Oxbrindale
