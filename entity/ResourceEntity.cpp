#include "entity/ResourceEntity.h"

#include <memory>
#include <sstream>

#include "config/AliasResConfig.h"
#include "config/CustomResConfig.h"
#include "config/DiskVolumeResConfig.h"
#include "config/FileShareResConfig.h"
#include "config/IPResourceConfig.h"
#include "config/IResourceConfig.h"
#include "config/ProgramResConfig.h"
#include "config/ServiceResConfig.h"
#include "framework/DateTime.h"
#include "framework/EventManager.h"
#include "framework/Exception.h"
#include "framework/MutexGuard.h"

namespace Oxbrindale {
namespace Velmora {
namespace Entity {

using Config::IResourceConfig;
using Framework::DateTime;
using Framework::MutexGuard;

ResourceEntity::ResourceEntity(short kind, short configNumber)
    : _spareNumber(-1),
      _kind(static_cast<uint16_t>(kind)),
      _configNumber(static_cast<uint16_t>(configNumber)),
      _failureCount(0),
      _secondCounter(0),
      _currentStatu(0),
      _dateTime(nullptr),
      _lastFailureTime(0),
      _spareTime(-1),
      _treeId(-1),
      _inTreeId(0),
      _operating(false),
      _cannotStart(false),
      _config(nullptr) {}

ResourceEntity::ResourceEntity(std::vector<std::string>* lines, unsigned* index)
    : ResourceEntity(static_cast<short>(-1), static_cast<short>(0)) {
  // Owned parts are held locally until every line has been read, so a record
  // that runs out of lines leaks nothing.
  _spareNumber = static_cast<int32_t>(_ReadNumber(MoveAndGet(lines, index)));
  _kind = static_cast<uint16_t>(_ReadNumber(MoveAndGet(lines, index)));
  _configNumber = static_cast<uint16_t>(_ReadNumber(MoveAndGet(lines, index)));
  _failureCount = static_cast<uint16_t>(_ReadNumber(MoveAndGet(lines, index)));
  _secondCounter = static_cast<uint16_t>(_ReadNumber(MoveAndGet(lines, index)));
  _currentStatu = static_cast<uint16_t>(_ReadNumber(MoveAndGet(lines, index)));
  std::unique_ptr<DateTime> dateTime;
  std::string dateTimeLine = MoveAndGet(lines, index);
  if (dateTimeLine != "N/A") dateTime.reset(new DateTime(dateTimeLine));
  _lastFailureTime = static_cast<int32_t>(_ReadNumber(MoveAndGet(lines, index)));
  _spareTime = static_cast<int32_t>(_ReadNumber(MoveAndGet(lines, index)));
  _treeId = static_cast<int32_t>(_ReadNumber(MoveAndGet(lines, index)));
  _inTreeId = static_cast<uint32_t>(_ReadNumber(MoveAndGet(lines, index)));
  _treeGuid = MoveAndGet(lines, index);
  _operating = MoveAndGet(lines, index) == "1";
  _cannotStart = MoveAndGet(lines, index) == "1";
  _config = _MakeResConfig(lines, index);
  _dateTime = dateTime.release();
}

ResourceEntity::~ResourceEntity() {
  delete _dateTime;
  delete _config;
}

std::string ResourceEntity::ToString() {
  std::ostringstream out;
  {
    MutexGuard guard(_lock);
    out << _spareNumber << '\n'
        << _kind << '\n'
        << _configNumber << '\n'
        << _failureCount << '\n'
        << _secondCounter << '\n'
        << _currentStatu << '\n'
        << (_dateTime == nullptr ? std::string("N/A") : _dateTime->ToString()) << '\n'
        << _lastFailureTime << '\n'
        << _spareTime << '\n'
        << _treeId << '\n'
        << _inTreeId << '\n'
        << _treeGuid << '\n'
        << (_operating ? '1' : '0') << '\n'
        << (_cannotStart ? '1' : '0');
  }
  // The configuration record guards its own fields.
  IResourceConfig* config = GetIResConfig();
  if (config != nullptr) out << '\n' << config->ToString();
  return out.str();
}

IResourceConfig* ResourceEntity::GetIResConfig() { return _config; }

void ResourceEntity::SetCurrentStatu(unsigned short statu) {
  {
    MutexGuard guard(_lock);
    if (_currentStatu == statu) return;
    _currentStatu = statu;
  }
  // Called on the resource's check thread: a full event queue must not end
  // it. The status is stored; the announcement is dropped.
  try {
    Framework::EventManager::Instance()->NotifyResourceTreeChanged();
  } catch (Exception* e) {
    if (e->code != "BLOCK_QUEUE") throw;
    delete e;
  }
}

unsigned short ResourceEntity::GetCurrentStatu() {
  MutexGuard guard(_lock);
  return _currentStatu;
}

int32_t ResourceEntity::GetSpareNumber() {
  MutexGuard guard(_lock);
  return _spareNumber;
}

unsigned short ResourceEntity::GetKind() {
  MutexGuard guard(_lock);
  return _kind;
}

unsigned short ResourceEntity::GetConfigNumber() {
  MutexGuard guard(_lock);
  return _configNumber;
}

unsigned short ResourceEntity::GetFailureCount() {
  MutexGuard guard(_lock);
  return _failureCount;
}

void ResourceEntity::SetFailureCount(unsigned short count) {
  MutexGuard guard(_lock);
  _failureCount = count;
}

unsigned short ResourceEntity::GetSecondCounter() {
  MutexGuard guard(_lock);
  return _secondCounter;
}

void ResourceEntity::SetSecondCounter(unsigned short count) {
  MutexGuard guard(_lock);
  _secondCounter = count;
}

std::string ResourceEntity::GetDateTimeText() {
  MutexGuard guard(_lock);
  return _dateTime == nullptr ? std::string("N/A") : _dateTime->ToString();
}

int32_t ResourceEntity::GetLastFailureTime() {
  MutexGuard guard(_lock);
  return _lastFailureTime;
}

void ResourceEntity::SetLastFailureTime(int32_t seconds) {
  MutexGuard guard(_lock);
  _lastFailureTime = seconds;
}

int32_t ResourceEntity::GetSpareTime() {
  MutexGuard guard(_lock);
  return _spareTime;
}

int32_t ResourceEntity::GetTreeId() {
  MutexGuard guard(_lock);
  return _treeId;
}

void ResourceEntity::SetTreeId(int32_t id) {
  MutexGuard guard(_lock);
  _treeId = id;
}

unsigned ResourceEntity::GetInTreeId() {
  MutexGuard guard(_lock);
  return _inTreeId;
}

void ResourceEntity::SetInTreeId(unsigned id) {
  MutexGuard guard(_lock);
  _inTreeId = id;
}

std::string ResourceEntity::GetTreeGuid() {
  MutexGuard guard(_lock);
  return _treeGuid;
}

void ResourceEntity::SetTreeGuid(const std::string& guid) {
  MutexGuard guard(_lock);
  _treeGuid = guid;
}

bool ResourceEntity::IsOperating() {
  MutexGuard guard(_lock);
  return _operating;
}

void ResourceEntity::SetOperating(bool operating) {
  MutexGuard guard(_lock);
  _operating = operating;
}

bool ResourceEntity::IsCannotStart() {
  MutexGuard guard(_lock);
  return _cannotStart;
}

void ResourceEntity::SetCannotStart(bool cannotStart) {
  MutexGuard guard(_lock);
  _cannotStart = cannotStart;
}

IResourceConfig* ResourceEntity::_MakeResConfig(std::vector<std::string>* lines, unsigned* index) {
  switch (_kind) {
    case 0:
      return new Config::DiskVolumeResConfig(lines, index);
    case 1:
      return new Config::IPResourceConfig(lines, index);
    case 2:
      return new Config::AliasResConfig(lines, index);
    case 3:
      return new Config::ServiceResConfig(lines, index);
    case 4:
      return new Config::ProgramResConfig(lines, index);
    case 5:
      return new Config::CustomResConfig(lines, index);
    case 6:
      return new Config::FileShareResConfig(lines, index);
    default:
      return nullptr;
  }
}

}  // namespace Entity
}  // namespace Velmora
}  // namespace Oxbrindale
