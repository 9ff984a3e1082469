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

#include "admin/AdminClock.h"
#include "admin/AdminContext.h"
#include "admin/AdminEditGuard.h"
#include "admin/AsyncDeleteHBLMat.h"
#include "admin/ConsoleBody.h"
#include "admin/ConsoleEventPoster.h"
#include "admin/IAdminAlarms.h"
#include "admin/IAdminConsoleListener.h"
#include "admin/IAdminEvents.h"
#include "admin/IAdminHAMachine.h"
#include "admin/IAdminHeartBeat.h"
#include "admin/IAdminNetwork.h"
#include "admin/IAdminSplitBrain.h"
#include "admin/IAdminStorage.h"
#include "admin/LoginThrottle.h"
#include "alarm/AlarmManager.h"
#include "alarm/EmailAlarmExec.h"
#include "alarm/LogAlarmExec.h"
#include "alarm/SLEAAlarmExec.h"
#include "config/AlarmExecConfig.h"
#include "config/ConfigManager.h"
#include "config/CustomAlarmConfig.h"
#include "config/DrbdMirrorConfig.h"
#include "config/GlobalConfig.h"
#include "config/HeartBeatGlobalConfig.h"
#include "config/HeartBeatLinkConfig.h"
#include "config/IPResourceConfig.h"
#include "config/ResourceTreeConfig.h"
#include "config/SendEmailAlarmConfig.h"
#include "entity/AlarmObj.h"
#include "entity/HardDiskEntity.h"
#include "entity/RunningStatusEntity.h"
#include "entity/SLEAData.h"
#include "framework/MutexGuard.h"
#include "framework/OXThreadPool.h"
#include "resource/ResourceTree.h"
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
    {"TAKE_OVER", 1, READ, &ConfigClient::_TakeOver},
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
    {"GET_DISK_LIST", 2, FREE, &ConfigClient::_GetDiskList},
    {"GET_COMMON_ALARM_CONFIG", 2, READ, &ConfigClient::_GetCommonAlarmConfig},
    {"GET_SLE_ALARM_STATU", 2, FREE, &ConfigClient::_GetSLEAlarmStatu},
    {"GET_ALARM_EXEC_CONFIG", 2, READ, &ConfigClient::_GetAlarmExecConfig},
    {"SEND_TEST_EMAIL", 0, READ, &ConfigClient::_SendTestEmail},
    {"RESET_SLE_ALARM", 1, FREE, &ConfigClient::_ResetSLEAlarm},
    {"SAVE_EMAIL_ALARM_CONFIG", 0, EDIT, &ConfigClient::_SaveEmailAlarmConfig},
    {"SAVE_CUSTOM_ALARM_CONFIG", 0, EDIT, &ConfigClient::_SaveCustomAlarmConfig},
    {"SAVE_ALARM_EXEC_CONFIG", 0, EDIT, &ConfigClient::_SaveAlarmExecConfig},
    {"GET_RECENT_ALARM_OBJ", 2, FREE, &ConfigClient::_GetRecentAlarmObj},
    {"GET_GLOBAL_CONFIG", 0, READ, &ConfigClient::_GetGlobalConfig},
    {"SAVE_GLOBAL_CONFIG", 0, EDIT, &ConfigClient::_SaveGlobalConfig},
    {"BE_TAKE_OVER", 1, READ, &ConfigClient::_BeTakeOver},
    {"JUST_STOP", 1, READ, &ConfigClient::_JustStop},
    {"BACKUP_CFG", 0, EDIT, &ConfigClient::_BackupCfg},
    {"IS_BACKUP_CFG_EXIST", 0, READ, &ConfigClient::_IsBackupCfgExist},
    {"DELETE_BACKUP", 0, EDIT, &ConfigClient::_DeleteBackup},
    {"LIST_BACKUP_CFG", 0, READ, &ConfigClient::_ListBackupCfg},
    {"RESUME_BACKUP_CFG", 0, EDIT, &ConfigClient::_ResumeBackupCfg},
    {"CLEAR_CFG", 0, EDIT, &ConfigClient::_ClearCfg},
    {"ADD_RELY_ON", 0, EDIT, nullptr},
    {"REMOVE_RELY_ON", 0, EDIT, nullptr},
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
  Config::HeartBeatGlobalConfig parsed(&lines, &index);
  if (index + 2 > lines.size()) throw new Exception("FORM_ERR", kRecordCut);
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
  settings->CopyOf(parsed);
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
    Config::HeartBeatLinkConfig* record = erased.empty() ? nullptr : erased.back().release();
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
  Config::GlobalConfig parsed(body);
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
  if (body.empty()) throw new Exception("FORM_ERR", ConsoleBody::SHORT_BODY);
  std::vector<std::string> lines = Convert::tokenize(body, "\n", false, "");
  unsigned int index = 0;
  Config::SendEmailAlarmConfig parsed(&lines, &index);
  Config::SendEmailAlarmConfig* stored = _context->store->GetSendEmailAlarmConfig();
  Config::SendEmailAlarmConfig before;
  before.CopyOf(*stored);
  stored->CopyOf(parsed);
  try {
    _context->store->SaveAlarmConfig();
  } catch (...) {
    stored->CopyOf(before);
    throw;
  }
  result.clear();
  return true;
}

bool ConfigClient::_SaveCustomAlarmConfig(std::string body, std::string& result) {
  if (body.empty()) throw new Exception("FORM_ERR", ConsoleBody::SHORT_BODY);
  std::vector<std::string> lines = Convert::tokenize(body, "\n", false, "");
  unsigned int index = 0;
  Config::CustomAlarmConfig parsed(&lines, &index);
  Config::CustomAlarmConfig* stored = _context->store->GetCustomAlarmConfig();
  Config::CustomAlarmConfig before;
  before.CopyOf(*stored);
  stored->CopyOf(parsed);
  try {
    _context->store->SaveCustomAlarmConfig();
  } catch (...) {
    stored->CopyOf(before);
    throw;
  }
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
    Resource::ResourceTree* tree = machine->FindResourceTreeByGuid(body);
    if (tree != nullptr) _RaiseTreeAlarm(" 手动控制接管资源树", TreeName(tree));
    result.clear();
    return true;
  }
  if (machine->HasUsableLink()) {
    result = "Machine状态不合法";
    return false;
  }
  Resource::ResourceTree* tree = machine->FindResourceTreeByGuid(body);
  if (tree == nullptr) {
    result = kNoTree;
    return false;
  }
  if (!Resource::ResourceTree::IsStableStatu(tree->GetStatu())) {
    result = kTreeBusy;
    return false;
  }
  _RaiseTreeAlarm(" 手动控制 启动 资源树", TreeName(tree));
  tree->StartTree();
  result.clear();
  return true;
}

bool ConfigClient::_JustStop(std::string body, std::string& result) {
  Resource::ResourceTree* tree = _context->machine->FindResourceTreeByGuid(body);
  if (tree == nullptr) {
    result = kNoTree;
    return false;
  }
  if (!Resource::ResourceTree::IsStableStatu(tree->GetStatu())) {
    result = kTreeBusy;
    return false;
  }
  _RaiseTreeAlarm(" 手动控制 停止[JustStop] 资源树", TreeName(tree));
  _context->machine->ClearStartWait();
  tree->StopTree(false);
  result.clear();
  return true;
}

bool ConfigClient::_BeTakeOver(std::string body, std::string& result) {
  Resource::ResourceTree* tree = _context->machine->FindResourceTreeByGuid(body);
  if (tree == nullptr) {
    result = "无法查找到指定的要操作的资源树!";
    return false;
  }
  const std::string name = TreeName(tree);
  _RaiseTreeAlarm(" 手动控制接管资源树", name);
  if (_context->machine->OnResourceTreeFail(tree)) {
    result.clear();
    return true;
  }
  if (!Resource::ResourceTree::IsStableStatu(tree->GetStatu())) {
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
