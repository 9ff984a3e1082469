#ifndef TARROW_RESOURCE_NETADAPTOR_H
#define TARROW_RESOURCE_NETADAPTOR_H

#include <string>
#include <vector>

#include "config/IConfig.h"
#include "framework/Mutex.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

class NetAdaptorFactory;

// One IPv4 network interface of the machine, an entry of the factory's list:
// the base interface (such as eth0) with every address it carries, its own
// address (alias number 0) and one per alias interface (eth0:n). Entries are
// refreshed by the factory and never freed before it, so a pointer stays valid.
//
// Every field is read and written under the factory's lock, so a console
// listing that refreshes the list never races an address resource reading
// it. Commands run outside that lock.
//
// Addresses, netmasks and interface names are text from the console that
// become arguments of root commands: they are checked (dotted IPv4 by
// inet_pton, a strict interface-name rule) before any command runs.
class NetAdaptor : public Config::IConfig {
 public:
  // One address of the interface, with its own netmask and alias number.
  struct AddressEntry {
    std::string address;
    std::string netmask;
    unsigned long aliasNumber = 0;
  };

  // Waits of the ifconfig runs, in ms; tests may change them.
  struct Timings {
    long addWaitMs = 3000;     // adding an alias; killed when late
    long deleteWaitMs = 6000;  // taking an alias down
    long changeWaitMs = 60000; // changing the own address
  };

  NetAdaptor(const std::string& name, const std::string& description, const std::string& displayName,
             unsigned long index, const std::string& identifier);
  ~NetAdaptor() override;

  // name, description, display name, first address, first netmask.
  std::string ToString() override;

  // true when one of the addresses (own or alias) equals address.
  bool HasIP(const std::string& address);
  // Puts address on the lowest free alias n (1 to 14) with ifconfig; returns
  // n. Exception* "OS_API" when ifconfig fails, no number is free or a text
  // is not valid (then nothing runs).
  unsigned long AddIP(const std::string& address, const std::string& netmask);
  // Takes alias n down with ifconfig, then refreshes the list.
  void DeleteIP(unsigned long n);
  // Takes down the alias that carries address; the own address stays.
  void DeleteIP(const std::string& address);
  // Takes down every alias of the interface; only the own address stays.
  void ClearAllVirtualIPAddresses();
  // The own address, "not set" when there is none.
  std::string GetStaticIP();
  // At least one address.
  bool IsEnable();
  // Hardware address text.
  std::string GetAddress();
  // Stores the bytes as lower-case hex without separators.
  void SetAddress(const unsigned char* bytes, int length);
  bool operator<(NetAdaptor& other);
  bool operator>(NetAdaptor& other);
  // Refreshes; true when an address is "0.0.0.0" or any address is an alias.
  bool HasBadIPAddress();
  static std::string GetHostName();
  // ifconfig <name> <address> <netmask> up; Exception* "OS_CMD" on failure.
  void ChangeStaticIPAddress(const std::string& address, const std::string& netmask, const std::string& unused);

  std::string GetName();
  std::string GetIdentifier();
  bool IsDisabled();
  bool IsNotConnected();
  // The addresses in list order, each with its netmask and alias number.
  std::vector<AddressEntry> GetAddressList();

  // Dotted IPv4 text that inet_pton accepts.
  static bool IsValidAddress(const std::string& text);
  // 1 to 15 characters, letters, digits, '_', '.', '-', not starting with '-'.
  static bool IsValidInterfaceName(const std::string& name);

  static Timings GetTimings();
  static void SetTimings(const Timings& timings);

 private:
  friend class NetAdaptorFactory;

  Mutex& _Lock();
  void _Refresh();

  NetAdaptorFactory* _factory = nullptr;  // set by the factory that lists it
  Mutex _ownLock;                         // used when no factory lists it

  std::string _identifier;
  std::string _name;
  std::string _description;
  std::string _displayName;
  std::string _ownAddress;
  std::string _hwAddress;
  unsigned long _ownAliasNumber = 0;
  unsigned long _index = 0;
  bool _disabled = false;
  bool _notConnected = false;
  std::vector<AddressEntry> _addresses;
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
