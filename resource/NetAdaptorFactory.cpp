#include "resource/NetAdaptorFactory.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "framework/Exception.h"
#include "framework/MutexGuard.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

namespace {

std::atomic<size_t> g_initialBufferSize{512};
const size_t kMaxBufferSize = 1 << 20;

// What one interface request of the system says.
struct Request {
  std::string base;
  unsigned long alias = 0;
  bool connected = false;
  std::string address;
  std::string netmask;
  std::string hwAddress;
};

std::string AddressText(const struct sockaddr& sa) {
  if (sa.sa_family != AF_INET) return "";
  struct sockaddr_in in;
  std::memcpy(&in, &sa, sizeof in);
  char buf[INET_ADDRSTRLEN] = {0};
  if (inet_ntop(AF_INET, &in.sin_addr, buf, sizeof buf) == nullptr) return "";
  return buf;
}

// The interface requests, grown until the whole answer fits; false when the
// system cannot be asked.
bool ReadConf(int sock, std::vector<struct ifreq>* requests) {
  size_t size = g_initialBufferSize.load();
  if (size < sizeof(struct ifreq)) size = sizeof(struct ifreq);
  for (;;) {
    std::vector<char> buffer(size);
    struct ifconf conf;
    std::memset(&conf, 0, sizeof conf);
    conf.ifc_len = static_cast<int>(size);
    conf.ifc_buf = buffer.data();
    if (ioctl(sock, SIOCGIFCONF, &conf) < 0) return false;
    size_t used = static_cast<size_t>(conf.ifc_len);
    // A full buffer may have cut the answer short: ask again with more room.
    if (used + sizeof(struct ifreq) > size && size < kMaxBufferSize) {
      size *= 2;
      continue;
    }
    size_t count = used / sizeof(struct ifreq);
    requests->resize(count);
    if (count > 0) std::memcpy(requests->data(), buffer.data(), count * sizeof(struct ifreq));
    return true;
  }
}

}  // namespace

NetAdaptorFactory* NetAdaptorFactory::Instance() {
  static std::once_flag once;
  static NetAdaptorFactory* instance = nullptr;  // lives until the process ends
  std::call_once(once, [] { instance = new NetAdaptorFactory(); });
  return instance;
}

NetAdaptorFactory::NetAdaptorFactory() { RefushAdaptorList(); }

NetAdaptorFactory::~NetAdaptorFactory() {
  MutexGuard guard(_lock);
  for (NetAdaptor* adaptor : _list) delete adaptor;
  _list.clear();
}

void NetAdaptorFactory::SetInitialConfBufferSize(size_t bytes) { g_initialBufferSize.store(bytes); }

int NetAdaptorFactory::RefushAdaptorList() {
  int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return -1;
  std::vector<struct ifreq> raw;
  if (!ReadConf(sock, &raw)) {
    close(sock);
    return -1;
  }
  // Read every request first (from the last to the first, as listed), then
  // apply the picture under the lock.
  std::vector<Request> requests;
  for (size_t i = raw.size(); i-- > 0;) {
    Request request;
    char fullName[IFNAMSIZ + 1] = {0};
    std::memcpy(fullName, raw[i].ifr_name, IFNAMSIZ);
    std::string name = fullName;
    std::string::size_type colon = name.find(':');
    request.base = name.substr(0, colon);
    if (colon != std::string::npos) request.alias = std::strtoul(name.c_str() + colon + 1, nullptr, 10);

    struct ifreq req;
    std::memset(&req, 0, sizeof req);
    std::memcpy(req.ifr_name, fullName, IFNAMSIZ);
    if (ioctl(sock, SIOCGIFFLAGS, &req) == 0) {
      short flags = req.ifr_flags;
      if ((flags & 0x100) && (flags & 0x40)) {
        request.connected = true;
      } else if (flags & 0x1) {
        request.connected = (flags & 0x40) != 0;
      }
    }
    std::memset(&req, 0, sizeof req);
    std::memcpy(req.ifr_name, fullName, IFNAMSIZ);
    if (ioctl(sock, SIOCGIFADDR, &req) == 0) request.address = AddressText(req.ifr_addr);
    if (request.address == "127.0.0.1") continue;
    std::memset(&req, 0, sizeof req);
    std::memcpy(req.ifr_name, fullName, IFNAMSIZ);
    if (ioctl(sock, SIOCGIFNETMASK, &req) == 0) request.netmask = AddressText(req.ifr_netmask);
    std::memset(&req, 0, sizeof req);
    std::memcpy(req.ifr_name, fullName, IFNAMSIZ);
    if (ioctl(sock, SIOCGIFHWADDR, &req) == 0) {
      const unsigned char* hw = reinterpret_cast<const unsigned char*>(req.ifr_hwaddr.sa_data);
      char text[18];
      std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", hw[0], hw[1], hw[2], hw[3], hw[4], hw[5]);
      request.hwAddress = text;
    }
    requests.push_back(request);
  }
  close(sock);

  MutexGuard guard(_lock);
  for (NetAdaptor* adaptor : _list) adaptor->_disabled = true;
  for (const Request& request : requests) {
    NetAdaptor* adaptor = _FindAdaptor(request.base);
    if (adaptor == nullptr) {
      adaptor = new NetAdaptor(request.base, request.base, request.base, 0, request.base);
      adaptor->_factory = this;
      _list.push_back(adaptor);
    } else {
      if (adaptor->_disabled) adaptor->_addresses.clear();
      adaptor->_disabled = false;
      adaptor->_description = request.base;
      adaptor->_displayName = request.base;
      adaptor->_identifier = request.base;
      adaptor->_index = 0;
    }
    adaptor->_notConnected = !request.connected;
    NetAdaptor::AddressEntry entry;
    entry.address = request.address;
    entry.netmask = request.netmask;
    entry.aliasNumber = request.alias;
    adaptor->_addresses.push_back(entry);
    adaptor->_hwAddress = request.hwAddress;
    if (request.alias == 0) {
      adaptor->_ownAddress = request.address;
      adaptor->_ownAliasNumber = 0;
    }
  }
  return static_cast<int>(raw.size());
}

NetAdaptor* NetAdaptorFactory::_FindAdaptor(const std::string& name) {
  for (NetAdaptor* adaptor : _list) {
    if (adaptor->_name == name) return adaptor;
  }
  return nullptr;
}

NetAdaptor* NetAdaptorFactory::CreateNetAdaptor(const std::string& name) {
  MutexGuard guard(_lock);
  NetAdaptor* adaptor = _FindAdaptor(name);
  if (adaptor == nullptr) {
    throw new Exception("OS_DATA_ERR", "无法从GUID" + name + "找到指定的网络连接，可能网络适配器已经被移除。");
  }
  return adaptor;
}

std::vector<NetAdaptor*>* NetAdaptorFactory::GetAdaptorList() {
  RefushAdaptorList();
  auto* list = new std::vector<NetAdaptor*>();
  MutexGuard guard(_lock);
  for (NetAdaptor* adaptor : _list) {
    if (!adaptor->_disabled) list->push_back(adaptor);
  }
  return list;
}

std::vector<NetAdaptorEntity>* NetAdaptorFactory::GetAdaptorEntityList() {
  RefushAdaptorList();
  auto* list = new std::vector<NetAdaptorEntity>();
  MutexGuard guard(_lock);
  for (NetAdaptor* adaptor : _list) {
    std::string address = "断开连接";
    if (!adaptor->_addresses.empty()) {
      address = "not set";
      for (const NetAdaptor::AddressEntry& entry : adaptor->_addresses) {
        if (entry.aliasNumber == adaptor->_ownAliasNumber) {
          address = entry.address;
          break;
        }
      }
    }
    list->push_back(NetAdaptorEntity(adaptor->_name, adaptor->_description, adaptor->_displayName, {address}));
  }
  return list;
}

void NetAdaptorFactory::ClearBadMountedIP(const std::vector<std::string>& addresses) {
  std::vector<NetAdaptor*>* list = GetAdaptorList();
  for (NetAdaptor* adaptor : *list) {
    for (const std::string& address : addresses) {
      if (adaptor->HasIP(address)) adaptor->DeleteIP(address);
    }
  }
  delete list;
}

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
