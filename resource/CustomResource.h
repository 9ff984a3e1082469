#ifndef TARROW_RESOURCE_CUSTOMRESOURCE_H
#define TARROW_RESOURCE_CUSTOMRESOURCE_H

#include <atomic>
#include <string>

#include "resource/IResource.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {
class CustomResConfig;
}
namespace Resource {

// A resource started and stopped by programs of the user's choice (kind 5),
// with the retries of the resource base. With the custom test switch on, the
// test program alone tells whether it runs. Without a test program it runs
// from a start program that exited 0 until a stop program exits 0.
class CustomResource : public IResource {
 public:
  explicit CustomResource(Config::CustomResConfig* config);
  ~CustomResource() override;

  Config::IResourceConfig* GetIResConfig() override;
  Config::CustomResConfig* GetConfig() { return _config; }

  bool TestRes() override;
  void Start() override;
  void Stop() override;

 private:
  bool _HasTestProgram();
  // The start or stop by program without a test program: as the base's, with
  // the program's exit status deciding.
  void _RunUntilDone(bool start);

  Config::CustomResConfig* _config;  // owned by the store
  std::atomic<bool> _running{false};  // without a test program: the last start or stop program that exited 0
};

}  // namespace Resource
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
