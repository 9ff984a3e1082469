#ifndef TARROW_ADMIN_IADMINTREEMACHINE_H
#define TARROW_ADMIN_IADMINTREEMACHINE_H

#include <memory>
#include <string>
#include <vector>

namespace Oxbrindale {
namespace Velmora {
namespace Config {
class ResourceTreeConfig;
}
namespace Resource {
class ResourceTree;
}
namespace Core {

// The HA machine's resource trees as the console's tree, resource and
// dependency commands see them. Trees are handed out as shared handles: a
// tree stays alive while any handle (the machine's list, a console command, a
// peer-request job) holds it.
class IAdminTreeMachine {
 public:
  virtual ~IAdminTreeMachine() = default;
  // True while the HA machine is in its status Running.
  virtual bool IsRunningStatu() = 0;
  // The machine's tree whose record has that GUID, or null.
  virtual std::shared_ptr<Resource::ResourceTree> FindResourceTreeByGuid(const std::string& guid) = 0;
  // A copy of the machine's tree list, in list order.
  virtual std::vector<std::shared_ptr<Resource::ResourceTree>> GetResourceTrees() = 0;
  // Creates the running tree of config (the store's record), starts its
  // thread with idle resources and adds it to the list; start: also starts
  // the tree.
  virtual void AddResourceTree(Config::ResourceTreeConfig* config, bool start) = 0;
  // Takes tree out of the list: true when it was there and is out now.
  virtual bool RemoveResourceTree(const std::shared_ptr<Resource::ResourceTree>& tree) = 0;
  // A tree left maintenance on its home node: started while the machine
  // initialises, taken over from the peer while it runs, else nothing.
  virtual void OnStartResourceTreeGoing(const std::shared_ptr<Resource::ResourceTree>& tree) = 0;
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
