#ifndef TARROW_CONFIG_RESOURCETREECONFIG_H
#define TARROW_CONFIG_RESOURCETREECONFIG_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "config/IConfig.h"
#include "config/sResourceTreeRel.h"
#include "framework/Mutex.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {

// Configuration record of one resource tree. Text, nine lines: id, name,
// take-back flag, home flag, running flag, going flag, GUID, next in-tree id,
// relation text (empty line for a tree without relations).
//
// The record is shared by the manager's list, the tree and console threads:
// every field is read and written under the record's own mutex (getters
// return copies). Records are not copyable.
class ResourceTreeConfig : public IConfig {
 public:
  // Empty name and GUID, all flags false, id 0, next in-tree id 0, no relations.
  ResourceTreeConfig();
  // Reads the nine lines; throws Exception* "FORM_ERR" when they run out.
  ResourceTreeConfig(std::vector<std::string>* lines, unsigned int* index);
  ResourceTreeConfig(const ResourceTreeConfig&) = delete;
  ResourceTreeConfig& operator=(const ResourceTreeConfig&) = delete;
  ~ResourceTreeConfig() override;

  std::string ToString() override;
  // GUID, name, take-back flag, home flag, joined by "\n".
  std::string ToModifyProctolString();

  // Refuses (Exception* "FORM_ERR") a name or GUID holding CR, LF or NUL; for
  // records handed in by a console.
  void Validate();

  // Relation text <-> relations. A relation is kind 'N' config id 'N' in-tree
  // id '|' relied-on ids joined by ','; relations joined by 'M'. A piece that
  // is not in this form is skipped; a number piece without digits reads 0.
  static std::vector<sResourceTreeRel> MakeRel(std::string text);
  static std::string RelToString(const std::vector<sResourceTreeRel>& relations);
  // Largest id (as signed 32-bit) of the list, at least 0.
  static int SelectMaxId(std::vector<ResourceTreeConfig*>* list);

  // ---- fields (each access under the record's lock) ----------------------
  uint32_t GetId();
  void SetId(uint32_t id);
  std::string GetName();
  void SetName(const std::string& name);
  std::string GetGuid();
  void SetGuid(const std::string& guid);
  bool GetTakeBack();
  void SetTakeBack(bool on);
  bool GetHome();
  void SetHome(bool on);
  // Running flag, also known as the tree's "hold" flag: set when the tree has
  // finished starting on this node, cleared when it has finished stopping.
  bool GetRunning();
  void SetRunning(bool on);
  // Going flag, also known as the tree's "managed" flag: set by "START_RESOURCE_TREE_GOING"
  // and for a new tree, cleared by "STOP_RESOURCE_TREE_GOING".
  bool GetGoing();
  void SetGoing(bool on);
  uint32_t GetNextInTreeId();
  void SetNextInTreeId(uint32_t next);
  // A copy of the relations.
  std::vector<sResourceTreeRel> GetRelations();
  void SetRelations(const std::vector<sResourceTreeRel>& relations);
  // Read-change-write of the relations and the next in-tree id together:
  // change works on a copy of both, without the record's lock held, and the
  // result replaces them under the lock. So change may read this record and
  // may save the tree list (which renders this record); such a save still
  // writes the values from before the change, so save again afterwards.
  // Updates of one record run one after the other (a mutex of their own that
  // neither saves nor the getters and setters take), so none is lost. When
  // SetRelations or SetNextInTreeId replaced the values while change ran,
  // change runs again on the new values. When change throws, nothing changes
  // and the exception passes on.
  // change must not call UpdateRelations of this record, and UpdateRelations
  // must not be called while holding the configuration manager's lock (an
  // Edit...() scope) or a lock that change takes.
  void UpdateRelations(const std::function<void(std::vector<sResourceTreeRel>& relations,
                                                uint32_t& nextInTreeId)>& change);

 private:
  mutable Framework::Mutex _lock;
  Framework::Mutex _updateLock;  // one UpdateRelations at a time; taken before _lock, never under it
  uint64_t _relationsVersion;    // under _lock: raised whenever the relations or the counter change
  std::string _name;
  std::string _guid;
  bool _takeBack;
  bool _home;
  bool _running;
  bool _going;
  uint32_t _id;
  uint32_t _nextInTreeId;
  std::vector<sResourceTreeRel> _relations;
};

}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
