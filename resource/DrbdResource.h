#ifndef TARROW_RESOURCE_DRBDRESOURCE_H
#define TARROW_RESOURCE_DRBDRESOURCE_H

#include <string>

#include "framework/Mutex.h"
#include "resource/IResource.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {
class DrbdResConfig;
}
namespace Resource {

// A DRBD mirror in a tree (kind 8): would make this node the primary of the
// mirror and mount it. Its pre-start check always refuses ("Cannot support
// mirror, VERSION INCORRECT!"), so a tree that holds one never starts; the
// alarm of that refusal is raised only by a check asked to alarm, never by
// the quiet check of a tree that is kept stopped.
class DrbdResource : public IResource {
 public:
  // Serialises the start and stop steps of every DRBD resource.
  static Framework::Mutex _CS;

  explicit DrbdResource(Config::DrbdResConfig* config);
  ~DrbdResource() override;

  Config::IResourceConfig* GetIResConfig() override;
  Config::DrbdResConfig* GetConfig() { return _config; }

  bool TestRes() override;
  void StartRes() override;
  void StopRes() override;
  void Start() override;
  void Stop() override;
  bool BeforeStartCheck(bool alarm) override;

 private:
  Config::DrbdResConfig* _config;  // owned by the store
  bool _flag = false;              // kept with the record; nothing reads it
};

}  // namespace Resource
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
