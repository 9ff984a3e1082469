#include "admin/ConfigClient.h"

#include <cxxabi.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <vector>

#include "admin/AdminClock.h"
#include "admin/AdminContext.h"
#include "admin/AdminEditGuard.h"
#include "admin/ConsoleBody.h"
#include "admin/ConsoleEventPoster.h"
#include "admin/IAdminAlarms.h"
#include "admin/IAdminDiskLocks.h"
#include "admin/IAdminEvents.h"
#include "admin/IAdminHAMachine.h"
#include "admin/IAdminHeartBeat.h"
#include "admin/IAdminPeer.h"
#include "admin/IAdminTreeMachine.h"
#include "admin/LoginThrottle.h"
#include "config/AliasResConfig.h"
#include "config/ConfigManager.h"
#include "config/CustomResConfig.h"
#include "config/DiskVolumeResConfig.h"
#include "config/DrbdResConfig.h"
#include "config/FileShareResConfig.h"
#include "config/GlobalConfig.h"
#include "config/HeartBeatGlobalConfig.h"
#include "config/IPResourceConfig.h"
#include "config/ProgramResConfig.h"
#include "config/ResourceTreeConfig.h"
#include "config/ServiceResConfig.h"
#include "entity/RunningStatusEntity.h"
#include "framework/Convert.h"
#include "framework/EventManager.h"
#include "framework/Exception.h"
#include "framework/HostNameTool.h"
#include "framework/MD5.h"
#include "framework/MachineController.h"
#include "framework/MutexGuard.h"
#include "framework/ProcessManager.h"
#include "framework/Sleep.h"
#include "framework/__OXFile.h"
#include "protocol/IOXConnection.h"
#include "protocol/OXPack.h"
#include "resource/IResource.h"
#include "resource/ResourceTree.h"

namespace Oxbrindale {
namespace Velmora {
namespace Core {

using Config::ConfigManager;
using Framework::Convert;
using Framework::EventManager;
using Framework::MD5;
using Framework::MachineController;
using Framework::ProcessManager;
using Framework::__OXFile;
using OXProctol::IOXConnection;
using OXProctol::OXPack;

namespace {

const char* const kNoRight = "不具备操作权限!";
const char* const kShuttingDown = "正在关闭系统，无法执行请求！ SYSTEM IS SHUTING DOWN";
const char* const kUnknownCommand = "未知的操作元语";
const char* const kInternalError = "处理请求时发生内部错误！";
const char* const kWrongPassword = "登录密码错误！";
const char* const kNeedBackupName = "必须输入备份件名称！";
const char* const kProtocolVersion = "3.5";

typedef bool (ConfigClient::*Handler)(std::string body, std::string& result);

// One row of the command table: the word, the level it needs (checked before
// the handler), how the handler holds the admin edit lock, the handler (null
// while the command is not offered: "Not Support" after the level check).
struct CommandRow {
  const char* word;
  int16_t level;
  AdminEditGuard::Mode lock;
  Handler handler;
};

const int16_t NONE = ConfigClient::NO_LEVEL;
const AdminEditGuard::Mode FREE = AdminEditGuard::NONE;
const AdminEditGuard::Mode READ = AdminEditGuard::SHARED;
const AdminEditGuard::Mode EDIT = AdminEditGuard::EXCLUSIVE;

// In dispatch order.
const CommandRow kCommands[] = {
    {"DoVerifyVersion", NONE, FREE, &ConfigClient::_DoVerifyVersion},
    {"Login", NONE, FREE, &ConfigClient::_DoLogin},
    {"CHAT", 2, FREE, &ConfigClient::_DoChat},
    {"TAKE_OVER", 1, READ, nullptr},
    {"GET_RUNNING_STATUS", 2, FREE, &ConfigClient::_GetRunningStatus},
    {"GET_ALL_HB", 2, READ, nullptr},
    {"GET_HB_BY_ID", 2, READ, nullptr},
    {"GET_GLOBAL_HEART_BEAT_CFG", 2, READ, nullptr},
    {"SAVE_GLOBAL_HEART_BEAT_CFG", 0, EDIT, nullptr},
    {"INIT_THE_HOST_SIDE", 0, EDIT, &ConfigClient::_InitTheHostSide},
    {"SAVE_HEART_BEAT", 0, EDIT, nullptr},
    {"DELETE_HEART_BEAT", 0, EDIT, nullptr},
    {"CREATE_HEART_BEAT", 0, EDIT, nullptr},
    {"GET_STATIC_IP_LIST", 2, FREE, nullptr},
    {"GET_NETADAPTOR_ENTITY_LIST", 2, FREE, nullptr},
    {"GET_ALL_RESOURCE_TREE", 2, READ, &ConfigClient::_GetAllResourceTree},
    {"CREATE_RESOURCE_TREE", 0, EDIT, &ConfigClient::_CreateResourceTree},
    {"MODIFY_RESOURCE_TREE", 0, EDIT, &ConfigClient::_ModifyResourceTree},
    {"DELETE_RESOURCE_TREE", 0, EDIT, &ConfigClient::_DeleteResourceTree},
    {"START_RESOURCE_TREE_GOING", 0, EDIT, &ConfigClient::_StartResourceTreeGoing},
    {"STOP_RESOURCE_TREE_GOING", 0, EDIT, &ConfigClient::_StopResourceTreeGoing},
    {"CREATE_RESOURCE", 0, EDIT, &ConfigClient::_CreateResource},
    {"MODIFY_RESOURCE", 0, EDIT, &ConfigClient::_ModifyResource},
    {"DELETE_RESOURCE", 0, EDIT, &ConfigClient::_DeleteResource},
    {"SET_RESOURCE_CHECK", 0, EDIT, &ConfigClient::_SetResourceCheck},
    {"GET_DISK_LIST", 2, FREE, nullptr},
    {"GET_COMMON_ALARM_CONFIG", 2, READ, nullptr},
    {"GET_SLE_ALARM_STATU", 2, FREE, nullptr},
    {"GET_ALARM_EXEC_CONFIG", 2, READ, nullptr},
    {"SEND_TEST_EMAIL", 0, READ, nullptr},
    {"RESET_SLE_ALARM", 1, FREE, nullptr},
    {"SAVE_EMAIL_ALARM_CONFIG", 0, EDIT, nullptr},
    {"SAVE_CUSTOM_ALARM_CONFIG", 0, EDIT, nullptr},
    {"SAVE_ALARM_EXEC_CONFIG", 0, EDIT, nullptr},
    {"GET_RECENT_ALARM_OBJ", 2, FREE, nullptr},
    {"GET_GLOBAL_CONFIG", 0, READ, nullptr},
    {"SAVE_GLOBAL_CONFIG", 0, EDIT, nullptr},
    {"BE_TAKE_OVER", 1, READ, nullptr},
    {"JUST_STOP", 1, READ, nullptr},
    {"BACKUP_CFG", 0, EDIT, &ConfigClient::_BackupCfg},
    {"IS_BACKUP_CFG_EXIST", 0, READ, &ConfigClient::_IsBackupCfgExist},
    {"DELETE_BACKUP", 0, EDIT, &ConfigClient::_DeleteBackup},
    {"LIST_BACKUP_CFG", 0, READ, &ConfigClient::_ListBackupCfg},
    {"RESUME_BACKUP_CFG", 0, EDIT, &ConfigClient::_ResumeBackupCfg},
    {"CLEAR_CFG", 0, EDIT, &ConfigClient::_ClearCfg},
    {"ADD_RELY_ON", 0, EDIT, &ConfigClient::_AddRelyOn},
    {"REMOVE_RELY_ON", 0, EDIT, &ConfigClient::_RemoveRelyOn},
    {"GET_IP_RES_CONFIG", 0, READ, nullptr},
    {"IS_DRBD_READY_AND_GET_DISK_LIST", NONE, FREE, &ConfigClient::_NotSupport},
    {"GET_USED_DRBD_NUMBER", NONE, FREE, &ConfigClient::_NotSupport},
    {"PRE_CHECK_DRBD_PACKET", NONE, FREE, &ConfigClient::_NotSupport},
    {"DO_CREATE_DRBD_PACKET", NONE, FREE, &ConfigClient::_NotSupport},
    {"DELETE_DRBD_PACKET", NONE, FREE, &ConfigClient::_NotSupport},
    {"PRE_DELETE_DRBD_PACKET_CHECK", NONE, FREE, &ConfigClient::_NotSupport},
    {"GET_DRBD_PACKET_LIST", NONE, FREE, &ConfigClient::_NotSupport},
    {"GET_DRBD_RT_DATA", NONE, FREE, &ConfigClient::_NotSupport},
    {"SET_BS_RESUME", 0, READ, nullptr},
    {"PRE_MODIFY_DRBD_CHECK", 0, READ, nullptr},
    {"MODIFY_DRBD_PACKET", 0, EDIT, nullptr},
    {"RETSET_RESOURCE_FSC", 0, EDIT, &ConfigClient::_ResetResourceFailureByPreStartCheckFlag},
};

// A challenge in [1, 2^31 - 1] from the kernel's random source.
uint64_t DrawChallenge() {
  for (;;) {
    uint32_t value = 0;
    ssize_t got = ::getrandom(&value, sizeof(value), 0);
    if (got != static_cast<ssize_t>(sizeof(value))) {
      if (got < 0 && errno != EINTR) throw new Exception("CLT", "无法生成登录校验码！");
      continue;
    }
    value &= 0x7fffffffu;
    if (value != 0) return value;
  }
}

}  // namespace

ConfigClient::ConfigClient(IOXConnection* connection, AdminContext* context, LoginThrottle* throttle)
    : _connection(connection),
      _context(context),
      _throttle(throttle),
      _address(connection->GetRemoteAddr()),
      _createdMs(AdminClock::NowMs()) {}

ConfigClient::~ConfigClient() = default;

void ConfigClient::SetLoggedIn(int16_t level) {
  if (_versionChecked.load() == 0) throw new Exception("CLT", "客户端未通过版本信息的校验，无法登录!");
  _level.store(level);
}

void ConfigClient::SendPushPack(const std::string& command, const std::string& body) {
  _connection->SendPack(new OXPack(OXPack::PackKind::PUSH, command, body));
}

void ConfigClient::ProcessPushPack(OXPack*) {}

void ConfigClient::Close() {
  _closing.store(true);
  _wake.Post();
  _connection->Disconnect();
}

bool ConfigClient::_NeedLevel(int16_t need) const {
  const uint16_t level = static_cast<uint16_t>(_level.load());
  switch (need) {
    case 0:
      return level == 0;
    case 1:
      return level <= 1;
    case 2:
      return level <= 2;
    case -1:
      return true;
    default:
      return false;
  }
}

void ConfigClient::ProcessRequestPack(OXPack* pack) {
  if (_closing.load()) return;
  if (_level.load() == -1 && ++_requestsBeforeLogin > _context->settings.maxRequestsBeforeLogin.load()) {
    EventManager::TrackLog("管理终端 " + _address + " 登录前请求过多，已断开连接");
    Close();
    return;
  }

  std::string result = kNoRight;
  bool succeeded = false;
  bool closeAfterReply = false;
  try {
    if (_context->machine != nullptr && _context->machine->IsEndRequested()) {
      result = kShuttingDown;
    } else {
      succeeded = _Dispatch(pack->command, pack->body, result);
    }
  } catch (Exception* e) {
    result = e->message;
    delete e;
    succeeded = false;
  } catch (abi::__forced_unwind&) {
    throw;  // a cancelled thread unwinds on
  } catch (...) {
    result = kInternalError;
    succeeded = false;
  }
  if (!succeeded && pack->command == "Login" && _loginFailures >= _context->settings.loginFailuresToClose.load()) {
    closeAfterReply = true;
  }
  _connection->SendResponsePack("RET", (succeeded ? "OK\n" : "ERROR\n") + result, pack->packId);
  if (closeAfterReply) Close();
}

bool ConfigClient::_Dispatch(const std::string& command, const std::string& body, std::string& result) {
  for (const CommandRow& row : kCommands) {
    if (command != row.word) continue;
    if (row.level != NO_LEVEL && !_NeedLevel(row.level)) return false;
    if (row.handler == nullptr) {
      result = "Not Support";
      return false;
    }
    AdminEditGuard guard(AdminEditLock::Instance(), row.lock);
    return (this->*row.handler)(body, result);
  }
  result = kUnknownCommand;
  return false;
}

// ---- version check and login ------------------------------------------------

bool ConfigClient::_DoVerifyVersion(std::string body, std::string& result) {
  result = kProtocolVersion;
  std::vector<std::string> pieces = Convert::tokenize(body, "|", false, "");
  if (pieces.empty() || pieces[0] != kProtocolVersion) return false;
  const uint64_t challenge = DrawChallenge();
  const std::string pairing = _context->store->GetGC()->GetConsoleText();
  _challenge.store(challenge);
  _versionChecked.store(1);
  result = MachineController::GetHostName() + "\n2\n" + pairing + "\n" + Convert::ToString(challenge);
  _connection->isUTF8.store(pieces.size() == 2 && pieces[1] == "utf-8" ? 1 : 0);
  return true;
}

bool ConfigClient::_DoLogin(std::string body, std::string& result) {
  std::vector<std::string> pieces = Convert::tokenize(body, "\n", false, "");
  if (pieces.size() != 2) return false;
  int16_t level;
  if (pieces[0] == "0") {
    level = 0;
  } else if (pieces[0] == "1") {
    level = 1;
  } else if (pieces[0] == "2") {
    level = 2;
  } else {
    result = "所指名要申请的权限错误！";
    return false;
  }
  if (_throttle->IsLocked(_address)) {
    // The address has used up its guesses: nothing is checked.
    result = kWrongPassword;
    _LoginFailed(false);
    return false;
  }
  const std::string digest = _context->store->GetGC()->GetDigest(level);
  const std::string expected = MD5(digest + Convert::ToString(_challenge.load())).toString();
  if (pieces[1] != expected) {
    result = kWrongPassword;
    _LoginFailed(true);
    return false;
  }
  SetLoggedIn(level);
  result = pieces[0] + "\n";
  return true;
}

void ConfigClient::_LoginFailed(bool counted) {
  ++_loginFailures;
  if (counted && _throttle->RecordFailure(_address)) {
    const std::string text = "管理终端IP:" + _address + " 登录失败次数过多，暂停其登录！";
    EventManager::TrackLog(text);
    if (_context->alarms != nullptr) _context->alarms->Raise(11, text);
  }
  const AdminSettings& settings = _context->settings;
  if (_loginFailures >= settings.loginFailuresToClose.load()) return;  // answered at once, then closed
  long long delay = settings.loginDelayStepMs.load() * _loginFailures;
  if (delay > settings.loginDelayMaxMs.load()) delay = settings.loginDelayMaxMs.load();
  if (delay > 0 && !_closing.load()) _wake.TimedWait(delay);
}

// ---- chat, status, host side --------------------------------------------------

bool ConfigClient::_DoChat(std::string body, std::string& result) {
  const long long now = AdminClock::NowMs();
  const long long window = _context->settings.chatWindowMs.load();
  while (!_chatTimes.empty() && now - _chatTimes.front() >= window) _chatTimes.pop_front();
  if (static_cast<long long>(_chatTimes.size()) >= _context->settings.chatPerWindow.load()) {
    result = "聊天消息发送过于频繁，请稍后再试！";
    return false;
  }
  _chatTimes.push_back(now);
  _context->events->Notify(-1, "CHAT", body);
  result.clear();
  return true;
}

bool ConfigClient::_GetRunningStatus(std::string, std::string& result) {
  Entity::RunningStatusEntity status = _context->machine->GetRunningStatus();
  result = status.ToString();
  return true;
}

bool ConfigClient::_InitTheHostSide(std::string, std::string& result) {
  Config::HeartBeatGlobalConfig* settings = _context->store->GetHeartBeatGlobalConfig();
  const uint16_t before = settings->GetHostRole();
  settings->SetHostRole(1);
  try {
    _context->store->SaveHeartBeatConfig();
  } catch (...) {
    settings->SetHostRole(before);  // the file still says what it said
    throw;
  }
  _context->heartBeat->OnHBListenPortModified();
  result.clear();
  return true;
}

bool ConfigClient::_NotSupport(std::string, std::string& result) {
  result = "Not Support";
  return false;
}

// ---- configuration backups ------------------------------------------------------

void ConfigClient::_CheckBackupName(const std::string& name) {
  if (!ConfigManager::IsValidBackupName(name)) throw new Exception("FORM_ERR", ConfigManager::BAD_BACKUP_NAME);
}

bool ConfigClient::_BackupCfg(std::string body, std::string& result) {
  if (body.empty()) {
    result = kNeedBackupName;
    return false;
  }
  _CheckBackupName(body);
  _context->store->BackupConfig(body);
  result.clear();
  return true;
}

bool ConfigClient::_IsBackupCfgExist(std::string body, std::string& result) {
  if (body.empty()) {
    result = kNeedBackupName;
    return false;
  }
  _CheckBackupName(body);
  result = _context->store->IsBackupCfgExist(body) ? "1" : "0";
  return true;
}

bool ConfigClient::_DeleteBackup(std::string body, std::string& result) {
  result.clear();
  if (body.empty()) return true;  // names no backup: nothing to delete
  _CheckBackupName(body);
  _context->store->DeleteBackup(body);
  return true;
}

bool ConfigClient::_ListBackupCfg(std::string, std::string& result) {
  result.clear();
  for (const __OXFile& file : _context->store->ListBackupCfg()) {
    if (file.name.empty() || file.name[0] == '.') continue;
    result += file.ToString();
    result += '\n';
  }
  if (!result.empty()) result.erase(result.size() - 1);
  return true;
}

bool ConfigClient::_ResumeBackupCfg(std::string body, std::string& result) {
  if (body.empty()) {
    result = kNeedBackupName;
    return false;
  }
  std::vector<std::string> pieces = Convert::tokenize(body, "|", false, "");
  if (pieces.size() != 2) throw new Exception("FORM_ERR", "提交的数据不合法！");
  const std::string& name = pieces[0];
  _CheckBackupName(name);
  if (!_context->store->IsBackupCfgExist(name)) throw new Exception("FORM_ERR", "指定的配置备份集不存在！");
  // The name holds no quote (checked above), so the quotes keep it one
  // argument whatever blanks it has.
  _StartRestartHelper(std::string("-resume_backup ") + (pieces[1] == "1" ? "-stop " : "-nonstop ") + "\"" + name +
                      "\"");
  result.clear();
  return true;
}

bool ConfigClient::_ClearCfg(std::string body, std::string& result) {
  _StartRestartHelper(std::string("-clear_backup ") + (body == "1" ? "-stop" : "-nonstop"));
  result.clear();
  return true;
}

void ConfigClient::_StartRestartHelper(const std::string& args) {
  const std::string program = Convert::GetAppPath() + "tarrowd";
  if (::access(program.c_str(), X_OK) != 0) throw new Exception("PROCESS", "无法启动程序：" + program);
  // No pipes, nothing inherited: the helper outlives this daemon.
  ProcessManager helper;
  if (helper.SimpleStartProcess(program, args) <= 0) throw new Exception("PROCESS", "无法启动程序：" + program);
}

// ---- resource trees, resources and dependencies ---------------------------------

namespace {

using Config::AliasResConfig;
using Config::ConfigListEdit;
using Config::CustomResConfig;
using Config::DiskVolumeResConfig;
using Config::DrbdResConfig;
using Config::FileShareResConfig;
using Config::IPResourceConfig;
using Config::IResourceConfig;
using Config::ProgramResConfig;
using Config::ResourceTreeConfig;
using Config::ServiceResConfig;
using Config::sResourceTreeRel;
using Resource::IResource;
using Resource::ResourceTree;

const char* const kNeedLink = "进行本操作必须维持至少一条心跳链路！";
const char* const kPeerMachineUnknown = "协商对机状态失败，对机可能正在进行操作或网络状态不稳定，请重新尝试！";
const char* const kTreeMoving = "当前资源树正在进行接管操作，无法操作资源！";
const char* const kPeerTreeUnsettled = "协商对机状态失败，对机可能正在进行操作，无法操作资源！";
const char* const kBusyRequest = "正忙! 请稍后再请求操作，后台正在执行关键操作...";
const char* const kBusy = "正忙! 请稍后再操作，后台正在执行关键操作...";
const char* const kTreeToModifyMissing = "无法根据资源树ID查找到要修改的资源树！";
const char* const kTreeMissing = "根据指定的树ID无法查找到资源树！";
const char* const kResourceMissing = "无法修改，因为不存在该资源！";
const char* const kUnknownKindModify = "无法识别的资源类型，修改资源失败！";
const char* const kBadAliasName = "计算机别名只能由字母、数字、“-”和“.”组成！";
const char* const kRelyBadForm = "协议字符串错误!";
const char* const kRelyResourceMissing = "无法查找到要修改的资源在资源树中！";
const unsigned kNoRelyOn = 999999;
// The peer questions of the edit guards.
const long kPeerMachineTimeoutMs = 3000;
const unsigned kPeerTreeWaitMs = 500;
const long kPeerTreeTimeoutMs = 1000;
// A deleted tree's record is freed once the tree has ended and no one else
// holds it; past this bound it is left to its last holder.
const long kDeletedTreeWaitMs = 30000;

// The tree mutex for a scope.
class TreeLock : Framework::NonCopyable {
 public:
  explicit TreeLock(ResourceTree* tree) : _tree(tree) { _tree->Lock(); }
  ~TreeLock() { Unlock(); }
  void Unlock() {
    if (_tree == nullptr) return;
    _tree->UnLock();
    _tree = nullptr;
  }

 private:
  ResourceTree* _tree;
};

bool IsResourceKind(long long kind) { return (kind >= 0 && kind <= 6) || kind == 8; }

// Services and file shares are stored and served only: a tree runs no
// resource for them.
bool HasRunningResource(long long kind) {
  return IsResourceKind(kind) && kind != Config::RES_KIND_SERVICE && kind != Config::RES_KIND_FILE_SHARE;
}

// A new record of kind read from lines at index (the parser's "FORM_ERR" when
// they run out); null for a kind without records.
IResourceConfig* ParseRecord(long long kind, std::vector<std::string>& lines, unsigned int index) {
  switch (kind) {
    case Config::RES_KIND_DISK_VOLUME:
      return new DiskVolumeResConfig(&lines, &index);
    case Config::RES_KIND_IP:
      return new IPResourceConfig(&lines, &index);
    case Config::RES_KIND_ALIAS:
      return new AliasResConfig(&lines, &index);
    case Config::RES_KIND_SERVICE:
      return new ServiceResConfig(&lines, &index);
    case Config::RES_KIND_PROGRAM:
      return new ProgramResConfig(&lines, &index);
    case Config::RES_KIND_CUSTOM:
      return new CustomResConfig(&lines, &index);
    case Config::RES_KIND_FILE_SHARE:
      return new FileShareResConfig(&lines, &index);
    case Config::RES_KIND_DRBD:
      return new DrbdResConfig(&lines, &index);
    default:
      return nullptr;
  }
}

// Gives record the next configuration id of its list (the first is 0),
// appends it and saves the kind's file; on failure the list is as before and
// the exception passes on.
template <class T>
void AppendRecord(ConfigListEdit<T> edit, IResourceConfig* record) {
  int largest = -1;
  for (T* stored : edit.List()) largest = std::max(largest, stored->GetId());
  record->SetId(largest + 1);
  edit->push_back(static_cast<T*>(record));
  try {
    edit.Save();
  } catch (...) {
    edit->pop_back();
    throw;
  }
}

void AppendRecord(ConfigManager* store, long long kind, IResourceConfig* record) {
  switch (kind) {
    case Config::RES_KIND_DISK_VOLUME:
      return AppendRecord(store->EditDiskVolumeConfig(), record);
    case Config::RES_KIND_IP:
      return AppendRecord(store->EditIPConfig(), record);
    case Config::RES_KIND_ALIAS:
      return AppendRecord(store->EditAliasConfig(), record);
    case Config::RES_KIND_SERVICE:
      return AppendRecord(store->EditServiceConfig(), record);
    case Config::RES_KIND_PROGRAM:
      return AppendRecord(store->EditProgramConfig(), record);
    case Config::RES_KIND_CUSTOM:
      return AppendRecord(store->EditCustomConfig(), record);
    case Config::RES_KIND_FILE_SHARE:
      return AppendRecord(store->EditFileShareConfig(), record);
    case Config::RES_KIND_DRBD:
      return AppendRecord(store->EditDrbdResConfig(), record);
    default:
      throw new Exception("FORM_ERR", kUnknownKindModify);
  }
}

// Takes record out of its list again and saves the kind's file; the caller
// owns it afterwards. Best effort: a failing save is only traced.
template <class T>
void TakeOutRecord(ConfigListEdit<T> edit, IResourceConfig* record) {
  std::vector<T*>& list = edit.List();
  list.erase(std::remove(list.begin(), list.end(), static_cast<T*>(record)), list.end());
  try {
    edit.Save();
  } catch (Exception* e) {
    EventManager::TrackLog("撤销新建资源时保存配置失败：" + e->message);
    delete e;
  }
}

void TakeOutRecord(ConfigManager* store, long long kind, IResourceConfig* record) {
  switch (kind) {
    case Config::RES_KIND_DISK_VOLUME:
      return TakeOutRecord(store->EditDiskVolumeConfig(), record);
    case Config::RES_KIND_IP:
      return TakeOutRecord(store->EditIPConfig(), record);
    case Config::RES_KIND_ALIAS:
      return TakeOutRecord(store->EditAliasConfig(), record);
    case Config::RES_KIND_SERVICE:
      return TakeOutRecord(store->EditServiceConfig(), record);
    case Config::RES_KIND_PROGRAM:
      return TakeOutRecord(store->EditProgramConfig(), record);
    case Config::RES_KIND_CUSTOM:
      return TakeOutRecord(store->EditCustomConfig(), record);
    case Config::RES_KIND_FILE_SHARE:
      return TakeOutRecord(store->EditFileShareConfig(), record);
    case Config::RES_KIND_DRBD:
      return TakeOutRecord(store->EditDrbdResConfig(), record);
    default:
      return;
  }
}

IResourceConfig* FindRecord(ConfigManager* store, long long kind, unsigned int id) {
  switch (kind) {
    case Config::RES_KIND_DISK_VOLUME:
      return store->GetDiskVolumeResConfigById(id);
    case Config::RES_KIND_IP:
      return store->GetIPResConfigById(id);
    case Config::RES_KIND_ALIAS:
      return store->GetAliasResConfigById(id);
    case Config::RES_KIND_SERVICE:
      return store->GetServiceResConfigById(id);
    case Config::RES_KIND_PROGRAM:
      return store->GetProgramResConfigById(id);
    case Config::RES_KIND_CUSTOM:
      return store->GetCustomResConfigById(id);
    case Config::RES_KIND_FILE_SHARE:
      return store->GetFileShareResConfigById(id);
    case Config::RES_KIND_DRBD:
      return store->GetDrbdResConfigById(id);
    default:
      return nullptr;
  }
}

void SaveKind(ConfigManager* store, long long kind) {
  switch (kind) {
    case Config::RES_KIND_DISK_VOLUME:
      return store->SaveDiskVolumeConfig();
    case Config::RES_KIND_IP:
      return store->SaveIPConfig();
    case Config::RES_KIND_ALIAS:
      return store->SaveAliasResConfig();
    case Config::RES_KIND_SERVICE:
      return store->SaveServiceConfig();
    case Config::RES_KIND_PROGRAM:
      return store->SaveProgramConfig();
    case Config::RES_KIND_CUSTOM:
      return store->SaveCustomConfig();
    case Config::RES_KIND_FILE_SHARE:
      return store->SaveFileShareConfig();
    case Config::RES_KIND_DRBD:
      return store->SaveDrbdResConfig();
    default:
      return;
  }
}

// The checks of an alias the console hands in: the record's own, then the
// host-name rule (a name /bin/hostname refuses would only fail at start).
void ValidateAlias(AliasResConfig* alias) {
  alias->Validate();
  if (!HostNameTool::IsValidHostName(alias->GetAlias())) throw new Exception("FORM_ERR", kBadAliasName);
}

// Writes the alias into /etc/hosts for every address resource of relations
// that it names (an address record that is gone is skipped). Returns the
// in-tree id of the last such resource, or kNoRelyOn when there is none.
unsigned WriteAliasHosts(ConfigManager* store, AliasResConfig* alias, const std::vector<sResourceTreeRel>& relations,
                         bool* written) {
  unsigned relyOn = kNoRelyOn;
  for (const sResourceTreeRel& relation : relations) {
    if (relation.kind != Config::RES_KIND_IP ||
        relation.configId != static_cast<uint32_t>(alias->GetBoundIPResId())) {
      continue;
    }
    IPResourceConfig* address = store->GetIPResConfigById(relation.configId);
    if (address == nullptr) continue;
    HostNameTool::WriteEtcHost(alias->GetAlias(), address->GetAddress());
    if (written != nullptr) *written = true;
    relyOn = relation.inTreeId;
  }
  return relyOn;
}

// Line n (1 = first) of lines as an unsigned 32-bit number.
uint32_t UnsignedLine(const std::vector<std::string>& lines, size_t n) {
  return static_cast<uint32_t>(ConsoleBody::Number(lines[n - 1]));
}

}  // namespace

std::shared_ptr<ResourceTree> ConfigClient::_FindTree(const std::string& guid, const char* notFound) {
  std::shared_ptr<ResourceTree> tree = _context->trees->FindResourceTreeByGuid(guid);
  if (tree == nullptr || tree->GetConfig() == nullptr) throw new Exception("FORM_ERR", notFound);
  return tree;
}

bool ConfigClient::_IsMachineRunning() {
  if (!_context->peer->HasUsableLink()) throw new Exception("FORM_ERR", kNeedLink);
  if (!_context->trees->IsRunningStatu()) return false;
  bool running = false;
  if (_context->peer->GetRemoteMachineIsRunningStatu(kPeerMachineTimeoutMs, running) != IAdminPeer::REQ_SUCCESS) {
    throw new Exception("FORM_ERR", kPeerMachineUnknown);
  }
  return running;
}

void ConfigClient::_MakeSureResourceTreeStatueStatu(ResourceTree* tree) {
  if (!ResourceTree::IsStableStatu(tree->GetStatu())) throw new Exception("FORM_ERR", kTreeMoving);
  if (!_context->peer->HasUsableLink()) throw new Exception("FORM_ERR", kNeedLink);
  int statu = -1;
  const int answer = _context->peer->GetTryWaitResourceTreeStableStatu(tree->GetConfig()->GetGuid(), kPeerTreeWaitMs,
                                                                      kPeerTreeTimeoutMs, statu);
  if (answer != IAdminPeer::REQ_SUCCESS || !ResourceTree::IsStableStatu(statu)) {
    throw new Exception("FORM_ERR", kPeerTreeUnsettled);
  }
}

bool ConfigClient::_GetAllResourceTree(std::string, std::string& result) {
  Framework::MutexGuard session(_sessionMutex);
  // Runs under the shared edit lock: no console adds or removes a tree or a
  // resource meanwhile, so the copied list and each tree's resources hold.
  result.clear();
  for (const std::shared_ptr<ResourceTree>& tree : _context->trees->GetResourceTrees()) {
    if (tree == nullptr || tree->GetConfig() == nullptr) continue;
    result += tree->ToString();
    result += '\n';
  }
  if (!result.empty()) result.erase(result.size() - 1);
  return true;
}

bool ConfigClient::_CreateResourceTree(std::string body, std::string& result) {
  if (body.empty()) throw new Exception("FORM_ERR", ConsoleBody::SHORT_BODY);
  if (!_IsMachineRunning()) {
    result = kBusyRequest;
    return false;
  }
  std::vector<std::string> lines = Convert::tokenize(body, "\n", false, "");
  unsigned int index = 0;
  std::unique_ptr<ResourceTreeConfig> record(new ResourceTreeConfig(&lines, &index));
  if (record->GetName().empty()) throw new Exception("FORM_ERR", "你必须给资源树命名!");
  record->Validate();
  const std::string guid = record->GetGuid();
  if (guid.empty()) throw new Exception("FORM_ERR", ConsoleBody::SHORT_BODY);
  record->SetRelations(std::vector<sResourceTreeRel>());
  record->SetRunning(record->GetHome());
  record->SetGoing(true);
  record->SetNextInTreeId(0);
  {
    ConfigListEdit<ResourceTreeConfig> edit = _context->store->EditResourceTreeConfig();
    for (ResourceTreeConfig* stored : edit.List()) {
      // The GUID ties the tree to the peer's copy: it must be unique.
      if (stored->GetGuid() == guid) throw new Exception("FORM_ERR", ConsoleBody::SHORT_BODY);
    }
    record->SetId(static_cast<uint32_t>(ResourceTreeConfig::SelectMaxId(&edit.List()) + 1));
    edit->push_back(record.get());
    try {
      edit.Save();
    } catch (...) {
      edit->pop_back();
      throw;
    }
  }
  ResourceTreeConfig* stored = record.release();
  try {
    _context->trees->AddResourceTree(stored, false);
  } catch (...) {
    // No running tree uses the record: take it out again.
    ConfigListEdit<ResourceTreeConfig> edit = _context->store->EditResourceTreeConfig();
    std::vector<ResourceTreeConfig*>& list = edit.List();
    list.erase(std::remove(list.begin(), list.end(), stored), list.end());
    delete stored;
    try {
      edit.Save();
    } catch (Exception* e) {
      delete e;
    }
    throw;
  }
  ConsoleEventPoster::Post(_context->events, -1, "NOTIFY", "RES_TREE_CHANGED");
  result = Convert::ToString(stored->GetId());
  return true;
}

bool ConfigClient::_ModifyResourceTree(std::string body, std::string& result) {
  if (body.empty()) throw new Exception("FORM_ERR", ConsoleBody::SHORT_BODY);
  if (!_IsMachineRunning()) {
    result = kBusyRequest;
    return false;
  }
  std::vector<std::string> lines = Convert::tokenize(body, "\n", false, "");
  if (lines.size() != 4) throw new Exception("FORM_ERR", "协议字符串错误！");
  if (lines[1].empty()) throw new Exception("FORM_ERR", "资源树名称不能为空！");
  std::shared_ptr<ResourceTree> tree = _FindTree(lines[0], kTreeToModifyMissing);
  ResourceTreeConfig* config = tree->GetConfig();
  const std::string name = config->GetName();
  const bool takeBack = config->GetTakeBack();
  const bool home = config->GetHome();
  config->SetName(lines[1]);
  config->SetTakeBack(lines[2] == "true");
  config->SetHome(lines[3] == "true");
  try {
    _context->store->SaveResourceTreeConfig();
  } catch (...) {
    config->SetName(name);  // the record says what the file says
    config->SetTakeBack(takeBack);
    config->SetHome(home);
    throw;
  }
  ConsoleEventPoster::Post(_context->events, -1, "NOTIFY", "RES_TREE_CHANGED");
  result.clear();
  return true;
}

bool ConfigClient::_DeleteResourceTree(std::string body, std::string& result) {
  if (body.empty()) throw new Exception("FORM_ERR", ConsoleBody::SHORT_BODY);
  std::shared_ptr<ResourceTree> tree;
  ResourceTreeConfig* record = nullptr;
  {
    Framework::MutexGuard session(_sessionMutex);
    if (!_IsMachineRunning()) {
      result = kBusy;
      return false;
    }
    tree = _FindTree(body, kTreeToModifyMissing);
    if (tree->GetResourceCount() != 0) throw new Exception("STATU_ERR", "无法删除非空的资源树！");
    // Only a tree the machine gave up is ended.
    if (!_context->trees->RemoveResourceTree(tree)) throw new Exception("FORM_ERR", kTreeToModifyMissing);
    tree->DestoryTheTreeThread();
    record = tree->GetConfig();
    ConfigListEdit<ResourceTreeConfig> edit = _context->store->EditResourceTreeConfig();
    std::vector<ResourceTreeConfig*>& list = edit.List();
    auto position = std::find(list.begin(), list.end(), record);
    const bool listed = position != list.end();
    if (listed) position = list.erase(position);
    try {
      edit.Save();
    } catch (...) {
      // The file still holds the record: so does the list, which keeps it
      // for the ended tree.
      if (listed) list.insert(position, record);
      throw;
    }
  }
  // The record is freed once the tree has ended and this handle is the last.
  const long long deadline = AdminClock::NowMs() + kDeletedTreeWaitMs;
  while ((tree->GetStatu() != Resource::RES_TREE_ENDED || tree.use_count() > 1) && AdminClock::NowMs() < deadline) {
    Sleep(10);
  }
  if (tree->GetStatu() == Resource::RES_TREE_ENDED && tree.use_count() == 1) {
    tree.reset();
    delete record;
  } else {
    EventManager::TrackLog("资源树仍在使用中，其配置留给最后的使用者：" + record->GetGuid());
  }
  ConsoleEventPoster::Post(_context->events, -1, "NOTIFY", "RES_TREE_CHANGED");
  result.clear();
  return true;
}

bool ConfigClient::_StartResourceTreeGoing(std::string body, std::string& result) {
  if (body.empty()) throw new Exception("FORM_ERR", ConsoleBody::SHORT_BODY);
  std::shared_ptr<ResourceTree> tree = _FindTree(body, kTreeMissing);
  ResourceTreeConfig* config = tree->GetConfig();
  const bool running = config->GetRunning();
  const bool going = config->GetGoing();
  config->SetRunning(config->GetHome());
  config->SetGoing(true);
  try {
    _context->store->SaveResourceTreeConfig();
  } catch (...) {
    config->SetRunning(running);
    config->SetGoing(going);
    throw;
  }
  if (config->GetRunning()) _context->trees->OnStartResourceTreeGoing(tree);
  if (_context->alarms != nullptr) {
    _context->alarms->Raise(8, "管理终端用户，IP:" + _address + " 手动启动资源树\"" + config->GetName() +
                                   "\"并取消维护状态！");
  }
  ConsoleEventPoster::Post(_context->events, -1, "NOTIFY", "RES_TREE_CHANGED");
  result.clear();
  return true;
}

bool ConfigClient::_StopResourceTreeGoing(std::string body, std::string& result) {
  if (body.empty()) throw new Exception("FORM_ERR", ConsoleBody::SHORT_BODY);
  std::shared_ptr<ResourceTree> tree = _FindTree(body, kTreeMissing);
  ResourceTreeConfig* config = tree->GetConfig();
  if (config->GetGoing()) {
    config->SetGoing(false);
    try {
      _context->store->SaveResourceTreeConfig();
    } catch (...) {
      config->SetGoing(true);
      throw;
    }
  }
  // Not a user stop: a stop that fails applies the stop-failure action.
  if (config->GetRunning()) tree->StopTree(false);
  if (_context->alarms != nullptr) {
    _context->alarms->Raise(9, "管理终端用户，IP:" + _address + " 手动停止资源树\"" + config->GetName() +
                                   "\"并置于维护状态！");
  }
  ConsoleEventPoster::Post(_context->events, -1, "NOTIFY", "RES_TREE_CHANGED");
  result.clear();
  return true;
}

bool ConfigClient::_CreateResource(std::string body, std::string& result) {
  if (body.empty()) throw new Exception("FORM_ERR", ConsoleBody::SHORT_BODY);
  std::vector<std::string> lines = ConsoleBody::Lines(body, 3);
  const long long kind = ConsoleBody::Number(lines[1]);
  unsigned relyOn = UnsignedLine(lines, 3);
  std::shared_ptr<ResourceTree> tree = _FindTree(lines[0], kTreeMissing);
  _MakeSureResourceTreeStatueStatu(tree.get());
  if (relyOn != kNoRelyOn && tree->FindByInTreeId(relyOn) == nullptr) {
    throw new Exception("FORM_ERR", "指定了依赖节点，但是却无法检索到！");
  }
  ConfigManager* store = _context->store;
  ResourceTreeConfig* config = tree->GetConfig();
  {
    TreeLock lock(tree.get());
    if (!IsResourceKind(kind)) throw new Exception("FORM_ERR", "无法识别的资源类型，创建资源失败！");
    std::unique_ptr<IResourceConfig> record(ParseRecord(kind, lines, 3));
    record->SetManaged(1);
    if (kind == Config::RES_KIND_ALIAS) {
      ValidateAlias(static_cast<AliasResConfig*>(record.get()));
    } else {
      record->Validate();
    }

    AppendRecord(store, kind, record.get());
    const std::vector<sResourceTreeRel> relationsBefore = config->GetRelations();
    const uint32_t nextBefore = config->GetNextInTreeId();
    bool hostsWritten = false;
    bool treeSaved = false;
    try {
      if (kind == Config::RES_KIND_ALIAS) {
        const unsigned address =
            WriteAliasHosts(store, static_cast<AliasResConfig*>(record.get()), relationsBefore, &hostsWritten);
        if (address != kNoRelyOn) relyOn = address;
      }
      sResourceTreeRel relation;
      relation.kind = static_cast<uint32_t>(kind);
      relation.configId = static_cast<uint32_t>(record->GetId());
      relation.inTreeId = nextBefore;
      if (relyOn != kNoRelyOn) relation.relyOn.push_back(relyOn);
      std::vector<sResourceTreeRel> relations = relationsBefore;
      relations.push_back(relation);
      config->SetRelations(relations);
      config->SetNextInTreeId(nextBefore + 1);
      store->SaveResourceTreeConfig();
      treeSaved = true;
      tree->RefreshResourceRel(true);
    } catch (...) {
      // Back to the state before: the tree's record and file, the kind's
      // list and file, /etc/hosts.
      config->SetRelations(relationsBefore);
      config->SetNextInTreeId(nextBefore);
      if (treeSaved) {
        try {
          store->SaveResourceTreeConfig();
          tree->RefreshResourceRel(false);
        } catch (Exception* e) {
          delete e;
        }
      }
      TakeOutRecord(store, kind, record.get());
      if (hostsWritten) {
        try {
          HostNameTool::RemoveEtcHost(static_cast<AliasResConfig*>(record.get())->GetAlias());
        } catch (Exception* e) {
          delete e;
        }
      }
      throw;
    }
    record.release();  // the store's now
  }
  ConsoleEventPoster::Post(_context->events, -1, "NOTIFY", "RES_TREE_CHANGED");
  result.clear();
  return true;
}

bool ConfigClient::_ModifyResource(std::string body, std::string& result) {
  if (body.empty()) throw new Exception("FORM_ERR", ConsoleBody::SHORT_BODY);
  std::vector<std::string> lines = ConsoleBody::Lines(body, 3);
  const long long kind = ConsoleBody::Number(lines[1]);
  std::shared_ptr<ResourceTree> tree = _FindTree(lines[0], kTreeMissing);
  _MakeSureResourceTreeStatueStatu(tree.get());
  ConfigManager* store = _context->store;
  {
    TreeLock lock(tree.get());
    if (!IsResourceKind(kind)) throw new Exception("FORM_ERR", kUnknownKindModify);
    std::unique_ptr<IResourceConfig> fresh(ParseRecord(kind, lines, 2));
    const unsigned int id = static_cast<unsigned int>(fresh->GetId());
    // Only a resource of this tree is changed through it.
    bool inTree = false;
    for (const sResourceTreeRel& relation : tree->GetConfig()->GetRelations()) {
      if (relation.kind == static_cast<uint32_t>(kind) && relation.configId == id) inTree = true;
    }
    IResourceConfig* stored = inTree ? FindRecord(store, kind, id) : nullptr;
    IResource* resource = inTree ? tree->FindResourceById(static_cast<int>(kind), static_cast<int>(id)) : nullptr;
    if (stored == nullptr || (resource == nullptr && HasRunningResource(kind))) {
      throw new Exception("FORM_ERR", kResourceMissing);
    }

    if (kind == Config::RES_KIND_DISK_VOLUME) {
      static_cast<DiskVolumeResConfig*>(fresh.get())->Validate(static_cast<DiskVolumeResConfig*>(stored));
    } else if (kind == Config::RES_KIND_ALIAS) {
      ValidateAlias(static_cast<AliasResConfig*>(fresh.get()));
    } else {
      fresh->Validate();
    }

    std::unique_ptr<IResourceConfig> before(IResourceConfig::CloneResConfig(stored, static_cast<int>(kind)));
    if (resource == nullptr || !stored->IsKeyConfigChanged(*fresh)) {
      stored->CopyOf(*fresh);
      try {
        SaveKind(store, kind);
      } catch (...) {
        if (before != nullptr) stored->CopyOf(*before);
        throw;
      }
    } else {
      stored->SetManaged(1);
      resource->TrunNoneMode();
      Sleep(250);
      try {
        resource->Stop();
        stored->CopyOf(*fresh);
        SaveKind(store, kind);
      } catch (...) {
        if (before != nullptr) stored->CopyOf(*before);
        if (tree->GetStatu() == Resource::RES_TREE_RUNNING) resource->TrunTestMode();
        throw;
      }
      if (tree->GetStatu() == Resource::RES_TREE_RUNNING) resource->TrunTestMode();
    }
    if (kind == Config::RES_KIND_ALIAS) {
      WriteAliasHosts(store, static_cast<AliasResConfig*>(stored), tree->GetConfig()->GetRelations(), nullptr);
    }
  }
  ConsoleEventPoster::Post(_context->events, -1, "NOTIFY", "RES_TREE_CHANGED");
  result.clear();
  return true;
}

bool ConfigClient::_DeleteResource(std::string body, std::string& result) {
  if (body.empty()) throw new Exception("FORM_ERR", ConsoleBody::SHORT_BODY);
  std::vector<std::string> lines = ConsoleBody::Lines(body, 2);
  const uint32_t inTreeId = UnsignedLine(lines, 2);
  std::shared_ptr<ResourceTree> tree = _FindTree(lines[0], kTreeMissing);
  _MakeSureResourceTreeStatueStatu(tree.get());
  ConfigManager* store = _context->store;
  ResourceTreeConfig* config = tree->GetConfig();
  sResourceTreeRel removed;
  {
    TreeLock lock(tree.get());
    if (tree->HasRelyOnIt(inTreeId)) {
      throw new Exception("FORM_ERR", "存在依赖于你要删除资源的资源，请先删除其依赖关系再删除这个资源！");
    }
    const std::vector<sResourceTreeRel> before = config->GetRelations();
    std::vector<sResourceTreeRel> relations = before;
    auto found = std::find_if(relations.begin(), relations.end(),
                              [inTreeId](const sResourceTreeRel& relation) { return relation.inTreeId == inTreeId; });
    if (found == relations.end()) throw new Exception("FORM_ERR", "无法删除，因为不存在该资源！");
    removed = *found;
    relations.erase(found);
    config->SetRelations(relations);
    try {
      store->SaveResourceTreeConfig();
    } catch (...) {
      config->SetRelations(before);
      throw;
    }
    tree->RefreshResourceRel(false);
  }
  // The tree no longer refers to the record. When a step below fails the
  // record stays in its list, used by no tree.
  switch (removed.kind) {
    case Config::RES_KIND_DISK_VOLUME: {
      DiskVolumeResConfig* disk = store->GetDiskVolumeResConfigById(removed.configId);
      if (disk != nullptr && disk->GetLockMethod() != 0 && _context->diskLocks != nullptr) {
        _context->diskLocks->RemoveSCSI3Lock(disk->GetDiskId(), disk->GetLockMethod() == 2 ? 6 : 5);
      }
      store->RemoveDiskVolumeResConfigById(removed.configId);
      break;
    }
    case Config::RES_KIND_IP:
      store->RemoveIPResConfigById(removed.configId);
      break;
    case Config::RES_KIND_ALIAS: {
      AliasResConfig* alias = store->GetAliasResConfigById(removed.configId);
      if (alias != nullptr) HostNameTool::RemoveEtcHost(alias->GetAlias());
      store->RemoveAliasResConfigById(removed.configId);
      break;
    }
    case Config::RES_KIND_SERVICE:
      store->RemoveServiceResConfigById(removed.configId);
      break;
    case Config::RES_KIND_PROGRAM:
      store->RemoveProgramResConfigById(removed.configId);
      break;
    case Config::RES_KIND_CUSTOM:
      store->RemoveCustomResConfigById(removed.configId);
      break;
    case Config::RES_KIND_FILE_SHARE:
      store->RemoveFileShareResConfigById(removed.configId);
      break;
    case Config::RES_KIND_DRBD:
      store->RemoveDrbdResConfigById(removed.configId);
      break;
    default:
      ConsoleEventPoster::Post(_context->events, -1, "NOTIFY", "RES_TREE_CHANGED");
      throw new Exception("FORM_ERR", kUnknownKindModify);
  }
  ConsoleEventPoster::Post(_context->events, -1, "NOTIFY", "RES_TREE_CHANGED");
  result.clear();
  return true;
}

bool ConfigClient::_SetResourceCheck(std::string body, std::string& result) {
  if (body.empty()) throw new Exception("FORM_ERR", ConsoleBody::SHORT_BODY);
  std::vector<std::string> lines = ConsoleBody::Lines(body, 4);
  const int kind = static_cast<int>(ConsoleBody::Number(lines[1]));
  const int id = static_cast<int>(ConsoleBody::Number(lines[2]));
  std::shared_ptr<ResourceTree> tree = _FindTree(lines[0], kTreeMissing);
  tree->SetResourceCheck(lines[3] == "true", kind, id);
  ConsoleEventPoster::Post(_context->events, -1, "NOTIFY", "RES_TREE_CHANGED");
  result.clear();
  return true;
}

bool ConfigClient::_ResetResourceFailureByPreStartCheckFlag(std::string body, std::string& result) {
  if (body.empty()) throw new Exception("FORM_ERR", ConsoleBody::SHORT_BODY);
  std::vector<std::string> lines = ConsoleBody::Lines(body, 2, "协议错误。");
  uint32_t inTreeId = 0;
  try {
    inTreeId = UnsignedLine(lines, 2);
  } catch (Exception* e) {
    delete e;
    throw new Exception("FORM", "协议错误。");
  }
  std::shared_ptr<ResourceTree> tree = _FindTree(lines[0], kTreeMissing);
  _MakeSureResourceTreeStatueStatu(tree.get());
  bool cleared = false;
  {
    TreeLock lock(tree.get());
    for (Entity::ResourceEntity* resource : *tree->GetResourceList()) {
      if (resource->GetInTreeId() != inTreeId) continue;
      resource->SetCannotStart(false);
      cleared = true;
      break;
    }
  }
  if (cleared) ConsoleEventPoster::Post(_context->events, -1, "NOTIFY", "RES_TREE_CHANGED");
  result.clear();
  return true;
}

bool ConfigClient::_AddRelyOn(std::string body, std::string& result) {
  if (body.empty()) throw new Exception("FORM_ERR", ConsoleBody::SHORT_BODY);
  std::vector<std::string> lines = Convert::tokenize(body, "\n", false, "");
  if (lines.size() != 3) throw new Exception("FORM_ERR", kRelyBadForm);
  const uint32_t dependent = UnsignedLine(lines, 2);
  const uint32_t reliedOn = UnsignedLine(lines, 3);
  if (dependent == reliedOn) throw new Exception("FORM_ERR", "无法让自己依赖自己！");
  std::shared_ptr<ResourceTree> tree = _FindTree(lines[0], kTreeToModifyMissing);
  _MakeSureResourceTreeStatueStatu(tree.get());
  ResourceTreeConfig* config = tree->GetConfig();
  {
    Framework::MutexGuard session(_sessionMutex);
    TreeLock lock(tree.get());
    if (tree->FindByInTreeId(dependent) == nullptr || tree->FindByInTreeId(reliedOn) == nullptr) {
      throw new Exception("FORM_ERR", kRelyResourceMissing);
    }
    if (tree->HasLoopRelyOnIt(dependent, reliedOn)) {
      throw new Exception("FORM_ERR", "无法添加依赖关系，会造成存在循环依赖的错误！");
    }
    const std::vector<sResourceTreeRel> before = config->GetRelations();
    std::vector<sResourceTreeRel> relations = before;
    for (sResourceTreeRel& relation : relations) {
      if (relation.inTreeId != dependent) continue;
      if (std::find(relation.relyOn.begin(), relation.relyOn.end(), reliedOn) != relation.relyOn.end()) {
        throw new Exception("FORM_ERR", "无法添加依赖关系，已经存在这个依赖关系了！");
      }
      relation.relyOn.push_back(reliedOn);
      break;
    }
    config->SetRelations(relations);
    try {
      _context->store->SaveResourceTreeConfig();
    } catch (...) {
      config->SetRelations(before);
      throw;
    }
  }
  ConsoleEventPoster::Post(_context->events, -1, "NOTIFY", "RES_TREE_CHANGED");
  result.clear();
  return true;
}

bool ConfigClient::_RemoveRelyOn(std::string body, std::string& result) {
  if (body.empty()) throw new Exception("FORM_ERR", ConsoleBody::SHORT_BODY);
  std::vector<std::string> lines = Convert::tokenize(body, "\n", false, "");
  if (lines.size() != 3) throw new Exception("FORM_ERR", kRelyBadForm);
  const uint32_t dependent = UnsignedLine(lines, 2);
  const uint32_t reliedOn = UnsignedLine(lines, 3);
  std::shared_ptr<ResourceTree> tree = _FindTree(lines[0], kTreeToModifyMissing);
  _MakeSureResourceTreeStatueStatu(tree.get());
  ResourceTreeConfig* config = tree->GetConfig();
  {
    Framework::MutexGuard session(_sessionMutex);
    TreeLock lock(tree.get());
    if (tree->FindByInTreeId(dependent) == nullptr || tree->FindByInTreeId(reliedOn) == nullptr) {
      throw new Exception("FORM_ERR", kRelyResourceMissing);
    }
    const std::vector<sResourceTreeRel> before = config->GetRelations();
    std::vector<sResourceTreeRel> relations = before;
    for (sResourceTreeRel& relation : relations) {
      if (relation.inTreeId != dependent) continue;
      auto found = std::find(relation.relyOn.begin(), relation.relyOn.end(), reliedOn);
      if (found != relation.relyOn.end()) relation.relyOn.erase(found);
    }
    config->SetRelations(relations);
    try {
      _context->store->SaveResourceTreeConfig();
    } catch (...) {
      config->SetRelations(before);
      throw;
    }
  }
  ConsoleEventPoster::Post(_context->events, -1, "NOTIFY", "RES_TREE_CHANGED");
  result.clear();
  return true;
}

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale
