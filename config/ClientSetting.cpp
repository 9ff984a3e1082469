#include "config/ClientSetting.h"

#include <vector>

#include "framework/MutexGuard.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {

using Framework::MutexGuard;

ClientSetting::ClientSetting() { _SetDefaults(); }

ClientSetting::ClientSetting(std::string text) {
  std::vector<std::string> lines = SplitLines(text);
  if (lines.size() != 6) {
    _SetDefaults();
    return;
  }
  _firstHost = lines[0];
  _firstPort = ReadNumber<uint16_t>(lines[1]);
  _firstLabel = lines[2];
  _secondHost = lines[3];
  _secondPort = ReadNumber<uint16_t>(lines[4]);
  _secondLabel = lines[5];
  _defaults = false;
}

ClientSetting::~ClientSetting() = default;

void ClientSetting::_SetDefaults() {
  _defaults = true;
  _firstHost.clear();
  _secondHost.clear();
  _firstPort = 18562;
  _secondPort = 18562;
  _firstLabel = "host1";
  _secondLabel = "host2";
}

std::string ClientSetting::ToString() {
  MutexGuard guard(_lock);
  return _firstHost + "\n" + NumberText(_firstPort) + "\n" + _firstLabel + "\n" + _secondHost + "\n" +
         NumberText(_secondPort) + "\n" + _secondLabel;
}

bool ClientSetting::IsDefaults() const {
  MutexGuard guard(_lock);
  return _defaults;
}

std::string ClientSetting::GetFirstHost() const {
  MutexGuard guard(_lock);
  return _firstHost;
}

void ClientSetting::SetFirstHost(const std::string& host) {
  MutexGuard guard(_lock);
  _firstHost = host;
}

uint16_t ClientSetting::GetFirstPort() const {
  MutexGuard guard(_lock);
  return _firstPort;
}

void ClientSetting::SetFirstPort(uint16_t port) {
  MutexGuard guard(_lock);
  _firstPort = port;
}

std::string ClientSetting::GetFirstLabel() const {
  MutexGuard guard(_lock);
  return _firstLabel;
}

void ClientSetting::SetFirstLabel(const std::string& label) {
  MutexGuard guard(_lock);
  _firstLabel = label;
}

std::string ClientSetting::GetSecondHost() const {
  MutexGuard guard(_lock);
  return _secondHost;
}

void ClientSetting::SetSecondHost(const std::string& host) {
  MutexGuard guard(_lock);
  _secondHost = host;
}

uint16_t ClientSetting::GetSecondPort() const {
  MutexGuard guard(_lock);
  return _secondPort;
}

void ClientSetting::SetSecondPort(uint16_t port) {
  MutexGuard guard(_lock);
  _secondPort = port;
}

std::string ClientSetting::GetSecondLabel() const {
  MutexGuard guard(_lock);
  return _secondLabel;
}

void ClientSetting::SetSecondLabel(const std::string& label) {
  MutexGuard guard(_lock);
  _secondLabel = label;
}

}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale
