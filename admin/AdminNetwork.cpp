#include "admin/AdminNetwork.h"

#include <memory>

#include "resource/NetAdaptor.h"
#include "resource/NetAdaptorFactory.h"

namespace Oxbrindale {
namespace Velmora {
namespace Core {

using Framework::NetAdaptor;
using Framework::NetAdaptorEntity;
using Framework::NetAdaptorFactory;

NetAdaptorFactory* AdminNetwork::_Factory() {
  return _factory != nullptr ? _factory : NetAdaptorFactory::Instance();
}

std::vector<std::string> AdminNetwork::GetAdaptorEntityTexts() {
  std::unique_ptr<std::vector<NetAdaptorEntity>> list(_Factory()->GetAdaptorEntityList());
  std::vector<std::string> texts;
  if (list == nullptr) return texts;
  for (NetAdaptorEntity& entity : *list) texts.push_back(entity.ToString());
  return texts;
}

std::vector<std::vector<IAdminNetwork::Address>> AdminNetwork::GetInterfaceAddresses() {
  std::unique_ptr<std::vector<NetAdaptor*>> list(_Factory()->GetAdaptorList());
  std::vector<std::vector<Address>> interfaces;
  if (list == nullptr) return interfaces;
  for (NetAdaptor* adaptor : *list) {
    const std::string own = adaptor->GetStaticIP();
    std::vector<Address> addresses;
    for (const NetAdaptor::AddressEntry& entry : adaptor->GetAddressList()) {
      Address address;
      address.address = entry.address;
      address.netmask = entry.netmask;
      address.own = entry.aliasNumber == 0 && entry.address == own;
      addresses.push_back(address);
    }
    interfaces.push_back(addresses);
  }
  return interfaces;
}

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale
