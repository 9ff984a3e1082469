#include "config/ConfigManager.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <memory>
#include <set>

#include "entity/AlarmObj.h"
#include "config/AlarmExecConfig.h"
#include "config/ClientSetting.h"
#include "config/ConfigStringFormator.h"
#include "config/CustomAlarmConfig.h"
#include "config/GlobalConfig.h"
#include "config/HeartBeatGlobalConfig.h"
#include "config/HeartBeatLinkConfig.h"
#include "config/SendEmailAlarmConfig.h"
#include "config/StrictReading.h"
#include "framework/CommandRunner.h"
#include "framework/Convert.h"
#include "framework/Env.h"
#include "framework/Exception.h"
#include "framework/FileManager.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {

using Entity::AlarmObj;
using Framework::__OXFile;
using Framework::CommandResult;
using Framework::Convert;
using Framework::Env;
using Framework::MutexGuard;

namespace {

const char* const kGlobalConfigFile = "configs/global_config.cfg";
const char* const kHeartBeatFile = "configs/hb.cfg";
const char* const kAlarmFile = "configs/alarm.cfg";
const char* const kCustomAlarmFile = "configs/custom_alarm.cfg";
const char* const kClientSettingFile = "client_setting.cfg";
const char* const kStartFlagFile = "configs/ss_flag.cfg";
const char* const kRecentAlarmFile = "log/recent_alarm.log";

// hb.cfg when there is none (the sixth line ends with a blank).
const char* const kDefaultHeartBeatText = "15538\n3\n2000\n4000\n0\n请设置参考IP \n80";

// zip and unzip of a few small files; generous for a loaded machine.
const long kArchiverTimeoutMs = 10000;


// Records parsed one after another until the lines run out. On a failure
// the records built so far are freed and the exception passes on.
template <class T>
std::vector<T*>* _ParseRecords(std::vector<std::string>& lines, unsigned int& index) {
  std::vector<std::unique_ptr<T>> built;
  while (index < lines.size()) built.emplace_back(new T(&lines, &index));
  std::vector<T*>* list = new std::vector<T*>();
  for (std::unique_ptr<T>& record : built) list->push_back(record.release());
  return list;
}

// Frees a list and its records.
template <class T>
struct ListDeleter {
  void operator()(std::vector<T*>* list) const {
    for (T* record : *list) delete record;
    delete list;
  }
};
template <class T>
using OwnedList = std::unique_ptr<std::vector<T*>, ListDeleter<T>>;

// Runs parse (which must build into its own holders each time it runs)
// with the file's numbers read strictly. When a number is refused, parse
// runs once more as records have always been read: a text that is cut short
// then fails with the store's own message, since its records went out of
// step before any number was wrong; otherwise the refusal stands, and
// *refused (when given) says so.
template <class Parse>
void ParseStrictly(const Parse& parse, bool* refused = nullptr) {
  Exception* refusal = nullptr;
  {
    StrictReading strict;
    try {
      parse();
      return;
    } catch (Exception* e) {
      if (!strict.Refused()) throw;
      refusal = e;
    }
  }
  std::unique_ptr<Exception> owned(refusal);
  parse();  // a text cut short throws here
  if (refused != nullptr) *refused = true;
  throw owned.release();
}

// Removes path and everything below it; failures are ignored.
void _RemoveTree(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    if (DIR* dir = ::opendir(path.c_str())) {
      std::vector<std::string> names;
      while (struct dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
      }
      ::closedir(dir);
      for (const std::string& name : names) _RemoveTree(path + "/" + name);
    }
    ::rmdir(path.c_str());
  } else {
    ::unlink(path.c_str());
  }
}

bool _IsRegularFile(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool _Succeeded(const CommandResult& result) { return !result.timedOut && result.status == 0; }

}  // namespace

// ---- construction -----------------------------------------------------------

ConfigManager* ConfigManager::Instance() {
  static ConfigManager* instance = new ConfigManager();  // never destroyed
  return instance;
}

ConfigManager::ConfigManager()
    : _shutdown(false),
      _appPath(Convert::GetAppPath()),
      _ip{nullptr, "configs/ip_config.cfg", &ConfigStringFormator::MakeIPConfig},
      _program{nullptr, "configs/program_config.cfg", &ConfigStringFormator::MakeProgramConfig},
      _service{nullptr, "configs/service_config.cfg", &ConfigStringFormator::MakeServiceConfig},
      _diskVolume{nullptr, "configs/disk_volume_config.cfg", &ConfigStringFormator::MakeDiskVolumeConfig},
      _fileShare{nullptr, "configs/file_share_config.cfg", &ConfigStringFormator::MakeFileShareConfig},
      _alias{nullptr, "configs/alias_config.cfg", &ConfigStringFormator::MakeAliasConfig},
      _custom{nullptr, "configs/custom_config.cfg", &ConfigStringFormator::MakeCustomConfig},
      _drbdRes{nullptr, "configs/drbd_res_config.cfg", &ConfigStringFormator::MakeDrbdResConfig},
      _tree{nullptr, "configs/resource_tree_config.cfg", &ConfigStringFormator::MakeResourceTreeConfig},
      _mirror{nullptr, "configs/drbd_mirror_config.dcnf", &ConfigStringFormator::MakeDrbdMirrorConfig},
      _hbSettings(nullptr),
      _hbLinks(nullptr),
      _alarmExec(nullptr),
      _emailAlarm(nullptr),
      _customAlarm(nullptr),
      _gc(nullptr),
      _clientSetting(nullptr) {}

ConfigManager::~ConfigManager() {
  _FreeList(_ip.list);
  _FreeList(_program.list);
  _FreeList(_service.list);
  _FreeList(_diskVolume.list);
  _FreeList(_fileShare.list);
  _FreeList(_alias.list);
  _FreeList(_custom.list);
  _FreeList(_drbdRes.list);
  _FreeList(_tree.list);
  _FreeList(_mirror.list);
  _FreeList(_hbLinks);
  _FreeList(_alarmExec);
  delete _hbSettings;
  delete _emailAlarm;
  delete _customAlarm;
  delete _gc;
  delete _clientSetting;
}

void ConfigManager::SetShutdownFlag() { _shutdown = true; }

bool ConfigManager::GetShutdownFlag() { return _shutdown; }

void ConfigManager::LoadAll() {
  struct Step {
    const char* file;
    std::function<void()> load;
  };
  const std::vector<Step> steps = {
      {kGlobalConfigFile, [this] { GetGC(); }},
      {kHeartBeatFile, [this] { GetHeartBeatLinkConfig(); }},
      {kAlarmFile, [this] { GetAlarmExecConfig(); }},
      {kCustomAlarmFile, [this] { GetCustomAlarmConfig(); }},
      {_ip.file, [this] { _Load(_ip); }},
      {_program.file, [this] { _Load(_program); }},
      {_service.file, [this] { _Load(_service); }},
      {_diskVolume.file, [this] { _Load(_diskVolume); }},
      {_fileShare.file, [this] { _Load(_fileShare); }},
      {_alias.file, [this] { _Load(_alias); }},
      {_custom.file, [this] { _Load(_custom); }},
      {_drbdRes.file, [this] { _Load(_drbdRes); }},
      {_tree.file, [this] { _Load(_tree); }},
      {_mirror.file, [this] { _Load(_mirror); }},
  };
  for (const Step& step : steps) {
    try {
      step.load();
    } catch (Exception* e) {
      std::unique_ptr<Exception> reason(e);
      throw new Exception(reason->code, std::string("配置文件 ") + step.file + " 无法加载：" + reason->message);
    }
  }
}

std::vector<std::string> ConfigManager::TakeNotices() {
  MutexGuard guard(_mutex);
  std::vector<std::string> notices;
  notices.swap(_notices);
  return notices;
}

// ---- generic list machinery -------------------------------------------------

template <class T>
void ConfigManager::_FreeList(std::vector<T*>*& list) {
  if (list == nullptr) return;
  for (T* record : *list) delete record;
  delete list;
  list = nullptr;
}

template <class T>
std::vector<T*>* ConfigManager::_LoadLocked(_ListKind<T>& kind) {
  if (kind.list != nullptr) return kind.list;
  std::string text;
  try {
    text = FileManager::LoadFile(_appPath + kind.file);
  } catch (Exception* e) {  // missing or unreadable: an empty list
    delete e;
    text.clear();
  }
  OwnedList<T> list;
  ParseStrictly([&] { list.reset(kind.build(text)); });  // "FORM_ERR" leaves the kind unloaded
  kind.list = list.release();
  return kind.list;
}

template <class T>
std::vector<T*>* ConfigManager::_Load(_ListKind<T>& kind) {
  MutexGuard guard(_mutex);
  return _LoadLocked(kind);
}

template <class T>
void ConfigManager::_SaveCommonResConfigsLocked(_ListKind<T>& kind) {
  if (kind.list == nullptr) return;  // never loaded: the file stays as it is
  std::string text;
  for (T* record : *kind.list) {
    text += record->ToString();
    text += '\n';
  }
  if (!text.empty()) text.erase(text.size() - 1);
  _WriteFile(kind.file, text);
}

template <class T>
void ConfigManager::_SaveCommonResConfigs(_ListKind<T>& kind) {
  MutexGuard guard(_mutex);
  _SaveCommonResConfigsLocked(kind);
}

template <class T>
ConfigListEdit<T> ConfigManager::_Edit(_ListKind<T>& kind) {
  return ConfigListEdit<T>(
      _mutex, [this, &kind]() { return _LoadLocked(kind); }, [this, &kind]() { _SaveCommonResConfigsLocked(kind); });
}

template <class T>
T* ConfigManager::GetCommonResById(unsigned int id, std::vector<T*>* list) {
  for (T* record : *list) {
    if (static_cast<unsigned int>(record->GetId()) == id) return record;
  }
  return nullptr;
}

template <class T>
T* ConfigManager::_GetById(_ListKind<T>& kind, unsigned int id) {
  MutexGuard guard(_mutex);
  return GetCommonResById(id, _LoadLocked(kind));
}

template <class T>
bool ConfigManager::_RemoveCommonResById(unsigned int id, std::vector<T*>* list) {
  for (typename std::vector<T*>::iterator it = list->begin(); it != list->end(); ++it) {
    if (static_cast<unsigned int>((*it)->GetId()) == id) {
      T* record = *it;
      list->erase(it);
      delete record;
      return true;
    }
  }
  return false;
}

template <class T>
void ConfigManager::_RemoveById(_ListKind<T>& kind, unsigned int id) {
  MutexGuard guard(_mutex);
  if (kind.list == nullptr) return;
  if (_RemoveCommonResById(id, kind.list)) _SaveCommonResConfigsLocked(kind);
}

void ConfigManager::_WriteFile(const std::string& relative, const std::string& text) {
  const std::string path = _appPath + relative;
  std::string::size_type slash = relative.rfind('/');
  if (slash != std::string::npos) Convert::ReadyDir(_appPath + relative.substr(0, slash));
  if (!FileManager::SaveFile(path, text)) {
    throw new Exception("IO", "无法保存配置文件'" + path + "'！");
  }
}

// ---- the ten list kinds -----------------------------------------------------

std::vector<IPResourceConfig*>* ConfigManager::GetIPConfig() { return _Load(_ip); }
std::vector<ProgramResConfig*>* ConfigManager::GetProgramConfig() { return _Load(_program); }
std::vector<ServiceResConfig*>* ConfigManager::GetServiceConfig() { return _Load(_service); }
std::vector<CustomResConfig*>* ConfigManager::GetCustomConfig() { return _Load(_custom); }
std::vector<DiskVolumeResConfig*>* ConfigManager::GetDiskVolumeConfig() { return _Load(_diskVolume); }
std::vector<FileShareResConfig*>* ConfigManager::GetFileShareConfig() { return _Load(_fileShare); }
std::vector<DrbdResConfig*>* ConfigManager::GetDrbdResConfig() { return _Load(_drbdRes); }
std::vector<AliasResConfig*>* ConfigManager::GetAliasConfig() { return _Load(_alias); }
std::vector<ResourceTreeConfig*>* ConfigManager::GetResourceTreeConfig() { return _Load(_tree); }
std::vector<DrbdMirrorConfig*>* ConfigManager::GetDrbdMirrorConfig() { return _Load(_mirror); }

ConfigListEdit<IPResourceConfig> ConfigManager::EditIPConfig() { return _Edit(_ip); }
ConfigListEdit<ProgramResConfig> ConfigManager::EditProgramConfig() { return _Edit(_program); }
ConfigListEdit<ServiceResConfig> ConfigManager::EditServiceConfig() { return _Edit(_service); }
ConfigListEdit<CustomResConfig> ConfigManager::EditCustomConfig() { return _Edit(_custom); }
ConfigListEdit<DiskVolumeResConfig> ConfigManager::EditDiskVolumeConfig() { return _Edit(_diskVolume); }
ConfigListEdit<FileShareResConfig> ConfigManager::EditFileShareConfig() { return _Edit(_fileShare); }
ConfigListEdit<DrbdResConfig> ConfigManager::EditDrbdResConfig() { return _Edit(_drbdRes); }
ConfigListEdit<AliasResConfig> ConfigManager::EditAliasConfig() { return _Edit(_alias); }
ConfigListEdit<ResourceTreeConfig> ConfigManager::EditResourceTreeConfig() { return _Edit(_tree); }
ConfigListEdit<DrbdMirrorConfig> ConfigManager::EditDrbdMirrorConfig() { return _Edit(_mirror); }

IPResourceConfig* ConfigManager::GetIPResConfigById(unsigned int id) { return _GetById(_ip, id); }
ProgramResConfig* ConfigManager::GetProgramResConfigById(unsigned int id) { return _GetById(_program, id); }
ServiceResConfig* ConfigManager::GetServiceResConfigById(unsigned int id) { return _GetById(_service, id); }
CustomResConfig* ConfigManager::GetCustomResConfigById(unsigned int id) { return _GetById(_custom, id); }
DiskVolumeResConfig* ConfigManager::GetDiskVolumeResConfigById(unsigned int id) { return _GetById(_diskVolume, id); }
FileShareResConfig* ConfigManager::GetFileShareResConfigById(unsigned int id) { return _GetById(_fileShare, id); }
DrbdResConfig* ConfigManager::GetDrbdResConfigById(unsigned int id) { return _GetById(_drbdRes, id); }
AliasResConfig* ConfigManager::GetAliasResConfigById(unsigned int id) { return _GetById(_alias, id); }

void ConfigManager::SaveIPConfig() { _SaveCommonResConfigs(_ip); }
void ConfigManager::SaveProgramConfig() { _SaveCommonResConfigs(_program); }
void ConfigManager::SaveBothProgramConfig() { _SaveCommonResConfigs(_program); }
void ConfigManager::SaveServiceConfig() { _SaveCommonResConfigs(_service); }
void ConfigManager::SaveCustomConfig() { _SaveCommonResConfigs(_custom); }
void ConfigManager::SaveDiskVolumeConfig() { _SaveCommonResConfigs(_diskVolume); }
void ConfigManager::SaveFileShareConfig() { _SaveCommonResConfigs(_fileShare); }
void ConfigManager::SaveDrbdResConfig() { _SaveCommonResConfigs(_drbdRes); }
void ConfigManager::SaveAliasResConfig() { _SaveCommonResConfigs(_alias); }
void ConfigManager::SaveResourceTreeConfig() { _SaveCommonResConfigs(_tree); }
void ConfigManager::SaveDrbdMirrorConfig() { _SaveCommonResConfigs(_mirror); }

void ConfigManager::RemoveIPResConfigById(unsigned int id) { _RemoveById(_ip, id); }
void ConfigManager::RemoveProgramResConfigById(unsigned int id) { _RemoveById(_program, id); }
void ConfigManager::RemoveServiceResConfigById(unsigned int id) { _RemoveById(_service, id); }
void ConfigManager::RemoveCustomResConfigById(unsigned int id) { _RemoveById(_custom, id); }
void ConfigManager::RemoveDiskVolumeResConfigById(unsigned int id) { _RemoveById(_diskVolume, id); }
void ConfigManager::RemoveFileShareResConfigById(unsigned int id) { _RemoveById(_fileShare, id); }
void ConfigManager::RemoveDrbdResConfigById(unsigned int id) { _RemoveById(_drbdRes, id); }
void ConfigManager::RemoveAliasResConfigById(unsigned int id) { _RemoveById(_alias, id); }

DrbdMirrorConfig* ConfigManager::GetDrbdMirrorConfigByPacketName(std::string name) {
  MutexGuard guard(_mutex);
  for (DrbdMirrorConfig* mirror : *_LoadLocked(_mirror)) {
    if (mirror->GetName() == name) return mirror;
  }
  return nullptr;
}

void ConfigManager::RemoveDrbdMirrorConfigByName(std::string name) {
  MutexGuard guard(_mutex);
  if (_mirror.list == nullptr) return;
  std::vector<DrbdMirrorConfig*>& list = *_mirror.list;
  for (std::vector<DrbdMirrorConfig*>::iterator it = list.begin(); it != list.end(); ++it) {
    if ((*it)->GetName() == name) {
      DrbdMirrorConfig* mirror = *it;
      list.erase(it);
      delete mirror;
      break;
    }
  }
  _SaveCommonResConfigsLocked(_mirror);
}

void ConfigManager::CreateDrbdMirrorConfig(DrbdMirrorConfig* record) {
  MutexGuard guard(_mutex);
  std::vector<DrbdMirrorConfig*>* list;
  try {
    list = _LoadLocked(_mirror);
  } catch (Exception*) {  // the manager took the record over
    delete record;
    throw;
  }
  list->push_back(record);
  _SaveCommonResConfigsLocked(_mirror);
}

// ---- global settings --------------------------------------------------------

GlobalConfig* ConfigManager::GetGC() {
  MutexGuard guard(_mutex);
  if (_gc != nullptr) return _gc;

  const std::string path = _appPath + kGlobalConfigFile;
  std::string text;
  bool read = true;
  try {
    text = FileManager::LoadFile(path);
  } catch (Exception* e) {  // missing or unreadable
    delete e;
    read = false;
  }
  if (read) {
    // A number that is not one, or out of its range, refuses the file: it
    // stays as it is and nothing is cached.
    StrictReading strict;
    _gc = new GlobalConfig(text);
  } else {
    _gc = new GlobalConfig();
  }
  if (_gc->IsFromDefaults()) {
    // A file that exists but could not be used (a hand edit gone wrong) is
    // kept beside, so its passwords and settings can be recovered.
    if (::access(path.c_str(), F_OK) == 0) {
      ::rename(path.c_str(), (path + ".bad").c_str());
      _notices.push_back(std::string("配置文件 ") + kGlobalConfigFile + " 无法使用，已另存为 " + kGlobalConfigFile +
                         ".bad 并改用默认全局配置：控制台密码现为内置的默认密码，请立即修改！");
    }
    try {
      _SaveCrtGCLocked();
    } catch (Exception* e) {  // the defaults stay in force; the next save tries again
      delete e;
    }
  }
  return _gc;
}

void ConfigManager::_SaveCrtGCLocked() {
  if (_gc == nullptr) return;
  _WriteFile(kGlobalConfigFile, _gc->ToString());
}

void ConfigManager::SaveCrtGC() {
  MutexGuard guard(_mutex);
  _SaveCrtGCLocked();
}

void ConfigManager::RefreshGC() {
  MutexGuard guard(_mutex);
  delete _gc;
  _gc = nullptr;
}

// ---- heartbeat --------------------------------------------------------------

void ConfigManager::_LoadHBLLocked() {
  std::string text;
  bool useDefault = false;
  try {
    text = FileManager::LoadFile(_appPath + kHeartBeatFile);
  } catch (Exception* e) {
    delete e;
    text = kDefaultHeartBeatText;
    useDefault = true;
  }
  std::vector<std::string> lines = IConfig::SplitLines(text);
  unsigned int index = 0;

  std::unique_ptr<HeartBeatGlobalConfig> settings;
  ParseStrictly([&] {
    index = 0;
    settings.reset(new HeartBeatGlobalConfig(&lines, &index));
  });
  if (_hbSettings == nullptr) {
    _hbSettings = settings.release();
  } else {
    // Others may hold the record handed out before: it stays, with the new values.
    _hbSettings->CopyOf(*settings);
  }
  const unsigned int firstLink = index;
  OwnedList<HeartBeatLinkConfig> links;
  ParseStrictly([&] {
    index = firstLink;
    links.reset(_ParseRecords<HeartBeatLinkConfig>(lines, index));
  });
  _hbLinks = links.release();

  if (useDefault) {
    try {
      _SaveHeartBeatConfigLocked();
    } catch (Exception* e) {
      delete e;
    }
  }
}

HeartBeatGlobalConfig* ConfigManager::GetHeartBeatGlobalConfig() {
  MutexGuard guard(_mutex);
  if (_hbSettings == nullptr) _LoadHBLLocked();
  return _hbSettings;
}

std::vector<HeartBeatLinkConfig*>* ConfigManager::GetHeartBeatLinkConfig() {
  MutexGuard guard(_mutex);
  if (_hbLinks == nullptr) _LoadHBLLocked();
  return _hbLinks;
}

ConfigListEdit<HeartBeatLinkConfig> ConfigManager::EditHeartBeatLinkConfig() {
  return ConfigListEdit<HeartBeatLinkConfig>(
      _mutex,
      [this]() {
        if (_hbLinks == nullptr) _LoadHBLLocked();
        return _hbLinks;
      },
      [this]() { _SaveHeartBeatConfigLocked(); });
}

HeartBeatLinkConfig* ConfigManager::GetHeartBeatLinkConfigById(int id) {
  MutexGuard guard(_mutex);
  if (_hbLinks == nullptr) _LoadHBLLocked();
  for (HeartBeatLinkConfig* link : *_hbLinks) {
    if (link->GetId() == id) return link;
  }
  return nullptr;
}

HeartBeatLinkConfig* ConfigManager::GetHeartBeatLinkConfigByType(int type) {
  MutexGuard guard(_mutex);
  if (_hbLinks == nullptr) _LoadHBLLocked();
  for (HeartBeatLinkConfig* link : *_hbLinks) {
    if (link->GetType() == type) return link;
  }
  return nullptr;
}

void ConfigManager::_SaveHeartBeatConfigLocked() {
  if (_hbSettings == nullptr || _hbLinks == nullptr) return;
  std::string text = _hbSettings->ToString();
  for (HeartBeatLinkConfig* link : *_hbLinks) {
    text += '\n';
    text += link->ToString();
  }
  _WriteFile(kHeartBeatFile, text);
}

void ConfigManager::SaveHeartBeatConfig() {
  MutexGuard guard(_mutex);
  _SaveHeartBeatConfigLocked();
}

// ---- alarms -----------------------------------------------------------------

void ConfigManager::_LoadAlarmConfigLocked() {
  std::unique_ptr<SendEmailAlarmConfig> email;
  std::vector<std::unique_ptr<AlarmExecConfig>> kinds;
  bool mustSave = false;
  const std::string path = _appPath + kAlarmFile;
  bool unusable = false;
  std::string text;
  try {
    text = FileManager::LoadFile(path);
  } catch (Exception* e) {  // missing or unreadable
    delete e;
    unusable = true;
  }
  if (!unusable) {
    std::vector<std::string> lines = IConfig::SplitLines(text);
    bool refused = false;
    try {
      ParseStrictly(
          [&] {
            unsigned int index = 0;
            email.reset();
            kinds.clear();
            email.reset(new SendEmailAlarmConfig(&lines, &index));
            while (index < lines.size()) kinds.emplace_back(new AlarmExecConfig(&lines, &index));
          },
          &refused);
    } catch (Exception* e) {
      if (refused) throw;  // a bad number refuses the file, which stays as it is
      delete e;            // a record cut short: what was read stays
      unusable = true;
    }
  }
  if (unusable) {
    if (!email) email.reset(new SendEmailAlarmConfig());
    mustSave = true;
    // A file that was there but could not be used is kept beside.
    if (::access(path.c_str(), F_OK) == 0) {
      ::rename(path.c_str(), (path + ".bad").c_str());
      _notices.push_back(std::string("配置文件 ") + kAlarmFile + " 无法使用，已另存为 " + kAlarmFile +
                         ".bad 并改用默认告警配置！");
    }
  }
  // One record per kind 0 to 16, by list position.
  for (int kind = static_cast<int>(kinds.size()); kind <= 16; ++kind) {
    kinds.emplace_back(new AlarmExecConfig(kind));
    mustSave = true;
  }

  std::vector<AlarmExecConfig*>* list = new std::vector<AlarmExecConfig*>();
  for (std::unique_ptr<AlarmExecConfig>& record : kinds) list->push_back(record.release());
  _alarmExec = list;
  _emailAlarm = email.release();
  if (mustSave) {
    try {
      _SaveAlarmConfigLocked();
    } catch (Exception* e) {
      delete e;
    }
  }
}

std::vector<AlarmExecConfig*>* ConfigManager::GetAlarmExecConfig() {
  MutexGuard guard(_mutex);
  if (_alarmExec == nullptr) _LoadAlarmConfigLocked();
  return _alarmExec;
}

ConfigListEdit<AlarmExecConfig> ConfigManager::EditAlarmExecConfig() {
  return ConfigListEdit<AlarmExecConfig>(
      _mutex,
      [this]() {
        if (_alarmExec == nullptr) _LoadAlarmConfigLocked();
        return _alarmExec;
      },
      [this]() { _SaveAlarmConfigLocked(); });
}

SendEmailAlarmConfig* ConfigManager::GetSendEmailAlarmConfig() {
  MutexGuard guard(_mutex);
  if (_emailAlarm == nullptr) _LoadAlarmConfigLocked();
  return _emailAlarm;
}

void ConfigManager::_SaveAlarmConfigLocked() {
  if (_emailAlarm == nullptr || _alarmExec == nullptr) return;
  std::string text = _emailAlarm->ToString();
  for (AlarmExecConfig* record : *_alarmExec) {
    text += '\n';
    text += record->ToString();
  }
  _WriteFile(kAlarmFile, text);
}

void ConfigManager::SaveAlarmConfig() {
  MutexGuard guard(_mutex);
  _SaveAlarmConfigLocked();
}

CustomAlarmConfig* ConfigManager::GetCustomAlarmConfig() {
  MutexGuard guard(_mutex);
  if (_customAlarm != nullptr) return _customAlarm;
  CustomAlarmConfig* record = nullptr;
  try {
    std::vector<std::string> lines = IConfig::SplitLines(FileManager::LoadFile(_appPath + kCustomAlarmFile));
    if (lines.size() == 2) {
      unsigned int index = 0;
      record = new CustomAlarmConfig(&lines, &index);
    }
  } catch (Exception* e) {
    delete e;
  }
  if (record == nullptr) record = new CustomAlarmConfig();
  _customAlarm = record;
  return _customAlarm;
}

void ConfigManager::SaveCustomAlarmConfig() {
  MutexGuard guard(_mutex);
  if (_customAlarm == nullptr) return;
  _WriteFile(kCustomAlarmFile, _customAlarm->ToString());
}

// ---- client settings --------------------------------------------------------

ClientSetting* ConfigManager::GetClientSetting() {
  MutexGuard guard(_mutex);
  if (_clientSetting != nullptr) return _clientSetting;
  ClientSetting* record;
  try {
    record = new ClientSetting(FileManager::LoadFile(_appPath + kClientSettingFile));
  } catch (Exception* e) {
    delete e;
    record = new ClientSetting();
  }
  _clientSetting = record;
  if (record->IsDefaults()) {
    try {
      _SaveClientSettingLocked();
    } catch (Exception* e) {
      delete e;
    }
  }
  return _clientSetting;
}

void ConfigManager::_SaveClientSettingLocked() {
  if (_clientSetting == nullptr) return;
  std::cout << _appPath + kClientSettingFile << std::endl;
  _WriteFile(kClientSettingFile, _clientSetting->ToString());
}

void ConfigManager::SaveClientSetting() {
  MutexGuard guard(_mutex);
  _SaveClientSettingLocked();
}

// ---- backups, dump files, start flag, recent alarms -------------------------

std::string ConfigManager::_GetConfigFolder() { return _appPath + "configs"; }

std::string ConfigManager::_GetBackupFolder() { return _appPath + "backup_configs"; }

void ConfigManager::_DeleteMatching(const std::string& folder, const std::string& pattern) {
  for (const __OXFile& file : Convert::ListFile(folder, pattern)) ::unlink(file.fullPath.c_str());
}

void ConfigManager::ClearDmp() {
  std::string folder = _appPath;
  if (folder.size() > 1 && folder[folder.size() - 1] == '/') folder.erase(folder.size() - 1);
  _DeleteMatching(folder, "*.dmp");
}

void ConfigManager::ClearConfig() {
  _DeleteMatching(_GetConfigFolder(), "*.cfg");
  // Leftovers of interrupted saves would otherwise bring deleted files back.
  _DeleteMatching(_GetConfigFolder(), "*.cfg.complete");
  _DeleteMatching(_GetConfigFolder(), "*.cfg.pending");
}

const char* const ConfigManager::BAD_BACKUP_NAME =
    "备份名称不合法：不能为空，不能以“.”或“-”开头，不能包含“/”、控制字符、引号或shell特殊字符！";

bool ConfigManager::IsValidBackupName(const std::string& name) {
  if (name.empty() || name.size() > 200) return false;
  if (name[0] == '.' || name[0] == '-') return false;
  static const std::string kRefused = "!\"#$&'*;<=>?[\\]^`{|}~/";
  for (char c : name) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) return false;
    if (kRefused.find(c) != std::string::npos) return false;
  }
  return true;
}

void ConfigManager::BackupConfig(std::string name) {
  if (!IsValidBackupName(name)) throw new Exception("FORM_ERR", BAD_BACKUP_NAME);
  const std::string folder = _GetBackupFolder();
  if (!Convert::ReadyDir(folder)) throw new Exception("IO_ERR", "无法初始化目录，备份配置文件失败！");
  ::chmod(folder.c_str(), 0700);  // the archives hold digests and keys

  // Packed into a fresh hidden file first and then renamed over the old
  // archive, so a backup under an existing name replaces it whole and a
  // failed run leaves the old one as it was.
  const std::string archive = folder + "/" + name + ".cbak";
  const std::string packing = folder + "/." + name + ".cbak.packing";
  ::unlink(packing.c_str());

  std::vector<std::string> argv = {"zip", "-q", "-j", packing};
  for (const __OXFile& file : Convert::ListFile(_GetConfigFolder(), "*.cfg")) {
    if (_IsRegularFile(file.fullPath)) argv.push_back(file.fullPath);
  }
  bool packed = argv.size() > 4 && _Succeeded(Env::Get()->Runner()->Run(argv, kArchiverTimeoutMs, false)) &&
                _IsRegularFile(packing) && ::chmod(packing.c_str(), 0600) == 0 &&
                ::rename(packing.c_str(), archive.c_str()) == 0;
  if (!packed) {
    ::unlink(packing.c_str());
    throw new Exception("IO_ERR", "备份配置文件失败！");
  }
}

bool ConfigManager::ResuemBackupConfig(std::string name) {
  if (!IsValidBackupName(name)) return false;
  const std::string archive = _GetBackupFolder() + "/" + name + ".cbak";
  if (!_IsRegularFile(archive)) return false;

  std::string stagingTemplate = _appPath + ".configs_restore_XXXXXX";
  std::vector<char> buffer(stagingTemplate.begin(), stagingTemplate.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) return false;
  const std::string staging = buffer.data();

  bool restored = false;
  std::vector<__OXFile> staged;
  if (_Succeeded(Env::Get()->Runner()->Run({"unzip", "-o", "-q", archive, "-d", staging}, kArchiverTimeoutMs, false))) {
    for (const __OXFile& file : Convert::ListFile(staging, "*.cfg")) {
      if (_IsRegularFile(file.fullPath)) staged.push_back(file);
    }
  }
  const std::string configs = _GetConfigFolder();
  if (!staged.empty() && Convert::ReadyDir(configs)) {
    // Each file is replaced in one rename: configs/ never lacks a file
    // that it had and the backup has too.
    std::set<std::string> names;
    restored = true;
    for (const __OXFile& file : staged) {
      if (::rename(file.fullPath.c_str(), (configs + "/" + file.name).c_str()) != 0) {
        restored = false;
        break;
      }
      names.insert(file.name);
    }
    if (restored) {
      for (const __OXFile& file : Convert::ListFile(configs, "*.cfg")) {
        if (names.count(file.name) != 0) continue;
        ::unlink(file.fullPath.c_str());
        ::unlink((file.fullPath + ".complete").c_str());
        ::unlink((file.fullPath + ".pending").c_str());
      }
    }
  }
  _RemoveTree(staging);
  return restored;
}

void ConfigManager::DeleteBackup(std::string name) {
  if (!IsValidBackupName(name)) throw new Exception("FORM_ERR", BAD_BACKUP_NAME);
  ::unlink((_GetBackupFolder() + "/" + name + ".cbak").c_str());
}

std::vector<__OXFile> ConfigManager::ListBackupCfg() { return Convert::ListFile(_GetBackupFolder(), "*.cbak"); }

bool ConfigManager::IsBackupCfgExist(std::string name) {
  if (!IsValidBackupName(name)) return false;
  return Convert::IsFileExist(_GetBackupFolder() + "/" + name + ".cbak");
}

void ConfigManager::SaveRecentAlarmObj(std::vector<AlarmObj*>& alarms) {
  std::string text;
  for (AlarmObj* alarm : alarms) {
    std::string line = alarm->ToString();
    // A line break inside a text would split the alarm in two.
    for (char& c : line) {
      if (c == '\r' || c == '\n') c = ' ';
    }
    text += line;
    text += '\n';
  }
  if (!text.empty()) text.erase(text.size() - 1);
  _WriteFile(kRecentAlarmFile, text);
}

std::vector<AlarmObj*> ConfigManager::GetRecentAlarmObj() {
  std::vector<AlarmObj*> alarms;
  std::string text;
  try {
    text = FileManager::LoadFile(_appPath + kRecentAlarmFile);
  } catch (Exception* e) {
    delete e;
    return alarms;
  }
  for (const std::string& line : IConfig::SplitLines(text)) {
    try {
      alarms.push_back(new AlarmObj(line));
    } catch (Exception* e) {  // a line whose time cannot be read is skipped
      delete e;
    }
  }
  return alarms;
}

void ConfigManager::SetSSFlag(bool flag) { _WriteFile(kStartFlagFile, flag ? "1" : "0"); }

bool ConfigManager::GetSSFlag() {
  try {
    std::string text = FileManager::LoadFile(_appPath + kStartFlagFile);
    return !text.empty() && text[0] != '0';
  } catch (Exception* e) {
    delete e;
    return false;
  }
}

}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale
