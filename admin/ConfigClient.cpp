#include "admin/ConfigClient.h"

#include <cxxabi.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <functional>
#include <memory>
#include <new>
#include <vector>

#include "admin/AdminContext.h"
#include "admin/AdminEditGuard.h"
#include "admin/AsyncDeleteHBLMat.h"
#include "admin/ConsoleBody.h"
#include "admin/ConsoleEventPoster.h"
#include "admin/IAdminAlarms.h"
#include "admin/IAdminConsoleListener.h"
#include "admin/IAdminDiskLocks.h"
#include "admin/IAdminEvents.h"
#include "admin/IAdminHAMachine.h"
#include "admin/IAdminHeartBeat.h"
#include "admin/IAdminNetwork.h"
#include "admin/IAdminPeer.h"
#include "admin/IAdminSplitBrain.h"
#include "admin/IAdminStorage.h"
#include "admin/IAdminTreeMachine.h"
#include "admin/LoginThrottle.h"
#include "alarm/AlarmManager.h"
#include "alarm/EmailAlarmExec.h"
#include "alarm/LogAlarmExec.h"
#include "alarm/SLEAAlarmExec.h"
#include "config/AlarmExecConfig.h"
#include "config/AliasResConfig.h"
#include "config/ConfigManager.h"
#include "config/CustomAlarmConfig.h"
#include "config/CustomResConfig.h"
#include "config/DiskVolumeResConfig.h"
#include "config/DrbdMirrorConfig.h"
#include "config/StrictReading.h"
#include "config/DrbdResConfig.h"
#include "config/FileShareResConfig.h"
#include "config/GlobalConfig.h"
#include "config/HeartBeatGlobalConfig.h"
#include "config/HeartBeatLinkConfig.h"
#include "config/IPResourceConfig.h"
#include "config/ProgramResConfig.h"
#include "config/ResourceTreeConfig.h"
#include "config/SendEmailAlarmConfig.h"
#include "config/ServiceResConfig.h"
#include "entity/AlarmObj.h"
#include "entity/HardDiskEntity.h"
#include "entity/RunningStatusEntity.h"
#include "entity/SLEAData.h"
#include "framework/MutexGuard.h"
#include "framework/OXThreadPool.h"
#include "resource/ResourceReaper.h"
#include "resource/ResourceTree.h"
#include "framework/Convert.h"
#include "framework/Env.h"
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

// Replaces the stored record with the one the body holds and saves it; a
// save that fails puts the stored record back and passes the failure on.
template <typename Record>
void ReplaceFromBody(std::string body, Record* stored, const std::function<void()>& save) {
  if (body.empty()) throw new Exception("FORM_ERR", ConsoleBody::SHORT_BODY);
  std::vector<std::string> lines = Convert::tokenize(body, "\n", false, "");
  unsigned int index = 0;
  Record parsed(&lines, &index);
  Record before;
  before.CopyOf(*stored);
  stored->CopyOf(parsed);
  try {
    save();
  } catch (...) {
    stored->CopyOf(before);
    throw;
  }
}

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

// In dispatch order. The takeover commands and the test mail wait for others
// (the machine, a tree's lock, a mail server) and take no edit lock: the
// trees they touch are held by handle and lock themselves, the mail settings
// are read under their own lock.
const CommandRow kCommands[] = {
    {"DoVerifyVersion", NONE, FREE, &ConfigClient::_DoVerifyVersion},
    {"Login", NONE, FREE, &ConfigClient::_DoLogin},
    {"CHAT", 2, FREE, &ConfigClient::_DoChat},
    {"TAKE_OVER", 1, FREE, &ConfigClient::_TakeOver},
    {"GET_RUNNING_STATUS", 2, FREE, &ConfigClient::_GetRunningStatus},
    {"GET_ALL_HB", 2, READ, &ConfigClient::_GetAllHeartBeat},
    {"GET_HB_BY_ID", 2, READ, &ConfigClient::_GetHeartBeatById},
    {"GET_GLOBAL_HEART_BEAT_CFG", 2, READ, &ConfigClient::_GetGlobalHeartBeatCfg},
    {"SAVE_GLOBAL_HEART_BEAT_CFG", 0, EDIT, &ConfigClient::_SaveGlobalHeartBeatCfg},
    {"INIT_THE_HOST_SIDE", 0, EDIT, &ConfigClient::_InitTheHostSide},
    {"SAVE_HEART_BEAT", 0, EDIT, &ConfigClient::_ModifyHeartBeat},
    {"DELETE_HEART_BEAT", 0, EDIT, &ConfigClient::_DeleteHeartBeat},
    {"CREATE_HEART_BEAT", 0, EDIT, &ConfigClient::_CreateHeartBeat},
    {"GET_STATIC_IP_LIST", 2, FREE, &ConfigClient::_GetStaticIPList},
    {"GET_NETADAPTOR_ENTITY_LIST", 2, FREE, &ConfigClient::_GetNetAdaptorEntityList},
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
    {"GET_DISK_LIST", 2, FREE, &ConfigClient::_GetDiskList},
    {"GET_COMMON_ALARM_CONFIG", 2, READ, &ConfigClient::_GetCommonAlarmConfig},
    {"GET_SLE_ALARM_STATU", 2, FREE, &ConfigClient::_GetSLEAlarmStatu},
    {"GET_ALARM_EXEC_CONFIG", 2, READ, &ConfigClient::_GetAlarmExecConfig},
    {"SEND_TEST_EMAIL", 0, FREE, &ConfigClient::_SendTestEmail},
    {"RESET_SLE_ALARM", 1, FREE, &ConfigClient::_ResetSLEAlarm},
    {"SAVE_EMAIL_ALARM_CONFIG", 0, EDIT, &ConfigClient::_SaveEmailAlarmConfig},
    {"SAVE_CUSTOM_ALARM_CONFIG", 0, EDIT, &ConfigClient::_SaveCustomAlarmConfig},
    {"SAVE_ALARM_EXEC_CONFIG", 0, EDIT, &ConfigClient::_SaveAlarmExecConfig},
    {"GET_RECENT_ALARM_OBJ", 2, FREE, &ConfigClient::_GetRecentAlarmObj},
    {"GET_GLOBAL_CONFIG", 0, READ, &ConfigClient::_GetGlobalConfig},
    {"SAVE_GLOBAL_CONFIG", 0, EDIT, &ConfigClient::_SaveGlobalConfig},
    {"BE_TAKE_OVER", 1, FREE, &ConfigClient::_BeTakeOver},
    {"JUST_STOP", 1, FREE, &ConfigClient::_JustStop},
    {"BACKUP_CFG", 0, EDIT, &ConfigClient::_BackupCfg},
    {"IS_BACKUP_CFG_EXIST", 0, READ, &ConfigClient::_IsBackupCfgExist},
    {"DELETE_BACKUP", 0, EDIT, &ConfigClient::_DeleteBackup},
    {"LIST_BACKUP_CFG", 0, READ, &ConfigClient::_ListBackupCfg},
    {"RESUME_BACKUP_CFG", 0, EDIT, &ConfigClient::_ResumeBackupCfg},
    {"CLEAR_CFG", 0, EDIT, &ConfigClient::_ClearCfg},
    {"ADD_RELY_ON", 0, EDIT, &ConfigClient::_AddRelyOn},
    {"REMOVE_RELY_ON", 0, EDIT, &ConfigClient::_RemoveRelyOn},
    {"GET_IP_RES_CONFIG", 0, READ, &ConfigClient::_GetIPResConfigList},
    {"IS_DRBD_READY_AND_GET_DISK_LIST", NONE, FREE, &ConfigClient::_NotSupport},
    {"GET_USED_DRBD_NUMBER", NONE, FREE, &ConfigClient::_NotSupport},
    {"PRE_CHECK_DRBD_PACKET", NONE, FREE, &ConfigClient::_NotSupport},
    {"DO_CREATE_DRBD_PACKET", NONE, FREE, &ConfigClient::_NotSupport},
    {"DELETE_DRBD_PACKET", NONE, FREE, &ConfigClient::_NotSupport},
    {"PRE_DELETE_DRBD_PACKET_CHECK", NONE, FREE, &ConfigClient::_NotSupport},
    {"GET_DRBD_PACKET_LIST", NONE, FREE, &ConfigClient::_NotSupport},
    {"GET_DRBD_RT_DATA", NONE, FREE, &ConfigClient::_NotSupport},
    {"SET_BS_RESUME", 0, READ, &ConfigClient::_SetBSResume},
    {"PRE_MODIFY_DRBD_CHECK", 0, READ, &ConfigClient::_PreModifyDrbdCheck},
    {"MODIFY_DRBD_PACKET", 0, EDIT, &ConfigClient::_ModifyDrbdPacket},
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
      _createdMs(Framework::Env::Get()->WaitClockMs()) {}

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
  const long long now = Framework::Env::Get()->WaitClockMs();
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

// A tree about to move or moving takes no edit: a start or stop that is
// queued counts as begun (the settled status), and the passes of a start or
// stop run on the resources' own threads, without the tree mutex.
void RequireSettled(ResourceTree* tree) {
  if (!ResourceTree::IsStableStatu(tree->GetSettledStatu())) throw new Exception("FORM_ERR", kTreeMoving);
}

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

// Takes the record with id out of its list and saves the kind's file (the
// record goes back when that fails). The record is freed once the resources
// that are going away have gone: a worker of one that outlived its time-out
// may still read it.
template <class T>
void ReleaseRecord(ConfigListEdit<T> edit, unsigned int id) {
  std::vector<T*>& list = edit.List();
  auto found = std::find_if(list.begin(), list.end(),
                            [id](T* record) { return static_cast<unsigned int>(record->GetId()) == id; });
  if (found == list.end()) return;
  T* record = *found;
  auto position = list.erase(found);
  try {
    edit.Save();
  } catch (...) {
    list.insert(position, record);
    throw;
  }
  Resource::ResourceReaper::After([record] { delete record; });
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
    if (HostNameTool::WriteEtcHost(alias->GetAlias(), address->GetAddress()) && written != nullptr) *written = true;
    relyOn = relation.inTreeId;
  }
  return relyOn;
}

// Takes the alias name out of /etc/hosts for the address of the address
// record it is bound to (nothing when that record is gone); the other names
// of the file stay.
void RemoveAliasHosts(ConfigManager* store, const std::string& name, int boundIPResId) {
  IPResourceConfig* address = store->GetIPResConfigById(static_cast<unsigned>(boundIPResId));
  if (address != nullptr) HostNameTool::RemoveEtcHost(name, address->GetAddress());
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
  RequireSettled(tree);
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
    record = tree->GetConfig();
    // The file first: a save that fails leaves the tree running and listed,
    // as the file still holds it.
    size_t at = 0;
    bool listed = false;
    {
      ConfigListEdit<ResourceTreeConfig> edit = _context->store->EditResourceTreeConfig();
      std::vector<ResourceTreeConfig*>& list = edit.List();
      auto position = std::find(list.begin(), list.end(), record);
      listed = position != list.end();
      if (listed) {
        at = static_cast<size_t>(position - list.begin());
        list.erase(position);
      }
      try {
        edit.Save();
      } catch (...) {
        if (listed) list.insert(list.begin() + static_cast<long>(at), record);
        throw;
      }
    }
    // Only a tree the machine gave up is ended; one it keeps keeps its record.
    if (!_context->trees->RemoveResourceTree(tree)) {
      if (listed) {
        ConfigListEdit<ResourceTreeConfig> edit = _context->store->EditResourceTreeConfig();
        std::vector<ResourceTreeConfig*>& list = edit.List();
        list.insert(list.begin() + static_cast<long>(std::min(at, list.size())), record);
        try {
          edit.Save();
        } catch (Exception* e) {
          EventManager::TrackLog("资源树配置无法保存：" + e->code + " " + e->message);
          delete e;
        }
      }
      throw new Exception("FORM_ERR", kTreeToModifyMissing);
    }
    tree->DestoryTheTreeThread();
  }
  // The record is freed once the tree has ended and this handle is the last.
  const long long deadline = Framework::Env::Get()->WaitClockMs() + kDeletedTreeWaitMs;
  while ((tree->GetStatu() != Resource::RES_TREE_ENDED || tree.use_count() > 1) &&
         Framework::Env::Get()->WaitClockMs() < deadline) {
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
    RequireSettled(tree.get());  // the guard's answer may be stale by now
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
          AliasResConfig* alias = static_cast<AliasResConfig*>(record.get());
          RemoveAliasHosts(store, alias->GetAlias(), alias->GetBoundIPResId());
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
    RequireSettled(tree.get());  // the guard's answer may be stale by now
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
      AliasResConfig* now = static_cast<AliasResConfig*>(stored);
      AliasResConfig* was = static_cast<AliasResConfig*>(before.get());
      // The name this alias wrote before goes when it is no longer its own.
      if (was != nullptr && (was->GetAlias() != now->GetAlias() || was->GetBoundIPResId() != now->GetBoundIPResId())) {
        RemoveAliasHosts(store, was->GetAlias(), was->GetBoundIPResId());
      }
      WriteAliasHosts(store, now, tree->GetConfig()->GetRelations(), nullptr);
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
    RequireSettled(tree.get());  // the guard's answer may be stale by now
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
      ReleaseRecord(store->EditDiskVolumeConfig(), removed.configId);
      break;
    }
    case Config::RES_KIND_IP:
      ReleaseRecord(store->EditIPConfig(), removed.configId);
      break;
    case Config::RES_KIND_ALIAS: {
      AliasResConfig* alias = store->GetAliasResConfigById(removed.configId);
      if (alias != nullptr) RemoveAliasHosts(store, alias->GetAlias(), alias->GetBoundIPResId());
      ReleaseRecord(store->EditAliasConfig(), removed.configId);
      break;
    }
    case Config::RES_KIND_SERVICE:
      ReleaseRecord(store->EditServiceConfig(), removed.configId);
      break;
    case Config::RES_KIND_PROGRAM:
      ReleaseRecord(store->EditProgramConfig(), removed.configId);
      break;
    case Config::RES_KIND_CUSTOM:
      ReleaseRecord(store->EditCustomConfig(), removed.configId);
      break;
    case Config::RES_KIND_FILE_SHARE:
      ReleaseRecord(store->EditFileShareConfig(), removed.configId);
      break;
    case Config::RES_KIND_DRBD:
      ReleaseRecord(store->EditDrbdResConfig(), removed.configId);
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
    RequireSettled(tree.get());  // the guard's answer may be stale by now
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
    RequireSettled(tree.get());  // the guard's answer may be stale by now
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
    RequireSettled(tree.get());  // the guard's answer may be stale by now
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

// ---- heartbeat configuration ------------------------------------------------------

namespace {

const char* const kSecret = "******";
const char* const kNoSuchLink = "查无此心跳连接";
const char* const kBadLinkId = "传入的ID非法！";
const char* const kRecordCut = "存储结构数据错误，无法从序列化数据中反序列化存储数据!";

// Lines first and first + 1 of text (the two keys of a link record, the
// password of the mail record: lines of one record never hold a line feed)
// read "******".
std::string MaskLines(const std::string& text, size_t first, size_t count) {
  std::vector<std::string> lines;
  size_t begin = 0;
  for (;;) {
    const size_t end = text.find('\n', begin);
    lines.push_back(text.substr(begin, end == std::string::npos ? std::string::npos : end - begin));
    if (end == std::string::npos) break;
    begin = end + 1;
  }
  std::string masked;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) masked += '\n';
    masked += (i >= first && i < first + count) ? std::string(kSecret) : lines[i];
  }
  return masked;
}

// Texts joined by "\n", no final "\n".
std::string JoinLines(const std::vector<std::string>& texts) {
  std::string joined;
  for (size_t i = 0; i < texts.size(); ++i) {
    if (i > 0) joined += '\n';
    joined += texts[i];
  }
  return joined;
}

// The checks of a link record from the console; each failure throws.
void CheckLinkRecord(const Config::HeartBeatLinkConfig& record) {
  if (record.GetKeyA().empty() || record.GetKeyB().empty()) throw new Exception("FORM_ERR", "通讯密钥串不能为空!");
  if (record.GetType() > 1) throw new Exception("FORM_ERR", "连接类型设置错误!");
  if (record.GetName().empty()) throw new Exception("FORM_ERR", "心跳连接名称不能为空!");
}

// The id of a GET_HB_BY_ID or DELETE_HEART_BEAT body; false when the body
// does not begin with a number that can be a link id.
bool ReadLinkId(const std::string& body, int* id) {
  long long value = 0;
  try {
    value = ConsoleBody::Number(body);
  } catch (Exception* e) {
    delete e;
    return false;
  }
  if (value < INT32_MIN || value > INT32_MAX) return false;
  *id = static_cast<int>(value);
  return true;
}

}  // namespace

bool ConfigClient::_GetAllHeartBeat(std::string, std::string& result) {
  Framework::MutexGuard guard(_sessionMutex);
  std::vector<std::string> texts = _context->heartBeat->GetLinkTexts();
  if (!_SeesSecrets()) {
    for (std::string& text : texts) text = MaskLines(text, 6, 2);
  }
  result = JoinLines(texts);
  return true;
}

bool ConfigClient::_GetHeartBeatById(std::string body, std::string& result) {
  int id = 0;
  std::string text;
  if (!ReadLinkId(body, &id) || !_context->heartBeat->GetLinkTextById(id, &text)) {
    result = kNoSuchLink;
    return false;
  }
  result = _SeesSecrets() ? text : MaskLines(text, 6, 2);
  return true;
}

bool ConfigClient::_GetGlobalHeartBeatCfg(std::string, std::string& result) {
  std::string text = _context->store->GetHeartBeatGlobalConfig()->ToString() + "\n";
  const std::string quorum = _context->store->GetGC()->GetQuorumDiskId();
  std::string disk;
  if (!quorum.empty() && _context->storage != nullptr) {
    std::unique_ptr<std::vector<Entity::HardDiskEntity*>> disks(_context->storage->GetHardDiskList());
    if (disks != nullptr) {
      for (Entity::HardDiskEntity* entity : *disks) {
        if (disk.empty() && entity != nullptr && entity->diskId == quorum) disk = entity->ToString();
      }
      for (Entity::HardDiskEntity* entity : *disks) delete entity;
    }
  }
  result = text + (disk.empty() ? std::string("0") : "1\n" + disk);
  return true;
}

bool ConfigClient::_SaveGlobalHeartBeatCfg(std::string body, std::string& result) {
  if (body.empty()) throw new Exception("FORM_ERR", ConsoleBody::SHORT_BODY);
  std::vector<std::string> lines = Convert::tokenize(body, "\n", false, "");
  unsigned int index = 0;
  std::unique_ptr<Config::HeartBeatGlobalConfig> parsed;
  {
    // A number must not wrap into another value (65557 is no port 21).
    Config::StrictReading strict(false);
    parsed.reset(new Config::HeartBeatGlobalConfig(&lines, &index));
  }
  if (index + 2 > lines.size()) throw new Exception("FORM_ERR", kRecordCut);
  parsed->Validate();
  const std::string quorum = lines[index];
  const std::string pairing = lines[index + 1];

  Config::HeartBeatGlobalConfig* settings = _context->store->GetHeartBeatGlobalConfig();
  Config::GlobalConfig* gc = _context->store->GetGC();
  const uint32_t oldPort = settings->GetPort();
  // What the store held, put back when a file cannot be written.
  Config::HeartBeatGlobalConfig before;
  before.CopyOf(*settings);
  const std::string oldQuorum = gc->GetQuorumDiskId();
  const std::string oldPairing = gc->GetConsoleText();

  const uint16_t hostRole = settings->GetHostRole();  // set only by INIT_THE_HOST_SIDE
  settings->CopyOf(*parsed);
  settings->SetHostRole(hostRole);
  if (quorum != oldQuorum) {
    std::printf("OriQuorum:%s\nNewQuorum:%s\n", oldQuorum.c_str(), quorum.c_str());
    gc->SetQuorumDiskId(quorum);
  }
  if (oldPairing.empty()) gc->SetConsoleText(pairing);
  try {
    _context->store->SaveHeartBeatConfig();
    _context->store->SaveCrtGC();
  } catch (...) {
    settings->CopyOf(before);
    gc->SetQuorumDiskId(oldQuorum);
    gc->SetConsoleText(oldPairing);
    throw;
  }
  if (settings->GetPort() != oldPort) _context->heartBeat->OnHBListenPortModified();
  result.clear();
  return true;
}

bool ConfigClient::_CreateHeartBeat(std::string body, std::string& result) {
  if (body.empty()) throw new Exception("FORM_ERR", ConsoleBody::SHORT_BODY);
  std::vector<std::string> lines = Convert::tokenize(body, "\n", false, "");
  unsigned int index = 0;
  std::unique_ptr<Config::HeartBeatLinkConfig> record(new Config::HeartBeatLinkConfig(&lines, &index));
  CheckLinkRecord(*record);
  Config::HeartBeatLinkConfig* added = record.get();
  {
    Config::ConfigListEdit<Config::HeartBeatLinkConfig> edit = _context->store->EditHeartBeatLinkConfig();
    std::vector<Config::HeartBeatLinkConfig*>& list = edit.List();
    added->SetId(Config::HeartBeatLinkConfig::SelectMaxId(&list) + 1);
    const std::vector<Config::HeartBeatLinkConfig*> old = list;
    list.push_back(record.release());
    // Links of equal order keep the order they were made in.
    std::stable_sort(list.begin(), list.end(), Config::HBL_LessCompressor);
    try {
      edit.Save();
    } catch (...) {
      list = old;
      delete added;
      throw;
    }
  }
  _context->heartBeat->AddHeartBeat(added);
  result.clear();
  return true;
}

bool ConfigClient::_ModifyHeartBeat(std::string body, std::string& result) {
  if (body.empty()) throw new Exception("FORM_ERR", ConsoleBody::SHORT_BODY);
  std::vector<std::string> lines = Convert::tokenize(body, "\n", false, "");
  unsigned int index = 0;
  Config::HeartBeatLinkConfig parsed(&lines, &index);
  CheckLinkRecord(parsed);
  const int id = parsed.GetId();
  bool changed = false;
  {
    Config::ConfigListEdit<Config::HeartBeatLinkConfig> edit = _context->store->EditHeartBeatLinkConfig();
    Config::HeartBeatLinkConfig* stored = nullptr;
    for (Config::HeartBeatLinkConfig* link : edit.List()) {
      if (link->GetId() == id) {
        stored = link;
        break;
      }
    }
    if (stored == nullptr) throw new Exception("FORM_ERR", "无法查找到心跳连接从指定的心跳连接ID！");
    changed = parsed.GetAddress() != stored->GetAddress() || parsed.GetSerialSetting() != stored->GetSerialSetting();
    const std::string oldKeyA = stored->GetKeyA(), oldKeyB = stored->GetKeyB(), oldName = stored->GetName(),
                      oldAddress = stored->GetAddress(), oldSerial = stored->GetSerialSetting();
    const int32_t oldOrder = stored->GetOrder();
    // Id and type of a link never change.
    stored->SetKeyA(parsed.GetKeyA());
    stored->SetKeyB(parsed.GetKeyB());
    stored->SetName(parsed.GetName());
    stored->SetAddress(parsed.GetAddress());
    stored->SetSerialSetting(parsed.GetSerialSetting());
    stored->SetOrder(parsed.GetOrder());
    try {
      edit.Save();
    } catch (...) {
      stored->SetKeyA(oldKeyA);
      stored->SetKeyB(oldKeyB);
      stored->SetName(oldName);
      stored->SetAddress(oldAddress);
      stored->SetSerialSetting(oldSerial);
      stored->SetOrder(oldOrder);
      throw;
    }
  }
  if (changed) _context->heartBeat->ReconnectLinkById(id);
  result.clear();
  return true;
}

bool ConfigClient::_DeleteHeartBeat(std::string body, std::string& result) {
  int id = 0;
  if (!ReadLinkId(body, &id) || id < 0) {
    result = kBadLinkId;
    return false;
  }
  Framework::IOXThreadPoolExec* job = nullptr;
  {
    Framework::MutexGuard guard(_sessionMutex);
    std::vector<std::unique_ptr<Config::HeartBeatLinkConfig>> erased;
    {
      Config::ConfigListEdit<Config::HeartBeatLinkConfig> edit = _context->store->EditHeartBeatLinkConfig();
      std::vector<Config::HeartBeatLinkConfig*>& list = edit.List();
      const std::vector<Config::HeartBeatLinkConfig*> old = list;
      for (auto at = list.begin(); at != list.end();) {
        if ((*at)->GetId() == id) {
          erased.emplace_back(*at);
          at = list.erase(at);
        } else {
          ++at;
        }
      }
      if (!erased.empty()) {
        try {
          edit.Save();
        } catch (...) {
          // The file still lists the link: it stays, and so does its record.
          for (auto& record : erased) record.release();
          list = old;
          throw;
        }
      }
    }
    // The store no longer names the link: take it out of the manager.
    std::function<void()> destroyLink = _context->heartBeat->RemoveHeartBeatLinkById(id);
    // A link takes its record with it; without a link the job frees it.
    Config::HeartBeatLinkConfig* record = erased.empty() || destroyLink ? nullptr : erased.back().release();
    if (destroyLink && !erased.empty()) erased.back().release();
    erased.clear();
    job = new AsyncDeleteHBLMat(destroyLink, record, _context->events);
  }
  try {
    if (_context->invokeJob) {
      _context->invokeJob(job);
    } else {
      Framework::OXThreadPool::Instance()->Invoke(job);
    }
  } catch (Exception* e) {
    // The pool would not take it: the link must not run on unowned.
    EventManager::TrackLog("心跳连接删除任务未能排队(" + e->message + ")，就地执行");
    delete e;
    job->Run();
    delete job;
  }
  result.clear();
  return true;
}

// ---- global configuration -----------------------------------------------------------

bool ConfigClient::_GetGlobalConfig(std::string, std::string& result) {
  result = _context->store->GetGC()->ToString();
  return true;
}

bool ConfigClient::_SaveGlobalConfig(std::string body, std::string& result) {
  std::unique_ptr<Config::GlobalConfig> read;
  {
    // A number must not wrap into another value (65557 is no port 21).
    Config::StrictReading strict(false);
    read.reset(new Config::GlobalConfig(body));
  }
  Config::GlobalConfig& parsed = *read;
  // A body of the wrong length reads as the built-in defaults: taking those
  // would reset every password, the port and the timings.
  if (parsed.IsFromDefaults()) throw new Exception("FORM_ERR", ConsoleBody::SHORT_BODY);
  parsed.DoValidation();

  Config::GlobalConfig* gc = _context->store->GetGC();
  const uint32_t oldDelay = gc->GetStartDelay();
  const uint32_t oldWait = gc->GetTakeoverWait();
  const uint16_t oldAction = gc->GetStopFailAction();
  const uint16_t oldPort = gc->GetConsolePort();
  std::string oldDigests[3];
  for (int level = 0; level < 3; ++level) oldDigests[level] = gc->GetDigest(level);

  gc->SetStartDelay(parsed.GetStartDelay());
  gc->SetTakeoverWait(parsed.GetTakeoverWait());
  gc->SetStopFailAction(parsed.GetStopFailAction());
  for (int level = 0; level < 3; ++level) {
    const std::string password = parsed.GetDigest(level);  // a plain password here
    if (!password.empty()) gc->SetDigest(level, MD5(password).toString());
  }
  const uint16_t port = parsed.GetConsolePort();
  const bool portChanged = port != oldPort;
  if (portChanged) gc->SetConsolePort(port);
  try {
    _context->store->SaveCrtGC();
  } catch (...) {
    gc->SetStartDelay(oldDelay);
    gc->SetTakeoverWait(oldWait);
    gc->SetStopFailAction(oldAction);
    gc->SetConsolePort(oldPort);
    for (int level = 0; level < 3; ++level) gc->SetDigest(level, oldDigests[level]);
    throw;
  }
  if (portChanged && (_context->consoleListener == nullptr || !_context->consoleListener->ResetListenPort(port))) {
    result = "所设置的配置端连入端口无法启动侦听，请立刻更改一个可以侦听的端口，否则可能导致以后无法登录！";
    return false;
  }
  result.clear();
  return true;
}

// ---- alarms -----------------------------------------------------------------------------

namespace {

const char* const kNoSLEA = "无法获得SLEA_DATA!";

Alarm::SLEAAlarmExec* SLEAExec(Alarm::AlarmManager* manager) {
  Alarm::SLEAAlarmExec* exec = manager != nullptr ? manager->GetSLEAAlarmExec() : nullptr;
  if (exec == nullptr) throw new Exception("ALARM", kNoSLEA);
  return exec;
}

}  // namespace

bool ConfigClient::_GetAlarmExecConfig(std::string, std::string& result) {
  std::vector<std::string> texts;
  {
    Config::ConfigListEdit<Config::AlarmExecConfig> edit = _context->store->EditAlarmExecConfig();
    for (Config::AlarmExecConfig* record : edit.List()) texts.push_back(record->ToString());
  }
  result = JoinLines(texts);
  return true;
}

bool ConfigClient::_SaveAlarmExecConfig(std::string body, std::string& result) {
  if (body.empty()) throw new Exception("FORM_ERR", ConsoleBody::SHORT_BODY);
  std::vector<std::string> lines = Convert::tokenize(body, "\n", false, "");
  const int kinds = 17;
  // One slot per kind, by each record's own kind; a later record of a kind
  // replaces an earlier one, a kind the body leaves out is logged only.
  std::vector<std::unique_ptr<Config::AlarmExecConfig>> slots(kinds);
  unsigned int index = 0;
  while (index < lines.size()) {
    std::unique_ptr<Config::AlarmExecConfig> record(new Config::AlarmExecConfig(&lines, &index));
    const int kind = record->GetKind();
    if (kind < 0 || kind >= kinds) throw new Exception("FORM_ERR", kRecordCut);
    slots[kind] = std::move(record);
  }
  for (int kind = 0; kind < kinds; ++kind) {
    if (!slots[kind]) slots[kind].reset(new Config::AlarmExecConfig(kind));
  }
  std::vector<Config::AlarmExecConfig*> replaced;
  {
    // Alarm raisers read the list under the same lock: none sees it half
    // replaced, and none still reads a record freed below.
    Config::ConfigListEdit<Config::AlarmExecConfig> edit = _context->store->EditAlarmExecConfig();
    std::vector<Config::AlarmExecConfig*>& list = edit.List();
    replaced = list;
    list.clear();
    for (auto& slot : slots) list.push_back(slot.release());
    try {
      edit.Save();
    } catch (...) {
      for (Config::AlarmExecConfig* record : list) delete record;
      list = replaced;
      throw;
    }
  }
  for (Config::AlarmExecConfig* record : replaced) delete record;
  result.clear();
  return true;
}

bool ConfigClient::_GetCommonAlarmConfig(std::string, std::string& result) {
  std::string mail = _context->store->GetSendEmailAlarmConfig()->ToString();
  if (!_SeesSecrets()) mail = MaskLines(mail, 3, 1);
  result = mail + "\n" + _context->store->GetCustomAlarmConfig()->ToString();
  return true;
}

bool ConfigClient::_SaveEmailAlarmConfig(std::string body, std::string& result) {
  ReplaceFromBody(body, _context->store->GetSendEmailAlarmConfig(), [this] { _context->store->SaveAlarmConfig(); });
  result.clear();
  return true;
}

bool ConfigClient::_SaveCustomAlarmConfig(std::string body, std::string& result) {
  ReplaceFromBody(body, _context->store->GetCustomAlarmConfig(), [this] { _context->store->SaveCustomAlarmConfig(); });
  result.clear();
  return true;
}

bool ConfigClient::_SendTestEmail(std::string, std::string& result) {
  Alarm::EmailAlarmExec* mail =
      _context->alarmManager != nullptr ? _context->alarmManager->GetEmailAlarmExec() : nullptr;
  try {
    if (mail == nullptr) throw new Exception("SMTP", "邮件告警不可用");
    mail->SendEmail("OXBRINDALE Tarrow 双机热备测试邮件",
                    "<strong>恭喜你，如果你收到了这封邮件，就代表您的Email发送设置已经配置好了！</strong>");
  } catch (Exception* e) {
    result = "发送测试邮件失败：" + e->message + ", 请检查你的配置，修改后重新尝试！";
    delete e;
    return false;
  }
  result.clear();
  return true;
}

bool ConfigClient::_GetSLEAlarmStatu(std::string, std::string& result) {
  result = SLEAExec(_context->alarmManager)->GetSLEAData()->ToString();
  return true;
}

bool ConfigClient::_ResetSLEAlarm(std::string, std::string& result) {
  SLEAExec(_context->alarmManager)->ResetSLEA();
  result.clear();
  return true;
}

bool ConfigClient::_GetRecentAlarmObj(std::string, std::string& result) {
  Alarm::LogAlarmExec* log = _context->alarmManager != nullptr ? _context->alarmManager->GetLogAlarmExec() : nullptr;
  std::vector<std::string> texts;
  if (log != nullptr) {
    for (Entity::AlarmObj& alarm : log->GetRecentLog()) texts.push_back(alarm.ToString());
  }
  result = JoinLines(texts);
  return true;
}

// ---- host information and DRBD --------------------------------------------------------------

bool ConfigClient::_GetDiskList(std::string, std::string& result) {
  std::unique_ptr<std::vector<Entity::HardDiskEntity*>> disks(
      _context->storage != nullptr ? _context->storage->GetHardDiskList() : nullptr);
  if (disks == nullptr) {
    result = "获取磁盘卷列表失败！";
    return false;
  }
  std::vector<std::string> texts;
  for (Entity::HardDiskEntity* disk : *disks) {
    if (disk != nullptr) texts.push_back(disk->ToString());
  }
  for (Entity::HardDiskEntity* disk : *disks) delete disk;
  result = JoinLines(texts);
  return true;
}

bool ConfigClient::_GetNetAdaptorEntityList(std::string, std::string& result) {
  result = _context->network != nullptr ? JoinLines(_context->network->GetAdaptorEntityTexts()) : std::string();
  return true;
}

bool ConfigClient::_GetStaticIPList(std::string, std::string& result) {
  std::vector<std::string> lines;
  if (_context->network != nullptr) {
    for (const std::vector<IAdminNetwork::Address>& addresses : _context->network->GetInterfaceAddresses()) {
      if (addresses.empty()) continue;
      // The static address with its own netmask; without one, "not set"
      // beside the netmask of the last address.
      std::string line = "not set/" + addresses.back().netmask;
      for (const IAdminNetwork::Address& address : addresses) {
        if (address.own) {
          line = address.address + "/" + address.netmask;
          break;
        }
      }
      lines.push_back(line);
    }
  }
  result = JoinLines(lines);
  return true;
}

bool ConfigClient::_GetIPResConfigList(std::string, std::string& result) {
  std::vector<std::string> texts;
  {
    Config::ConfigListEdit<Config::IPResourceConfig> edit = _context->store->EditIPConfig();
    for (Config::IPResourceConfig* record : edit.List()) texts.push_back(record->ToString());
  }
  result = JoinLines(texts);
  return true;
}

bool ConfigClient::_SetBSResume(std::string body, std::string& result) {
  std::vector<std::string> lines = ConsoleBody::Lines(body, 2);
  // Only the two sides exist: anything else would wait for ever.
  if (lines[1] != "0" && lines[1] != "1") throw new Exception("FORM_ERR", ConsoleBody::SHORT_BODY);
  if (_context->splitBrain == nullptr) throw new Exception("DRBD", "无法根据指定的包名查找到镜像包。");
  _context->splitBrain->BeginSetResumeBS(lines[0], lines[1] == "1" ? 1 : 0);
  result.clear();
  return true;
}

namespace {

// The mirror packet of a console body; the record parser's exception when
// the body holds no whole record.
std::unique_ptr<Config::DrbdMirrorConfig> ParseMirror(std::string body) {
  std::vector<std::string> lines = Convert::tokenize(body, "\n", false, "");
  unsigned int index = 0;
  return std::unique_ptr<Config::DrbdMirrorConfig>(new Config::DrbdMirrorConfig(&lines, &index));
}

}  // namespace

bool ConfigClient::_PreModifyDrbdCheck(std::string body, std::string& result) {
  std::unique_ptr<Config::DrbdMirrorConfig> changed = ParseMirror(body);
  if (_context->storage == nullptr) throw new Exception("DRBD", "镜像管理不可用");
  _context->storage->PreModifyDrbdCheck(changed.get());
  result.clear();
  return true;
}

bool ConfigClient::_ModifyDrbdPacket(std::string body, std::string& result) {
  std::unique_ptr<Config::DrbdMirrorConfig> changed = ParseMirror(body);
  if (_context->storage == nullptr) throw new Exception("DRBD", "镜像管理不可用");
  _context->storage->PreModifyDrbdCheck(changed.get());
  _context->storage->DoModifyDrbdConfig(changed.get());
  ConsoleEventPoster::Post(_context->events, -1, "NOTIFY", "DRBD_PACKET_CHANGED");
  result.clear();
  return true;
}

// ---- manual takeover ----------------------------------------------------------------------------

namespace {

const char* const kTreeBusy = "当前资源树正在进行接管操作，无法操作资源！";
const char* const kNoTree = "无法查找到要操作的资源树！";

std::string TreeName(Resource::ResourceTree* tree) {
  Config::ResourceTreeConfig* config = tree->GetConfig();
  return config != nullptr ? config->GetName() : std::string();
}

}  // namespace

void ConfigClient::_RaiseTreeAlarm(const std::string& action, const std::string& treeName) {
  if (_context->alarms == nullptr) return;
  _context->alarms->Raise(8, "管理终端用户，IP:" + _address + action + "\"" + treeName + "\"！");
}

bool ConfigClient::_TakeOver(std::string body, std::string& result) {
  IAdminHAMachine* machine = _context->machine;
  if (machine->RequestTakeOverResourceTree(body, true)) {
    std::shared_ptr<ResourceTree> tree = _context->trees->FindResourceTreeByGuid(body);
    if (tree != nullptr) _RaiseTreeAlarm(" 手动控制接管资源树", TreeName(tree.get()));
    result.clear();
    return true;
  }
  if (_context->peer->HasUsableLink()) {
    result = "Machine状态不合法";
    return false;
  }
  std::shared_ptr<ResourceTree> tree = _context->trees->FindResourceTreeByGuid(body);
  if (tree == nullptr) {
    result = kNoTree;
    return false;
  }
  if (!ResourceTree::IsStableStatu(tree->GetStatu())) {
    result = kTreeBusy;
    return false;
  }
  _RaiseTreeAlarm(" 手动控制 启动 资源树", TreeName(tree.get()));
  tree->StartTree();
  result.clear();
  return true;
}

bool ConfigClient::_JustStop(std::string body, std::string& result) {
  std::shared_ptr<ResourceTree> tree = _context->trees->FindResourceTreeByGuid(body);
  if (tree == nullptr) {
    result = kNoTree;
    return false;
  }
  if (!ResourceTree::IsStableStatu(tree->GetStatu())) {
    result = kTreeBusy;
    return false;
  }
  _RaiseTreeAlarm(" 手动控制 停止[JustStop] 资源树", TreeName(tree.get()));
  _context->machine->ClearStartWait();
  tree->StopTree(false);
  result.clear();
  return true;
}

bool ConfigClient::_BeTakeOver(std::string body, std::string& result) {
  std::shared_ptr<ResourceTree> tree = _context->trees->FindResourceTreeByGuid(body);
  if (tree == nullptr) {
    result = "无法查找到指定的要操作的资源树!";
    return false;
  }
  const std::string name = TreeName(tree.get());
  _RaiseTreeAlarm(" 手动控制接管资源树", name);
  if (_context->machine->OnResourceTreeFail(tree.get())) {
    result.clear();
    return true;
  }
  // A running machine that refused is busy with another operation: the
  // operator asks again later. Stopping the tree here would stop the
  // service on both nodes.
  if (Entity::RunningStatusEntity::IsRunningMachineStatu(_context->machine->GetRunningStatus().GetMachineStatu())) {
    result = kBusyRequest;
    return false;
  }
  if (!ResourceTree::IsStableStatu(tree->GetStatu())) {
    result = kTreeBusy;
    return false;
  }
  _RaiseTreeAlarm(" 手动控制 停止 资源树", name);
  tree->StopTree(false);
  result.clear();
  return true;
}

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale
