#ifndef TARROW_ENTITY_RESOURCEENTITY_H
#define TARROW_ENTITY_RESOURCEENTITY_H

#include <cstdint>
#include <string>
#include <vector>

#include "entity/IEntity.h"
#include "framework/Mutex.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {
class IResourceConfig;
}
namespace Framework {
class DateTime;
}
namespace Entity {

// Status of one resource, and the base of every resource object: the
// resource's check thread keeps its live state in these fields and the
// console reads it as text. Text: fourteen status lines, then the lines of
// the resource's configuration record (GetIResConfig()->ToString()).
//
// The fields are guarded by the record's own lock: the check thread writes
// them while console sessions render the record.
class ResourceEntity : public IEntity {
 public:
  ResourceEntity(short kind, short configNumber);
  // Reads the fourteen status lines and then the configuration record of the
  // kind (none for kinds without one, DRBD included). Throws Exception*
  // "FORM_ERR" when the lines run out, the date-time's exception on a
  // date-time line other than "N/A" that it cannot read.
  ResourceEntity(std::vector<std::string>* lines, unsigned* index);
  ResourceEntity(const ResourceEntity&) = delete;
  ResourceEntity& operator=(const ResourceEntity&) = delete;
  ~ResourceEntity() override;

  // A record without a configuration (a parsed record of a kind without a
  // configuration class) writes its fourteen status lines only.
  std::string ToString() override;

  // The record's own configuration (parsed records), null when it has none.
  // Each resource class returns the configuration it was built with.
  virtual Config::IResourceConfig* GetIResConfig();

  // Stores the result of the last test (1 working, 0 not working); a changed
  // value is announced as a change of the resource trees.
  void SetCurrentStatu(unsigned short statu);
  unsigned short GetCurrentStatu();

  int32_t GetSpareNumber();
  unsigned short GetKind();
  unsigned short GetConfigNumber();
  unsigned short GetFailureCount();
  void SetFailureCount(unsigned short count);
  unsigned short GetSecondCounter();
  void SetSecondCounter(unsigned short count);
  // Text of the date-time line: the date-time, or "N/A" when there is none.
  std::string GetDateTimeText();
  int32_t GetLastFailureTime();
  void SetLastFailureTime(int32_t seconds);
  int32_t GetSpareTime();
  int32_t GetTreeId();
  void SetTreeId(int32_t id);
  unsigned GetInTreeId();
  void SetInTreeId(unsigned id);
  std::string GetTreeGuid();
  void SetTreeGuid(const std::string& guid);
  bool IsOperating();
  void SetOperating(bool operating);
  bool IsCannotStart();
  void SetCannotStart(bool cannotStart);

 private:
  // The configuration record of this record's kind, read from the next lines;
  // null, reading nothing, for a kind without a configuration class.
  Config::IResourceConfig* _MakeResConfig(std::vector<std::string>* lines, unsigned* index);

  Framework::Mutex _lock;
  int32_t _spareNumber;
  uint16_t _kind;  // OX_RESOURCE_KIND
  uint16_t _configNumber;
  uint16_t _failureCount;
  uint16_t _secondCounter;
  uint16_t _currentStatu;
  Framework::DateTime* _dateTime;  // owned; null shows as "N/A"
  int32_t _lastFailureTime;        // seconds since the epoch
  int32_t _spareTime;
  int32_t _treeId;
  uint32_t _inTreeId;
  std::string _treeGuid;
  bool _operating;
  bool _cannotStart;
  Config::IResourceConfig* _config;  // owned
};

}  // namespace Entity
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
