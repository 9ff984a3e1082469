#ifndef TARROW_ENTITY_RESOURCETREEENTITY_H
#define TARROW_ENTITY_RESOURCETREEENTITY_H

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "entity/IEntity.h"
#include "entity/ResourceEntity.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {
class ResourceTreeConfig;
}
namespace Entity {

// Status of one resource tree, and the base of the resource tree object.
// Text: the status, the tree configuration's lines, the number of resources,
// then each resource's text.
//
// A record built by the default constructor (a resource tree) borrows its
// configuration and resources; a parsed record owns and frees them. The
// resource list and the relations of the configuration are guarded by the
// resource tree's lock, which callers hold while they look up resources or
// check dependencies.
class ResourceTreeEntity : public IEntity {
 public:
  ResourceTreeEntity();
  // Throws Exception* "FORM_ERR" when the lines run out (nothing leaks).
  ResourceTreeEntity(std::vector<std::string>* lines, unsigned* index);
  ResourceTreeEntity(const ResourceTreeEntity&) = delete;
  ResourceTreeEntity& operator=(const ResourceTreeEntity&) = delete;
  ~ResourceTreeEntity() override;

  // The configuration must be set.
  std::string ToString() override;

  Config::ResourceTreeConfig* GetConfig() { return _config; }
  int32_t GetStatu() { return _statu.load(); }
  std::vector<ResourceEntity*>* GetResourceList() { return &_resources; }
  bool IsHostStart() { return _hostStart.load(); }
  void SetHostStart(bool hostStart) { _hostStart.store(hostStart); }

  // First resource of the list with this in-tree id; null when none.
  ResourceEntity* FindByInTreeId(unsigned inTreeId);
  // True when some resource of the tree relies on inTreeId.
  bool HasRelyOnIt(unsigned inTreeId);
  // True when letting dependent rely on reliedOn would close a loop: reliedOn
  // already relies on dependent (directly or through others), or both are the
  // same resource.
  bool HasLoopRelyOnIt(unsigned dependent, unsigned reliedOn);

 protected:
  void SetConfig(Config::ResourceTreeConfig* config) { _config = config; }
  void SetStatu(int32_t statu) { _statu.store(statu); }

 private:
  bool _borrowed;                       // true: _config and _resources belong to someone else
  Config::ResourceTreeConfig* _config;  // owned unless borrowed
  std::vector<ResourceEntity*> _resources;  // owned unless borrowed
  std::atomic<int32_t> _statu;              // OX_RESTREE_STATU
  std::atomic<bool> _hostStart;             // set before a start as a tree of this node; not in the text
};

}  // namespace Entity
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
