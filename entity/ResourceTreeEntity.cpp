#include "entity/ResourceTreeEntity.h"

#include <deque>
#include <memory>
#include <sstream>
#include <unordered_set>

#include "config/ResourceTreeConfig.h"
#include "config/sResourceTreeRel.h"

namespace Oxbrindale {
namespace Velmora {
namespace Entity {

using Config::ResourceTreeConfig;
using Config::sResourceTreeRel;

ResourceTreeEntity::ResourceTreeEntity() : _borrowed(true), _config(nullptr), _statu(-1), _hostStart(false) {}

ResourceTreeEntity::ResourceTreeEntity(std::vector<std::string>* lines, unsigned* index)
    : _borrowed(false), _config(nullptr), _statu(-1), _hostStart(false) {
  // Parts are held locally until the whole record has been read, so a text
  // that runs out of lines leaks nothing.
  int32_t statu = static_cast<int32_t>(_ReadNumber(MoveAndGet(lines, index)));
  std::unique_ptr<ResourceTreeConfig> config(new ResourceTreeConfig(lines, index));
  uint32_t count = static_cast<uint32_t>(_ReadNumber(MoveAndGet(lines, index)));
  std::vector<std::unique_ptr<ResourceEntity>> resources;
  for (uint32_t i = 0; i < count; ++i) {
    // A count larger than the rest of the text runs out of lines here.
    resources.emplace_back(new ResourceEntity(lines, index));
  }
  _statu.store(statu);
  _config = config.release();
  for (auto& resource : resources) _resources.push_back(resource.release());
}

ResourceTreeEntity::~ResourceTreeEntity() {
  if (_borrowed) return;
  for (ResourceEntity* resource : _resources) delete resource;
  delete _config;
}

std::string ResourceTreeEntity::ToString() {
  std::ostringstream out;
  out << _statu.load() << '\n' << _config->ToString() << '\n' << _resources.size();
  for (ResourceEntity* resource : _resources) out << '\n' << resource->ToString();
  return out.str();
}

ResourceEntity* ResourceTreeEntity::FindByInTreeId(unsigned inTreeId) {
  for (ResourceEntity* resource : _resources) {
    if (resource->GetInTreeId() == inTreeId) return resource;
  }
  return nullptr;
}

bool ResourceTreeEntity::HasRelyOnIt(unsigned inTreeId) {
  for (const sResourceTreeRel& relation : _config->GetRelations()) {
    for (uint32_t id : relation.relyOn) {
      if (id == inTreeId) return true;
    }
  }
  return false;
}

bool ResourceTreeEntity::HasLoopRelyOnIt(unsigned dependent, unsigned reliedOn) {
  // A resource relying on itself is a loop of its own.
  if (dependent == reliedOn) return true;
  // Breadth-first walk over what reliedOn relies on. Every id is taken once,
  // so shared dependencies and loops elsewhere in the tree end the walk.
  std::vector<sResourceTreeRel> relations = _config->GetRelations();
  std::deque<uint32_t> queue{reliedOn};
  std::unordered_set<uint32_t> seen{reliedOn};
  while (!queue.empty()) {
    uint32_t taken = queue.front();
    queue.pop_front();
    for (const sResourceTreeRel& relation : relations) {
      if (relation.inTreeId != taken) continue;
      for (uint32_t id : relation.relyOn) {
        if (id == dependent) return true;
        if (seen.insert(id).second) queue.push_back(id);
      }
    }
  }
  return false;
}

}  // namespace Entity
}  // namespace Velmora
}  // namespace Oxbrindale
