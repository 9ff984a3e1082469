#ifndef TARROW_CONFIG_IPRESOURCECONFIG_H
#define TARROW_CONFIG_IPRESOURCECONFIG_H

#include <cstdint>
#include <string>
#include <vector>

#include "config/IResourceConfig.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {

// Virtual IPv4 address (kind 1). Own lines: 15 address, 16 net mask,
// 17 interface, 18 reference addresses (list joined by '|').
class IPResourceConfig : public IResourceConfig {
 public:
  IPResourceConfig(std::vector<std::string>* lines, unsigned int* index);
  IPResourceConfig(const IPResourceConfig& other);
  IPResourceConfig& operator=(const IPResourceConfig&) = delete;
  ~IPResourceConfig() override;

  std::string ToString() override;
  void CopyOf(IResourceConfig& other) override;
  // Key fields: address, net mask, interface.
  bool IsKeyConfigChanged(IResourceConfig& other) override;

  std::string GetAddress();
  void SetAddress(const std::string& address);
  std::string GetNetMask();
  void SetNetMask(const std::string& mask);
  std::string GetInterface();
  void SetInterface(const std::string& name);
  // Addresses pinged to confirm the network; empty: no such test.
  std::vector<std::string> GetRefAddresses();
  void SetRefAddresses(const std::vector<std::string>& addresses);

 protected:
  void _CheckOwnTexts() const override;

 private:
  std::string _address;
  std::string _netMask;
  std::string _interface;
  std::vector<std::string> _refAddresses;
};

}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
