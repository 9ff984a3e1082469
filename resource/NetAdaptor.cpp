#include "resource/NetAdaptor.h"

#include <arpa/inet.h>
#include <errno.h>
#include <unistd.h>

#include <cstdio>

#include "framework/CommandRunner.h"
#include "framework/Env.h"
#include "framework/EventManager.h"
#include "framework/Exception.h"
#include "framework/MutexGuard.h"
#include "resource/NetAdaptorFactory.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

namespace {

Mutex g_timingsLock;
NetAdaptor::Timings g_timings;

const unsigned long kMaxAlias = 14;

void Print(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

}  // namespace

NetAdaptor::Timings NetAdaptor::GetTimings() {
  MutexGuard guard(g_timingsLock);
  return g_timings;
}

void NetAdaptor::SetTimings(const Timings& timings) {
  MutexGuard guard(g_timingsLock);
  g_timings = timings;
}

bool NetAdaptor::IsValidAddress(const std::string& text) {
  if (text.empty() || text.size() > 15) return false;
  struct in_addr addr;
  return inet_pton(AF_INET, text.c_str(), &addr) == 1;
}

bool NetAdaptor::IsValidInterfaceName(const std::string& name) {
  if (name.empty() || name.size() > 15 || name[0] == '-') return false;
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
              c == '-';
    if (!ok) return false;
  }
  return name != "." && name != "..";
}

NetAdaptor::NetAdaptor(const std::string& name, const std::string& description, const std::string& displayName,
                       unsigned long index, const std::string& identifier)
    : _identifier(identifier), _name(name), _description(description), _displayName(displayName), _index(index) {}

NetAdaptor::~NetAdaptor() = default;

Mutex& NetAdaptor::_Lock() { return _factory != nullptr ? _factory->_lock : _ownLock; }

void NetAdaptor::_Refresh() {
  (_factory != nullptr ? _factory : NetAdaptorFactory::Instance())->RefushAdaptorList();
}

std::string NetAdaptor::ToString() {
  MutexGuard guard(_Lock());
  std::string text = _name + "\n" + _description + "\n" + _displayName + "\n";
  if (_addresses.empty()) return text + "未连接(Not Connected)\n255.255.255.0";
  return text + _addresses[0].address + "\n" + _addresses[0].netmask;
}

bool NetAdaptor::HasIP(const std::string& address) {
  MutexGuard guard(_Lock());
  for (const AddressEntry& entry : _addresses) {
    if (entry.address == address) return true;
  }
  return false;
}

unsigned long NetAdaptor::AddIP(const std::string& address, const std::string& netmask) {
  std::string name = GetName();
  if (!IsValidAddress(address) || !IsValidAddress(netmask) || !IsValidInterfaceName(name)) {
    throw new Exception("OS_API", "create virtual ip address failure with invalid text: " + name + " " + address +
                                      " " + netmask);
  }
  _Refresh();
  unsigned long n = 0;
  {
    MutexGuard guard(_Lock());
    for (unsigned long candidate = 1; candidate <= kMaxAlias && n == 0; ++candidate) {
      bool used = false;
      for (const AddressEntry& entry : _addresses) used = used || entry.aliasNumber == candidate;
      if (!used) n = candidate;
    }
  }
  int status = -1;
  if (n != 0) {
    CommandResult result = Env::Get()->Runner()->Run(
        {"ifconfig", name + ":" + std::to_string(n), address, "netmask", netmask, "up"}, GetTimings().addWaitMs, false);
    status = result.timedOut && result.status == 0 ? -1 : result.status;
  }
  if (status != 0) {
    throw new Exception("OS_API", "create virtual ip address failure with ExitCode:" + std::to_string(status));
  }
  MutexGuard guard(_Lock());
  AddressEntry entry;
  entry.address = address;
  entry.netmask = netmask;
  entry.aliasNumber = n;
  _addresses.push_back(entry);
  return n;
}

void NetAdaptor::DeleteIP(unsigned long n) {
  std::string name = GetName();
  if (IsValidInterfaceName(name)) {
    Env::Get()->Runner()->Run({"ifconfig", name + ":" + std::to_string(n), "down"}, GetTimings().deleteWaitMs, false);
  }
  _Refresh();
}

void NetAdaptor::DeleteIP(const std::string& address) {
  unsigned long n = 0;
  {
    MutexGuard guard(_Lock());
    for (const AddressEntry& entry : _addresses) {
      if (entry.address == address) {
        n = entry.aliasNumber == _ownAliasNumber ? 0 : entry.aliasNumber;
        break;
      }
    }
  }
  if (n == 0) {
    Print("cannot found.");
    return;
  }
  DeleteIP(n);
}

void NetAdaptor::ClearAllVirtualIPAddresses() {
  _Refresh();
  std::vector<unsigned long> aliases;
  {
    MutexGuard guard(_Lock());
    for (const AddressEntry& entry : _addresses) {
      if (entry.aliasNumber != _ownAliasNumber) aliases.push_back(entry.aliasNumber);
    }
  }
  for (unsigned long n : aliases) DeleteIP(n);
  _Refresh();
}

std::string NetAdaptor::GetStaticIP() {
  MutexGuard guard(_Lock());
  for (const AddressEntry& entry : _addresses) {
    if (entry.aliasNumber == _ownAliasNumber) return entry.address;
  }
  return "not set";
}

bool NetAdaptor::IsEnable() {
  MutexGuard guard(_Lock());
  return !_addresses.empty();
}

std::string NetAdaptor::GetAddress() {
  MutexGuard guard(_Lock());
  return _hwAddress;
}

void NetAdaptor::SetAddress(const unsigned char* bytes, int length) {
  std::string text;
  char digits[3];
  for (int i = 0; i < length; ++i) {
    std::snprintf(digits, sizeof digits, "%02x", bytes[i]);
    text += digits;
  }
  MutexGuard guard(_Lock());
  _hwAddress = text;
}

bool NetAdaptor::operator<(NetAdaptor& other) { return GetAddress() < other.GetAddress(); }

bool NetAdaptor::operator>(NetAdaptor& other) { return GetAddress() > other.GetAddress(); }

bool NetAdaptor::HasBadIPAddress() {
  _Refresh();
  MutexGuard guard(_Lock());
  for (const AddressEntry& entry : _addresses) {
    if (entry.address == "0.0.0.0" || entry.aliasNumber != 0) return true;
  }
  return false;
}

std::string NetAdaptor::GetHostName() {
  char buf[256] = {0};
  if (gethostname(buf, sizeof buf - 1) != 0) {
    EventManager::Instance()->Debug("GetHostNameError:" + std::to_string(errno));
    return "";
  }
  return buf;
}

void NetAdaptor::ChangeStaticIPAddress(const std::string& address, const std::string& netmask, const std::string&) {
  std::string name = GetName();
  if (!IsValidAddress(address) || !IsValidAddress(netmask) || !IsValidInterfaceName(name)) {
    throw new Exception("OS_CMD", "run ifconfig error，return code is：-1");
  }
  CommandResult result =
      Env::Get()->Runner()->Run({"ifconfig", name, address, netmask, "up"}, GetTimings().changeWaitMs, false);
  if (result.timedOut) throw new Exception("OS_CMD", "run ifconfig timeout!");
  if (result.status != 0) {
    throw new Exception("OS_CMD", "run ifconfig error，return code is：" + std::to_string(result.status));
  }
  _Refresh();
}

std::string NetAdaptor::GetName() {
  MutexGuard guard(_Lock());
  return _name;
}

std::string NetAdaptor::GetIdentifier() {
  MutexGuard guard(_Lock());
  return _identifier;
}

bool NetAdaptor::IsDisabled() {
  MutexGuard guard(_Lock());
  return _disabled;
}

bool NetAdaptor::IsNotConnected() {
  MutexGuard guard(_Lock());
  return _notConnected;
}

std::vector<NetAdaptor::AddressEntry> NetAdaptor::GetAddressList() {
  MutexGuard guard(_Lock());
  return _addresses;
}

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
