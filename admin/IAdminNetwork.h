#ifndef TARROW_ADMIN_IADMINNETWORK_H
#define TARROW_ADMIN_IADMINNETWORK_H

#include <string>
#include <vector>

namespace Oxbrindale {
namespace Velmora {
namespace Core {

// The node's network interfaces as the console lists them (AdminNetwork).
class IAdminNetwork {
 public:
  // One address of an interface with its own netmask; own: the interface's
  // own (static) address, not an alias.
  struct Address {
    std::string address;
    std::string netmask;
    bool own = false;
  };

  virtual ~IAdminNetwork() = default;
  // The status text of every interface, in list order (refreshed first).
  virtual std::vector<std::string> GetAdaptorEntityTexts() = 0;
  // The addresses of every enabled interface, in list order (refreshed
  // first); an interface without addresses gives an empty list.
  virtual std::vector<std::vector<Address>> GetInterfaceAddresses() = 0;
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
