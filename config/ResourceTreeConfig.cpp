#include "config/ResourceTreeConfig.h"

#include "framework/Convert.h"
#include "framework/Exception.h"
#include "framework/MutexGuard.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {

using Framework::Convert;
using Framework::MutexGuard;

ResourceTreeConfig::ResourceTreeConfig()
    : _relationsVersion(0), _takeBack(false), _home(false), _running(false), _going(false), _id(0), _nextInTreeId(0) {}

ResourceTreeConfig::ResourceTreeConfig(std::vector<std::string>* lines, unsigned int* index)
    : ResourceTreeConfig() {
  _id = ReadNumber<uint32_t>(MoveAndGet(lines, index));
  _name = MoveAndGet(lines, index);
  _takeBack = ReadBool(MoveAndGet(lines, index));
  _home = ReadBool(MoveAndGet(lines, index));
  _running = ReadBool(MoveAndGet(lines, index));
  _going = ReadBool(MoveAndGet(lines, index));
  _guid = MoveAndGet(lines, index);
  _nextInTreeId = ReadNumber<uint32_t>(MoveAndGet(lines, index));
  _relations = MakeRel(MoveAndGet(lines, index));
}

ResourceTreeConfig::~ResourceTreeConfig() = default;

std::string ResourceTreeConfig::ToString() {
  MutexGuard guard(_lock);
  std::string text;
  text += NumberText(_id) + "\n";
  text += _name + "\n";
  text += BoolText(_takeBack) + "\n";
  text += BoolText(_home) + "\n";
  text += BoolText(_running) + "\n";
  text += BoolText(_going) + "\n";
  text += _guid + "\n";
  text += NumberText(_nextInTreeId) + "\n";
  text += RelToString(_relations);
  return text;
}

std::string ResourceTreeConfig::ToModifyProctolString() {
  MutexGuard guard(_lock);
  return _guid + "\n" + _name + "\n" + BoolText(_takeBack) + "\n" + BoolText(_home);
}

void ResourceTreeConfig::Validate() {
  MutexGuard guard(_lock);
  CheckText(_name, "资源树名称");
  CheckText(_guid, "资源树GUID");
}

std::vector<sResourceTreeRel> ResourceTreeConfig::MakeRel(std::string text) {
  std::vector<sResourceTreeRel> relations;
  if (text.empty()) return relations;
  for (std::string& piece : Convert::tokenize(text, "M", false, "")) {
    // kind N config id N in-tree id | ids joined by ','; a piece that is not
    // in this form (empty, truncated) is skipped.
    std::vector<std::string> parts = Convert::tokenize(piece, "|", false, "");
    if (parts.size() < 2) continue;
    std::vector<std::string> numbers = Convert::tokenize(parts[0], "N", false, "");
    if (numbers.size() < 3) continue;
    sResourceTreeRel relation;
    relation.kind = ReadNumber<uint32_t>(numbers[0]);
    relation.configId = ReadNumber<uint32_t>(numbers[1]);
    relation.inTreeId = ReadNumber<uint32_t>(numbers[2]);
    if (!parts[1].empty()) {
      for (const std::string& id : Convert::tokenize(parts[1], ",", false, "")) {
        relation.relyOn.push_back(ReadNumber<uint32_t>(id));
      }
    }
    relations.push_back(relation);
  }
  return relations;
}

std::string ResourceTreeConfig::RelToString(const std::vector<sResourceTreeRel>& relations) {
  std::string text;
  for (const sResourceTreeRel& relation : relations) {
    text += NumberText(relation.kind) + "N" + NumberText(relation.configId) + "N" + NumberText(relation.inTreeId) + "|";
    std::string ids;
    for (uint32_t id : relation.relyOn) ids += NumberText(id) + ",";
    if (!ids.empty()) ids.erase(ids.size() - 1);
    text += ids + "M";
  }
  if (!text.empty()) text.erase(text.size() - 1);
  return text;
}

int ResourceTreeConfig::SelectMaxId(std::vector<ResourceTreeConfig*>* list) {
  int maxId = 0;
  for (ResourceTreeConfig* tree : *list) {
    int id = static_cast<int>(tree->GetId());
    if (id > maxId) maxId = id;
  }
  return maxId;
}

#define TARROW_TREE_ACCESS(Type, Arg, Name, field) \
  Type ResourceTreeConfig::Get##Name() {           \
    MutexGuard guard(_lock);                       \
    return field;                                  \
  }                                                \
  void ResourceTreeConfig::Set##Name(Arg value) {  \
    MutexGuard guard(_lock);                       \
    field = value;                                 \
  }

TARROW_TREE_ACCESS(uint32_t, uint32_t, Id, _id)
TARROW_TREE_ACCESS(std::string, const std::string&, Name, _name)
TARROW_TREE_ACCESS(std::string, const std::string&, Guid, _guid)
TARROW_TREE_ACCESS(bool, bool, TakeBack, _takeBack)
TARROW_TREE_ACCESS(bool, bool, Home, _home)
TARROW_TREE_ACCESS(bool, bool, Running, _running)
TARROW_TREE_ACCESS(bool, bool, Going, _going)
#undef TARROW_TREE_ACCESS

uint32_t ResourceTreeConfig::GetNextInTreeId() {
  MutexGuard guard(_lock);
  return _nextInTreeId;
}

void ResourceTreeConfig::SetNextInTreeId(uint32_t next) {
  MutexGuard guard(_lock);
  _nextInTreeId = next;
  ++_relationsVersion;
}

std::vector<sResourceTreeRel> ResourceTreeConfig::GetRelations() {
  MutexGuard guard(_lock);
  return _relations;
}

void ResourceTreeConfig::SetRelations(const std::vector<sResourceTreeRel>& relations) {
  MutexGuard guard(_lock);
  _relations = relations;
  ++_relationsVersion;
}

void ResourceTreeConfig::UpdateRelations(
    const std::function<void(std::vector<sResourceTreeRel>& relations, uint32_t& nextInTreeId)>& change) {
  // change runs without the record's lock: it may render the record (a save
  // of the tree list locks the manager, then this record).
  MutexGuard updating(_updateLock);
  for (;;) {
    std::vector<sResourceTreeRel> relations;
    uint32_t next;
    uint64_t version;
    {
      MutexGuard guard(_lock);
      relations = _relations;
      next = _nextInTreeId;
      version = _relationsVersion;
    }
    change(relations, next);
    MutexGuard guard(_lock);
    if (version != _relationsVersion) continue;  // replaced by a setter meanwhile
    _relations.swap(relations);
    _nextInTreeId = next;
    ++_relationsVersion;
    return;
  }
}

}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale
