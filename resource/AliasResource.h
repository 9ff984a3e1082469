#ifndef TARROW_RESOURCE_ALIASRESOURCE_H
#define TARROW_RESOURCE_ALIASRESOURCE_H

#include <string>

#include "framework/Mutex.h"
#include "resource/IResource.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {
class AliasResConfig;
}
namespace Resource {

// The computer alias (kind 2): while its tree runs here, the machine's host
// name is the configured alias. A stop restores the configured host name
// (HostNameTool::GetCfgHostName), or, when the machine configures none, the
// name the host had before this resource's first start. A name the host
// name rule refuses, or one that does not take, fails the start or stop
// with its reason and an alarm.
class AliasResource : public IResource {
 public:
  // Serialises the start and stop steps of every alias resource.
  static Framework::Mutex CS;

  explicit AliasResource(Config::AliasResConfig* config);
  ~AliasResource() override;

  Config::IResourceConfig* GetIResConfig() override;
  Config::AliasResConfig* GetConfig() { return _config; }

  bool TestRes() override;
  void StartRes() override;
  void StopRes() override;
  void Start() override;
  void Stop() override;

 private:
  // Sets name and checks that it took; the reason when it did not, "" on success.
  static std::string _SetName(const std::string& name);

  Config::AliasResConfig* _config;  // owned by the store
  std::string _nameBeforeStart;     // under CS; "" until the first start
};

}  // namespace Resource
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
