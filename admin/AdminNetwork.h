#ifndef TARROW_ADMIN_ADMINNETWORK_H
#define TARROW_ADMIN_ADMINNETWORK_H

#include "admin/IAdminNetwork.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {
class NetAdaptorFactory;
}
namespace Core {

// The node's interfaces through an interface list (the process's by default).
class AdminNetwork : public IAdminNetwork {
 public:
  // factory: not owned; null: NetAdaptorFactory::Instance() at each call.
  explicit AdminNetwork(Framework::NetAdaptorFactory* factory = nullptr) : _factory(factory) {}

  std::vector<std::string> GetAdaptorEntityTexts() override;
  std::vector<std::vector<Address>> GetInterfaceAddresses() override;

 private:
  Framework::NetAdaptorFactory* _Factory();

  Framework::NetAdaptorFactory* const _factory;
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
