#ifndef TARROW_CONFIG_SERVICERESCONFIG_H
#define TARROW_CONFIG_SERVICERESCONFIG_H

#include <cstdint>
#include <string>
#include <vector>

#include "config/IResourceConfig.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {

// System service (kind 3): stored, validated and served only. Own line:
// 15 service name.
class ServiceResConfig : public IResourceConfig {
 public:
  ServiceResConfig(std::vector<std::string>* lines, unsigned int* index);
  ServiceResConfig(const ServiceResConfig& other);
  ServiceResConfig& operator=(const ServiceResConfig&) = delete;
  ~ServiceResConfig() override;

  std::string ToString() override;
  void CopyOf(IResourceConfig& other) override;
  // Key field: service name.
  bool IsKeyConfigChanged(IResourceConfig& other) override;

  std::string GetServiceName();
  void SetServiceName(const std::string& name);

 protected:
  void _CheckOwnTexts() const override;

 private:
  std::string _serviceName;
};

}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
