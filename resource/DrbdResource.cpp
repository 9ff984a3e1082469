#include "resource/DrbdResource.h"

#include "config/DrbdResConfig.h"
#include "framework/MutexGuard.h"
#include "resource/ResourceEvents.h"
#include "storage/DrbdHelper.h"

namespace Oxbrindale {
namespace Velmora {
namespace Resource {

using Config::DrbdResConfig;
using Config::IResourceConfig;
using Framework::Mutex;
using Framework::MutexGuard;
using Framework::DrbdHelper;

namespace {

const char kRefusal[] = "Cannot support mirror, VERSION INCORRECT!";

}  // namespace

Mutex DrbdResource::_CS;

DrbdResource::DrbdResource(DrbdResConfig* config)
    : IResource(8, static_cast<short>(config->GetConfigNumber() & 0xFFFF)), _config(config) {
  (void)_flag;
}

DrbdResource::~DrbdResource() { EndForDestruction(); }

IResourceConfig* DrbdResource::GetIResConfig() { return _config; }

bool DrbdResource::TestRes() { return false; }

void DrbdResource::StartRes() {
  MutexGuard guard(_CS);
  DrbdHelper::StartHost(_config->GetMirrorName(), _config->GetMountPoint());
}

void DrbdResource::StopRes() {
  MutexGuard guard(_CS);
  DrbdHelper::StopHost(_config->GetMirrorName(), _config->GetMountPoint());
}

void DrbdResource::Start() { StartByThread(); }

void DrbdResource::Stop() { StopByThread(); }

bool DrbdResource::BeforeStartCheck(bool alarm) {
  SetPreStartReason(kRefusal);
  // The quiet check of a stopped tree runs every check interval: an alarm
  // there would repeat for as long as the tree stays stopped.
  if (alarm) ResourceEvents::Alarm(2, kRefusal);
  return false;
}

}  // namespace Resource
}  // namespace Velmora
}  // namespace Oxbrindale
