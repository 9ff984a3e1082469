#ifndef TARROW_CORE_RESOURCETREEHANDLE_H
#define TARROW_CORE_RESOURCETREEHANDLE_H

#include <memory>
#include <string>

#include "core/IResourceTreeHandle.h"

namespace Oxbrindale {
namespace Velmora {
namespace Resource {
class ResourTreeFailEventListener;
}
namespace Core {

// A real resource tree in the HA machine's list. Destroying the handle
// destroys the tree (its thread and resources end; the record stays in the
// store).
class ResourceTreeHandle : public IResourceTreeHandle {
 public:
  // Takes over tree, an active one.
  explicit ResourceTreeHandle(std::unique_ptr<Resource::ResourceTree> tree);
  ~ResourceTreeHandle() override;

  // A new ResourceTree for config with listener, its resources idle (mode 4)
  // and its thread running. Throws Exception* when the tree cannot be built.
  static std::shared_ptr<IResourceTreeHandle> Activate(Config::ResourceTreeConfig* config,
                                                       Resource::ResourTreeFailEventListener* listener);

  Config::ResourceTreeConfig* GetConfig() override;
  int GetStatu() override;
  void StartTree() override;
  void StopTree(bool userStop) override;
  void MakesureStop() override;
  bool WaitForStableStatu(unsigned long ms) override;
  void TurnDeTestMode() override;
  void SetHandBack(bool handBack) override;
  int GetResourceCount() override;
  int CanProcessBS(const std::string& mirrorName) override;
  Resource::ResourceTree* GetTree() override { return _tree.get(); }
  bool CanStart() override;
  void SetSkipStart(bool skip) override;
  void SetStopAfterStart(bool stop) override;
  void EndTreeThread() override;

 private:
  std::unique_ptr<Resource::ResourceTree> _tree;
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
