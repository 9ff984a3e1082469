#ifndef TARROW_CONFIG_CONFIGMANAGER_H
#define TARROW_CONFIG_CONFIGMANAGER_H

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "framework/Mutex.h"
#include "framework/MutexGuard.h"
#include "framework/NonCopyable.h"
#include "framework/__OXFile.h"

namespace Oxbrindale {
namespace Velmora {
namespace Entity {
class AlarmObj;
}
namespace Config {

class IPResourceConfig;
class ProgramResConfig;
class ServiceResConfig;
class CustomResConfig;
class DiskVolumeResConfig;
class FileShareResConfig;
class DrbdResConfig;
class AliasResConfig;
class ResourceTreeConfig;
class DrbdMirrorConfig;
class GlobalConfig;
class HeartBeatGlobalConfig;
class HeartBeatLinkConfig;
class AlarmExecConfig;
class SendEmailAlarmConfig;
class CustomAlarmConfig;
class ClientSetting;
class ConfigManager;

// A live list of the manager, held under the manager's lock for the life of
// this object: the way to read, append to, erase from or sort a list while
// other threads use the manager. Save() writes the kind's file with the lock
// still held. While an edit is open its thread must not call the manager
// (the lock is not recursive): use the list given here.
//
//   ConfigListEdit<IPResourceConfig> edit = ConfigManager::Instance()->EditIPConfig();
//   edit->push_back(record);
//   edit.Save();
template <class T>
class ConfigListEdit : Framework::NonCopyable {
 public:
  std::vector<T*>& List() { return *_list; }
  std::vector<T*>* operator->() { return _list; }
  std::vector<T*>& operator*() { return *_list; }
  // Writes the kind's file now; throws Exception* "IO" when it could not be written.
  void Save() { _save(); }

 private:
  friend class ConfigManager;
  // Locks, then loads the list if needed (a failed load unlocks and throws).
  ConfigListEdit(Framework::Mutex& mutex, const std::function<std::vector<T*>*()>& load, std::function<void()> save)
      : _guard(mutex), _list(load()), _save(std::move(save)) {}

  Framework::MutexGuard _guard;
  std::vector<T*>* _list;
  std::function<void()> _save;
};

// The process-wide store of every configuration record of the daemon. Each
// kind is loaded on first use and kept for the life of the process; callers
// get the manager's own lists and records. Records guard their own fields;
// the manager's one mutex guards the lists, every load and every file write,
// and is the innermost lock: while holding it the manager calls nothing that
// takes another lock except the records' own.
//
// Saves throw Exception* "IO" when the file could not be written; the
// records in memory keep their values.
class ConfigManager : Framework::NonCopyable {
 public:
  // The daemon's manager, created on first use; never destroyed.
  static ConfigManager* Instance();

  // A manager of the program directory in force (Convert::GetAppPath). The
  // daemon uses Instance(); tests make their own.
  ConfigManager();
  // Frees every cached list and record.
  ~ConfigManager();

  void SetShutdownFlag();
  bool GetShutdownFlag();

  // Loads every configuration file of configs/ that is not loaded yet (the
  // global settings, hb.cfg, the alarm files and the ten lists), writing the
  // defaults where the loaders do. A file that cannot be used throws
  // Exception* (its code, mostly "FORM_ERR") whose message names the file
  // and the loader's reason; that file is left as it was. The daemon calls
  // it before its machine starts, so that it never runs on a part of its
  // configuration.
  void LoadAll();
  // What the loads replaced by defaults (a file kept beside as .bad), one
  // text each, in order; taken once.
  std::vector<std::string> TakeNotices();

  // ---- the ten list kinds ------------------------------------------------
  // Loaders: the live list, read from its file on first use (a missing file
  // is an empty list). A file that is not a whole number of records throws
  // Exception* "FORM_ERR" and the kind stays unloaded.
  // Reading the returned list while other threads may change it must go
  // through the kind's Edit...() instead.
  std::vector<IPResourceConfig*>* GetIPConfig();
  std::vector<ProgramResConfig*>* GetProgramConfig();
  std::vector<ServiceResConfig*>* GetServiceConfig();
  std::vector<CustomResConfig*>* GetCustomConfig();
  std::vector<DiskVolumeResConfig*>* GetDiskVolumeConfig();
  std::vector<FileShareResConfig*>* GetFileShareConfig();
  std::vector<DrbdResConfig*>* GetDrbdResConfig();
  std::vector<AliasResConfig*>* GetAliasConfig();
  std::vector<ResourceTreeConfig*>* GetResourceTreeConfig();
  std::vector<DrbdMirrorConfig*>* GetDrbdMirrorConfig();

  // The live list under the manager's lock (loaded first if needed).
  ConfigListEdit<IPResourceConfig> EditIPConfig();
  ConfigListEdit<ProgramResConfig> EditProgramConfig();
  ConfigListEdit<ServiceResConfig> EditServiceConfig();
  ConfigListEdit<CustomResConfig> EditCustomConfig();
  ConfigListEdit<DiskVolumeResConfig> EditDiskVolumeConfig();
  ConfigListEdit<FileShareResConfig> EditFileShareConfig();
  ConfigListEdit<DrbdResConfig> EditDrbdResConfig();
  ConfigListEdit<AliasResConfig> EditAliasConfig();
  ConfigListEdit<ResourceTreeConfig> EditResourceTreeConfig();
  ConfigListEdit<DrbdMirrorConfig> EditDrbdMirrorConfig();

  // The first record of the kind with that id, or null (loads the kind first).
  IPResourceConfig* GetIPResConfigById(unsigned int id);
  ProgramResConfig* GetProgramResConfigById(unsigned int id);
  ServiceResConfig* GetServiceResConfigById(unsigned int id);
  CustomResConfig* GetCustomResConfigById(unsigned int id);
  DiskVolumeResConfig* GetDiskVolumeResConfigById(unsigned int id);
  FileShareResConfig* GetFileShareResConfigById(unsigned int id);
  DrbdResConfig* GetDrbdResConfigById(unsigned int id);
  AliasResConfig* GetAliasResConfigById(unsigned int id);

  // Write the whole list to its file; nothing when the kind was never loaded.
  void SaveIPConfig();
  void SaveProgramConfig();
  void SaveBothProgramConfig();  // the same as SaveProgramConfig
  void SaveServiceConfig();
  void SaveCustomConfig();
  void SaveDiskVolumeConfig();
  void SaveFileShareConfig();
  void SaveDrbdResConfig();
  void SaveAliasResConfig();
  void SaveResourceTreeConfig();
  void SaveDrbdMirrorConfig();

  // Remove and destroy the first record with that id and save the kind;
  // nothing when there is none or the kind was never loaded. A removed record
  // must no longer be in use anywhere.
  void RemoveIPResConfigById(unsigned int id);
  void RemoveProgramResConfigById(unsigned int id);
  void RemoveServiceResConfigById(unsigned int id);
  void RemoveCustomResConfigById(unsigned int id);
  void RemoveDiskVolumeResConfigById(unsigned int id);
  void RemoveFileShareResConfigById(unsigned int id);
  void RemoveDrbdResConfigById(unsigned int id);
  void RemoveAliasResConfigById(unsigned int id);

  // The mirror whose name equals name exactly, or null.
  DrbdMirrorConfig* GetDrbdMirrorConfigByPacketName(std::string name);
  // Removes and destroys the first mirror of that name, then saves the
  // mirror file (also when none was removed); nothing when never loaded.
  void RemoveDrbdMirrorConfigByName(std::string name);
  // Appends record (the manager takes it over) and saves the mirror file.
  void CreateDrbdMirrorConfig(DrbdMirrorConfig* record);

  // ---- global settings (configs/global_config.cfg) -----------------------
  // The cached record, never null. When the file is missing or unreadable,
  // or its text has the wrong number of lines, the record holds the
  // defaults (GlobalConfig::IsFromDefaults), an unusable file is kept as
  // global_config.cfg.bad (with a notice, see TakeNotices), and the defaults
  // are written. A number that is not one or lies outside the range the
  // console accepts throws Exception* "FORM_ERR"; the file stays as it is.
  GlobalConfig* GetGC();
  // Writes the cached record; nothing before GetGC.
  void SaveCrtGC();
  // Destroys the cached record: pointers handed out before are invalid.
  void RefreshGC();

  // ---- heartbeat (configs/hb.cfg) ----------------------------------------
  // Both are loaded together; a missing file gives the defaults, written
  // back at once. A file cut short, or a number that is not one or lies
  // outside its field's range, throws Exception* "FORM_ERR"; a later load
  // copies its values into the settings record handed out before.
  HeartBeatGlobalConfig* GetHeartBeatGlobalConfig();
  std::vector<HeartBeatLinkConfig*>* GetHeartBeatLinkConfig();
  ConfigListEdit<HeartBeatLinkConfig> EditHeartBeatLinkConfig();
  HeartBeatLinkConfig* GetHeartBeatLinkConfigById(int id);
  HeartBeatLinkConfig* GetHeartBeatLinkConfigByType(int type);
  // The settings and every link; nothing before both were loaded.
  void SaveHeartBeatConfig();

  // ---- alarms (configs/alarm.cfg, configs/custom_alarm.cfg) --------------
  // One record per alarm kind (at least 17, list position = kind). A file
  // that cannot be read or is cut short is kept as alarm.cfg.bad (with a
  // notice) and what it lacks comes from the defaults; a number that is not
  // one or does not fit its field throws Exception* "FORM_ERR".
  std::vector<AlarmExecConfig*>* GetAlarmExecConfig();
  ConfigListEdit<AlarmExecConfig> EditAlarmExecConfig();
  SendEmailAlarmConfig* GetSendEmailAlarmConfig();
  // The e-mail record and the per-kind list; nothing before they were loaded.
  void SaveAlarmConfig();
  CustomAlarmConfig* GetCustomAlarmConfig();
  // Nothing before the record was loaded.
  void SaveCustomAlarmConfig();

  // ---- client settings (client_setting.cfg in the program directory) ----
  ClientSetting* GetClientSetting();
  void SaveClientSetting();

  // ---- backups, dump files, start flag, recent alarms --------------------
  // Deletes every *.dmp of the program directory.
  void ClearDmp();
  // Deletes every *.cfg of configs/.
  void ClearConfig();
  // A backup name goes into a file name and, quoted, onto command lines
  // (never through a shell): it must not be empty, longer than 200 bytes,
  // begin with '.' or '-', or hold '/', control characters, quotes or shell
  // metacharacters. Blanks and parentheses are allowed.
  static bool IsValidBackupName(const std::string& name);
  // The message of a refused backup name.
  static const char* const BAD_BACKUP_NAME;
  // Packs every configs/*.cfg into backup_configs/<name>.cbak (mode 0600:
  // it holds digests and keys), replacing an archive of that name. Throws Exception* "FORM_ERR" for a bad name,
  // "IO_ERR" when the folder cannot be made or packing fails.
  void BackupConfig(std::string name);
  // Replaces the *.cfg files of configs/ by those of the backup: the archive
  // is unpacked into a staging folder first, and configs/ is changed only
  // when that worked. Returns false (configs/ untouched) for a bad name, a
  // missing or unreadable archive or one without *.cfg files. Throws nothing.
  bool ResuemBackupConfig(std::string name);
  // Deletes the backup's archive; a missing one is no error. Throws
  // Exception* "FORM_ERR" for a bad name.
  void DeleteBackup(std::string name);
  // The backup archives (*.cbak), unsorted.
  std::vector<Framework::__OXFile> ListBackupCfg();
  // False also for a bad name.
  bool IsBackupCfgExist(std::string name);
  // Writes log/recent_alarm.log, one alarm per line (a CR or LF inside a
  // text is written as a blank). Throws Exception* "IO" when it fails.
  void SaveRecentAlarmObj(std::vector<Entity::AlarmObj*>& alarms);
  // The alarms of log/recent_alarm.log in file order, owned by the caller; a
  // line that cannot be read is skipped.
  std::vector<Entity::AlarmObj*> GetRecentAlarmObj();
  // configs/ss_flag.cfg: "1" or "0". Throws Exception* "IO" when it fails.
  void SetSSFlag(bool flag);
  bool GetSSFlag();

 private:
  // One list kind: its cache and file.
  template <class T>
  struct _ListKind {
    std::vector<T*>* list;
    const char* file;  // relative to the program directory
    std::vector<T*>* (*build)(std::string text);
  };

  template <class T>
  std::vector<T*>* _LoadLocked(_ListKind<T>& kind);
  template <class T>
  std::vector<T*>* _Load(_ListKind<T>& kind);
  template <class T>
  void _SaveCommonResConfigs(_ListKind<T>& kind);
  template <class T>
  void _SaveCommonResConfigsLocked(_ListKind<T>& kind);
  template <class T>
  ConfigListEdit<T> _Edit(_ListKind<T>& kind);
  template <class T>
  T* _GetById(_ListKind<T>& kind, unsigned int id);
  template <class T>
  void _RemoveById(_ListKind<T>& kind, unsigned int id);
  template <class T>
  static T* GetCommonResById(unsigned int id, std::vector<T*>* list);
  template <class T>
  static bool _RemoveCommonResById(unsigned int id, std::vector<T*>* list);
  template <class T>
  static void _FreeList(std::vector<T*>*& list);

  // Writes text to the program directory + relative path (making its folder
  // when missing); throws Exception* "IO" when that fails.
  void _WriteFile(const std::string& relative, const std::string& text);

  void _SaveCrtGCLocked();
  void _LoadHBLLocked();
  void _SaveHeartBeatConfigLocked();
  void _LoadAlarmConfigLocked();
  void _SaveAlarmConfigLocked();
  void _SaveClientSettingLocked();

  std::string _GetConfigFolder();
  std::string _GetBackupFolder();
  void _DeleteMatching(const std::string& folder, const std::string& pattern);

  Framework::Mutex _mutex;
  std::atomic<bool> _shutdown;
  std::string _appPath;  // ends with '/'

  _ListKind<IPResourceConfig> _ip;
  _ListKind<ProgramResConfig> _program;
  _ListKind<ServiceResConfig> _service;
  _ListKind<DiskVolumeResConfig> _diskVolume;
  _ListKind<FileShareResConfig> _fileShare;
  _ListKind<AliasResConfig> _alias;
  _ListKind<CustomResConfig> _custom;
  _ListKind<DrbdResConfig> _drbdRes;
  _ListKind<ResourceTreeConfig> _tree;
  _ListKind<DrbdMirrorConfig> _mirror;

  HeartBeatGlobalConfig* _hbSettings;
  std::vector<HeartBeatLinkConfig*>* _hbLinks;
  std::vector<AlarmExecConfig*>* _alarmExec;
  SendEmailAlarmConfig* _emailAlarm;
  CustomAlarmConfig* _customAlarm;
  GlobalConfig* _gc;
  ClientSetting* _clientSetting;
  std::vector<std::string> _notices;  // under _mutex
};

}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
