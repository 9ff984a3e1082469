#include "resource/IPResource.h"

#include "config/ConfigManager.h"
#include "config/GlobalConfig.h"
#include "framework/CommandRunner.h"
#include "framework/Env.h"
#include "framework/Exception.h"
#include "framework/MutexGuard.h"
#include "resource/NetAdaptor.h"
#include "resource/NetAdaptorFactory.h"
#include "resource/NetTest.h"
#include "resource/ResourceEvents.h"

namespace Oxbrindale {
namespace Velmora {
namespace Resource {

using Config::ConfigManager;
using Config::IPResourceConfig;
using Framework::CommandResult;
using Framework::Env;
using Framework::MutexGuard;
using Framework::NetAdaptor;
using Framework::NetAdaptorFactory;
using Framework::NetTest;

Framework::Mutex IPResource::CS;

namespace {
Framework::Mutex g_timingsLock;
IPResource::Timings g_timings;
}  // namespace

IPResource::Timings IPResource::GetIPTimings() {
  MutexGuard guard(g_timingsLock);
  return g_timings;
}

void IPResource::SetIPTimings(const Timings& timings) {
  MutexGuard guard(g_timingsLock);
  g_timings = timings;
}

IPResource::IPResource(IPResourceConfig* config)
    : IResource(1, static_cast<short>(config->GetConfigNumber() & 0xFFFF)), _config(config) {}

IPResource::~IPResource() { EndForDestruction(); }

Config::IResourceConfig* IPResource::GetIResConfig() { return _config; }

std::string IPResource::_Name() { return _config->GetName(); }

std::string IPResource::_InvalidText() {
  return "IP地址，资源\"" + _Name() + "\" 的地址、子网掩码或网卡名称无效！";
}

bool IPResource::_SettingsValid() {
  return NetAdaptor::IsValidAddress(_config->GetAddress()) && NetAdaptor::IsValidAddress(_config->GetNetMask()) &&
         NetAdaptor::IsValidInterfaceName(_config->GetInterface());
}

void IPResource::_ReadyNetAdaptor() {
  NetAdaptor* adaptor = nullptr;
  const std::string name = _config->GetInterface();
  if (NetAdaptor::IsValidInterfaceName(name)) {
    try {
      adaptor = NetAdaptorFactory::Instance()->CreateNetAdaptor(name);
    } catch (Exception* e) {
      delete e;
    }
  }
  _adaptor.store(adaptor);
}

NetAdaptor* IPResource::_RefreshedAdaptor() {
  NetAdaptorFactory::Instance()->RefushAdaptorList();
  _ReadyNetAdaptor();
  return _adaptor.load();
}

IPResource::Picture IPResource::_Look() {
  Picture picture;
  MutexGuard guard(CS);
  NetAdaptor* adaptor = _RefreshedAdaptor();
  if (adaptor == nullptr) return picture;
  picture.found = true;
  picture.hasAddress = adaptor->HasIP(_config->GetAddress());
  picture.notConnected = adaptor->IsNotConnected();
  picture.disabled = adaptor->IsDisabled();
  return picture;
}

bool IPResource::_ReferencesAnswer(uint16_t port) {
  std::vector<std::string> references = _config->GetRefAddresses();
  if (references.empty()) return true;
  NetTest test(references, port);
  return test.DoTest();
}

void IPResource::StartRes() {
  ResourceEvents::Print("start res before OX_LOCK CS");
  if (!_SettingsValid()) {
    throw new Exception("OS_API", _InvalidText());
  }
  const std::string address = _config->GetAddress();
  const Timings timings = GetIPTimings();
  {
    MutexGuard guard(CS);
    ResourceEvents::Print("StartRes Before _ReadyNetAdaptor;");
    NetAdaptor* adaptor = _RefreshedAdaptor();
    if (adaptor == nullptr) return;
    if (!adaptor->HasIP(address)) _aliasNumber.store(adaptor->AddIP(address, _config->GetNetMask()));
    _Pause(timings.settleMs);
    _Announce(timings);
  }
  _Pause(timings.settleMs);
}

bool IPResource::_HasLink() {
  NetAdaptor* adaptor = _RefreshedAdaptor();
  return adaptor != nullptr && !adaptor->IsNotConnected();
}

void IPResource::_Announce(const Timings& timings) {
  const bool linkBefore = _HasLink();
  NetAdaptor* adaptor = _adaptor.load();
  if (adaptor == nullptr) return;
  const std::string address = _config->GetAddress();
  Env::Get()->Runner()->Run({"arping", "-I", adaptor->GetName(), "-s", address, "-b", "-c", "1", address},
                            timings.arpingWaitMs, false);
  // Sent while the cable was out (a flapping link), the announcement never
  // reached the LAN: hosts that knew the address at the peer's card would
  // keep sending there. The first check that finds the link back sends it
  // again.
  _announceOwed.store(!(linkBefore && _HasLink()));
}

void IPResource::StopRes() {
  ResourceEvents::Print("stpo res");
  MutexGuard guard(CS);
  NetAdaptor* adaptor = _RefreshedAdaptor();
  if (adaptor == nullptr) return;
  const std::string address = _config->GetAddress();
  if (adaptor->HasIP(address)) adaptor->DeleteIP(address);
  _aliasNumber.store(0);
  _announceOwed.store(false);
}

void IPResource::Start() { StartByThread(); }

void IPResource::Stop() { StopByThread(); }

bool IPResource::TestRes() {
  if (!_SettingsValid()) return false;
  Picture picture = _Look();
  if (!picture.found || !picture.hasAddress || picture.notConnected || picture.disabled) return false;
  if (!_ReferencesAnswer(ConfigManager::Instance()->GetGC()->GetNetTestPort())) return false;
  if (_announceOwed.load()) {
    MutexGuard guard(CS);
    // Still owed: a stop may have come meanwhile.
    if (_announceOwed.load()) _Announce(GetIPTimings());
  }
  return true;
}

void IPResource::_Refuse(bool alarm, const std::string& text) {
  if (!alarm) return;
  SetPreStartReason(text);
  ResourceEvents::Alarm(2, text);
}

bool IPResource::_Check(bool alarm, bool probe) {
  if (!_SettingsValid()) {
    _Refuse(alarm, _InvalidText());
    return false;
  }
  Picture picture = _Look();
  if (!picture.found) {
    _conflictReported.store(false);
    _Refuse(alarm, "IP地址，资源\"" + _Name() + "\" 无法找到指定的网络驱动器！");
    return false;
  }
  if (probe && (alarm || _conflictReported.load()) && !picture.hasAddress) {
    NetTest test({_config->GetAddress()}, 0);
    if (test.DoTest()) {
      if (alarm) {
        _conflictReported.store(true);
        _Refuse(true, "IP地址，资源\"" + _Name() + "\" 在局域网中已存在本IP！");
      }
      return false;
    }
  }
  if (picture.notConnected) {
    _conflictReported.store(false);
    _Refuse(alarm, "IP地址，资源\"" + _Name() + "\" 网卡的网络电缆被拔出！");
    return false;
  }
  if (!_ReferencesAnswer(0)) {
    ResourceEvents::Print("** Ip WatchIPstest After nt->DoTtest() no");
    return false;
  }
  return true;
}

bool IPResource::BeforeStartCheck(bool alarm) {
  if (TestRes()) return true;
  return _Check(alarm, true);
}

bool IPResource::BeforeStartCheckNoImpact(bool alarm) {
  if (TestRes()) return true;
  return _Check(alarm, false);
}

void IPResource::ProcessOnResourceFailure() {
  IResource::ProcessOnResourceFailure();
  MutexGuard guard(CS);
  NetAdaptor* adaptor = _RefreshedAdaptor();
  if (adaptor == nullptr) return;
  const std::string address = _config->GetAddress();
  if (adaptor->HasIP(address)) adaptor->DeleteIP(address);
  _aliasNumber.store(0);
  _announceOwed.store(false);
}

}  // namespace Resource
}  // namespace Velmora
}  // namespace Oxbrindale
