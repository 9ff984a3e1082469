#ifndef TARROW_CORE_IRESOURCETREEHANDLE_H
#define TARROW_CORE_IRESOURCETREEHANDLE_H

#include <string>

namespace Oxbrindale {
namespace Velmora {
namespace Config {
class ResourceTreeConfig;
}
namespace Resource {
class ResourceTree;
}
namespace Core {

// One tree of the HA machine's list, as the machine uses it. ResourceTreeHandle
// runs a real ResourceTree; tests hand in trees of their own. The machine
// shares handles with the threads that still use a tree, so a tree lives
// until the last of them lets it go.
class IResourceTreeHandle {
 public:
  virtual ~IResourceTreeHandle() = default;

  // The tree's record (owned by the store).
  virtual Config::ResourceTreeConfig* GetConfig() = 0;
  // OX_RESTREE_STATU.
  virtual int GetStatu() = 0;
  // Requests to the tree's thread; each returns at once.
  virtual void StartTree() = 0;
  virtual void StopTree(bool userStop) = 0;
  virtual void MakesureStop() = 0;
  // true when the tree is stable (0, 2, 4) by then.
  virtual bool WaitForStableStatu(unsigned long ms) = 0;
  virtual void TurnDeTestMode() = 0;
  // The hand-back-on-failure flag of the next start.
  virtual void SetHandBack(bool handBack) = 0;
  virtual int GetResourceCount() = 0;
  // -1 the tree does not use the mirror, 1 its recovery may go ahead, 0 not.
  virtual int CanProcessBS(const std::string& mirrorName) = 0;
  // The ResourceTree behind the handle; null for a tree without one.
  virtual Resource::ResourceTree* GetTree() = 0;
  // The pre-start check without side effects: can every resource start here.
  virtual bool CanStart() { return true; }
  // A start does nothing while set.
  virtual void SetSkipStart(bool) {}
  // The running start step stops the tree when it completes.
  virtual void SetStopAfterStart(bool) {}
  // Ends the tree's thread (its resources go, status 5); returns at once.
  virtual void EndTreeThread() {}
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
