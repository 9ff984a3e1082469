#include "admin/ConfigClient.h"

#include <cxxabi.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <vector>

#include "admin/AdminClock.h"
#include "admin/AdminContext.h"
#include "admin/AdminEditGuard.h"
#include "admin/IAdminAlarms.h"
#include "admin/IAdminEvents.h"
#include "admin/IAdminHAMachine.h"
#include "admin/IAdminHeartBeat.h"
#include "admin/LoginThrottle.h"
#include "config/ConfigManager.h"
#include "config/GlobalConfig.h"
#include "config/HeartBeatGlobalConfig.h"
#include "entity/RunningStatusEntity.h"
#include "framework/Convert.h"
#include "framework/EventManager.h"
#include "framework/Exception.h"
#include "framework/MD5.h"
#include "framework/MachineController.h"
#include "framework/ProcessManager.h"
#include "framework/__OXFile.h"
#include "protocol/IOXConnection.h"
#include "protocol/OXPack.h"

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
    {"GET_ALL_RESOURCE_TREE", 2, READ, nullptr},
    {"CREATE_RESOURCE_TREE", 0, EDIT, nullptr},
    {"MODIFY_RESOURCE_TREE", 0, EDIT, nullptr},
    {"DELETE_RESOURCE_TREE", 0, EDIT, nullptr},
    {"START_RESOURCE_TREE_GOING", 0, EDIT, nullptr},
    {"STOP_RESOURCE_TREE_GOING", 0, EDIT, nullptr},
    {"CREATE_RESOURCE", 0, EDIT, nullptr},
    {"MODIFY_RESOURCE", 0, EDIT, nullptr},
    {"DELETE_RESOURCE", 0, EDIT, nullptr},
    {"SET_RESOURCE_CHECK", 0, EDIT, nullptr},
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
    {"ADD_RELY_ON", 0, EDIT, nullptr},
    {"REMOVE_RELY_ON", 0, EDIT, nullptr},
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
    {"RETSET_RESOURCE_FSC", 0, EDIT, nullptr},
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

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale
