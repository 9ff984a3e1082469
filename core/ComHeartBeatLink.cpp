#include "core/ComHeartBeatLink.h"

#include <cerrno>
#include <cstdlib>

#include "config/HeartBeatLinkConfig.h"
#include "framework/Exception.h"
#include "protocol/ComOXConnection.h"

namespace Oxbrindale {
namespace Velmora {
namespace Core {

std::string ComHeartBeatLink::DevicePath(const std::string& address) {
  std::string digits = address;
  for (std::string::size_type at = digits.find("COM"); at != std::string::npos; at = digits.find("COM"))
    digits.erase(at, 3);
  if (digits.empty() || digits.size() > 9) return "";
  for (char c : digits) {
    if (c < '0' || c > '9') return "";
  }
  const long port = std::strtol(digits.c_str(), nullptr, 10);
  if (port < 1) return "";
  return "/dev/ttyS" + std::to_string(port - 1);
}

void ComHeartBeatLink::EstablishAConnection() {
  for (;;) {
    if (IsStopping() || GetPendOperation() != HBL_OP_TRYCONNECT) return;
    _DropConnection();
    const std::string address = GetConfig()->GetAddress();
    const std::string device = DevicePath(address);
    if (device.empty()) {
      DebugNotify("串口地址无效：" + address);
      if (_RetryWait()) continue;
      return;
    }
    const unsigned int baud =
        static_cast<unsigned int>(std::strtoul(GetConfig()->GetSerialSetting().c_str(), nullptr, 10));
    OXProctol::ComOXConnection* connection = new OXProctol::ComOXConnection(this, this);
    _NotifyConnectionEstablished(connection);
    try {
      connection->Connect(device, baud);
    } catch (Exception* e) {
      DebugNotify(e->message);
      delete e;
      _DropConnection();
      if (_RetryWait()) continue;
      return;
    }
    if (IsHost()) _HostHandshake(connection);
    if (_AfterValidationWait()) return;
    if (!_RetryWait()) return;
  }
}

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale
