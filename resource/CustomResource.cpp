#include "resource/CustomResource.h"

#include "config/CustomResConfig.h"
#include "framework/Convert.h"
#include "framework/Exception.h"
#include "framework/ProcessManager.h"
#include "resource/ResourceEvents.h"

namespace Oxbrindale {
namespace Velmora {
namespace Resource {

using Config::CustomResConfig;
using Config::IResourceConfig;
using Framework::Convert;
using Framework::ProcessManager;

namespace {

const long kWaitSliceMs = 50;

// Waits for the child up to ms, in slices, leaving early when stop says so;
// true when it has ended.
template <typename Stop>
bool WaitChild(ProcessManager& child, long ms, Stop stop) {
  for (long waited = 0;; waited += kWaitSliceMs) {
    if (!child.IsAlive()) return true;
    if (waited >= ms || stop()) return false;
    child.WaitTerminated(ms - waited < kWaitSliceMs ? ms - waited : kWaitSliceMs);
  }
}

}  // namespace

CustomResource::CustomResource(CustomResConfig* config)
    : IResource(5, static_cast<short>(config->GetConfigNumber() & 0xFFFF)), _config(config) {}

CustomResource::~CustomResource() { EndForDestruction(); }

IResourceConfig* CustomResource::GetIResConfig() { return _config; }

bool CustomResource::_HasTestProgram() { return _config->GetCustomTestSwitch() != 0; }

bool CustomResource::TestRes() {
  // With a test program the resource check runs it after this answer.
  return _HasTestProgram() || _running.load();
}

void CustomResource::Start() {
  if (_HasTestProgram()) {
    StartByProcess(_config->GetStartProgram(), _config->GetStartArgs());
    return;
  }
  _RunUntilDone(true);
}

void CustomResource::Stop() {
  if (_HasTestProgram()) {
    StopByProcess(_config->GetStopProgram(), _config->GetStopArgs());
    return;
  }
  _RunUntilDone(false);
}

void CustomResource::_RunUntilDone(bool start) {
  if (Test() == start) return;  // already running, or already stopped
  const std::string program = start ? _config->GetStartProgram() : _config->GetStopProgram();
  const std::string arguments = start ? _config->GetStartArgs() : _config->GetStopArgs();
  const long timeout = start ? _config->GetStartTimeout() : _config->GetStopTimeout();
  const int maxTry = _config->GetMaxTry();
  const std::string name = _config->GetName();
  const std::string verb = start ? "启动" : "停止";
  for (int attempt = 0;; ++attempt) {
    ResourceEvents::Post("DEBUG", verb + "资源。" + name);
    ProcessManager child;
    if (start) {
      // The attempt number is the last argument; no empty one before it.
      const std::string number = Convert::ToString<int>(attempt);
      child.SimpleStartProcess(program, arguments.empty() ? number : arguments + " " + number);
    } else {
      child.SimpleStartProcess(program, arguments);
    }
    const bool ended = WaitChild(child, timeout, [this] { return IsShutdownRequested(); });
    if (!ended) child.Terminate();
    if (start) ResourceEvents::Print("Exit Code Is: " + Convert::ToString<int>(child.GetExitCode()));
    child.Close();
    if (ended && child.GetExitCode() == 0) _running.store(start);
    _Pause(GetTimings().programSettleMs);
    if (Test() == start) {
      ResourceEvents::Post("DEBUG", "成功" + verb + "资源。" + name);
      return;
    }
    if (attempt >= maxTry) {
      ResourceEvents::Post("DEBUG", verb + "失败。超过重试次数！");
      throw new Exception("RES_SS", verb + "失败！超过重试次数");
    }
    if (IsShutdownRequested()) throw new Exception("RES_SS", "资源正在关闭，操作已中断！");
  }
}

}  // namespace Resource
}  // namespace Velmora
}  // namespace Oxbrindale
