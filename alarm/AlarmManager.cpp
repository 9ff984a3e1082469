#include "alarm/AlarmManager.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "alarm/CustomAlarmExec.h"
#include "alarm/EmailAlarmExec.h"
#include "alarm/LogAlarmExec.h"
#include "alarm/SLEAAlarmExec.h"
#include "config/AlarmExecConfig.h"
#include "config/ConfigManager.h"
#include "framework/DateTime.h"
#include "framework/Exception.h"
#include "framework/MutexGuard.h"

namespace Oxbrindale {
namespace Velmora {
namespace Alarm {

using Config::ALARM_EXEC_CUSTOM;
using Config::ALARM_EXEC_EMAIL;
using Config::ALARM_EXEC_SLE;
using Config::AlarmExecConfig;
using Config::ConfigListEdit;
using Config::ConfigManager;
using Entity::AlarmType;
using Framework::DateTime;
using Framework::MutexGuard;

namespace {

AlarmManager* g_instance = nullptr;

void _DisposeAtExit() { g_instance->Dispose(); }

}  // namespace

AlarmManager* AlarmManager::Instance() {
  // Never destroyed: threads still running at exit may raise alarms. At exit
  // it is disposed, which stops the four executor threads and lets later
  // alarms pass without effect.
  static AlarmManager* manager = [] {
    g_instance = new AlarmManager();
    std::atexit(&_DisposeAtExit);
    return g_instance;
  }();
  return manager;
}

AlarmManager::AlarmManager(ConfigManager* config) : AlarmManager(config, nullptr, nullptr, nullptr, nullptr) {}

AlarmManager::AlarmManager(ConfigManager* config, LogAlarmExec* log, EmailAlarmExec* email, SLEAAlarmExec* slea,
                           CustomAlarmExec* custom)
    : _config(config != nullptr ? config : ConfigManager::Instance()) {
  _log.reset(log != nullptr ? log : new LogAlarmExec(_config));
  _email.reset(email != nullptr ? email : new EmailAlarmExec(_config, this));
  _slea.reset(slea != nullptr ? slea : new SLEAAlarmExec());
  _custom.reset(custom != nullptr ? custom : new CustomAlarmExec(_config));
}

AlarmManager::~AlarmManager() {
  _StopAll();
  _custom.reset();
  _slea.reset();
  _email.reset();
  _log.reset();
  delete[] _alarmTypes.load();
}

void AlarmManager::_StopAll() {
  // The log executor first: what it still holds is written and the recent
  // list saved.
  _log->CallExit();
  _email->CallExit();
  _slea->CallExit();
  _custom->CallExit();
}

void AlarmManager::_ReadyAlarmTypeList() {
  MutexGuard guard(_typeLock);
  if (_alarmTypes.load() != nullptr) return;
  AlarmType* table = new AlarmType[AlarmType::KIND_COUNT]{
      {0, 1, "对机无响应切换", "当心跳连接全部断开，本机判断运行正常，进行对机资源树接管的时候将触发本告警。"},
      {1, 1, "本机无响应停机", "当心跳连接全部断开，本机判断为本机异常，将停止所有资源树并触发本告警。"},
      {2, 1, "资源树故障切换", "当对机资源树满足故障判断条件，本机将接管对机资源，并触发本告警。"},
      {3, 0, "启动资源树失败", "当本机启动资源树中资源失败时，将停止所有已启动的资源树，并触发本告警。"},
      {4, 0, "停止资源树失败", "当本机停止资源树中资源失败时，将重启所有已经停止的资源树，并触发本告警。"},
      {5, 0, "资源树接管失败", "当接管对机资源树操作发生失败的时候，将触发本告警。"},
      {6, 2, "心跳连接状态变更", "系统心跳连接发生改变（连接/断开）将触发本告警。"},
      {7, 2, "资源发生故障但已恢复",
       "系统检测到受管理的资源树中的资源发生了故障并停止运行，但是已经被重新启动并恢复。"},
      {8, 3, "用户操作接管资源树", "管理用户手动控制资源接管。"},
      {9, 3, "用户停止资源树", "管理用户手动停止资源树，对机并不接管本资源树。"},
      {10, 3, "用户启动资源树", "管理用户启动了资源树这个资源树将接收管理并自动启动并运行。"},
      {11, 3, "运行日志", "系统运行日志记录。"},
      {12, 0, "系统错误", "系统发生内部错误。"},
      {13, 2, "磁盘检查", "Tarrow 检查到该磁盘卷NTFS文件系统存在错误，执行CheckDisk检查程序以修复磁盘卷错误。"},
      {14, 0, "镜像脑裂", "镜像盘发生脑裂，必须进行脑裂恢复方向选择后才能正常使用。"},
      {15, 2, "镜像链路", "镜像链路发生断开或切换。"},
      {16, 3, "镜像消息", "镜像消息。"},
  };
  _alarmTypes.store(table);
}

AlarmType* AlarmManager::GetAlarmTypeList() {
  if (_alarmTypes.load() == nullptr) _ReadyAlarmTypeList();
  return _alarmTypes.load();
}

void AlarmManager::Init() {
  _ReadyAlarmTypeList();
  _log->Start();
  _email->Start();
  _slea->Start();
  _custom->Start();
}

AlarmExec* AlarmManager::MakeExec(int method) {
  switch (method) {
    case ALARM_EXEC_EMAIL:
      return _email.get();
    case ALARM_EXEC_SLE:
      return _slea.get();
    case ALARM_EXEC_CUSTOM:
      return _custom.get();
    default:
      return nullptr;
  }
}

void AlarmManager::BroadAlarm(int kind, const std::string& text) {
  if (!_enabled.load()) return;
  const DateTime now;  // one time stamp for every executor
  _log->PutLog(kind, text, now);
  if (kind < 0 || kind >= AlarmType::KIND_COUNT) return;  // no method list for it: logged only

  std::vector<int32_t> methods;
  try {
    // The console may replace the per-kind records at any time: read them
    // under the store's lock.
    ConfigListEdit<AlarmExecConfig> edit = _config->EditAlarmExecConfig();
    if (static_cast<size_t>(kind) < edit->size() && (*edit)[kind] != nullptr) methods = (*edit)[kind]->GetMethods();
  } catch (Exception* e) {
    delete e;
  }
  for (int32_t method : methods) {
    AlarmExec* exec = MakeExec(method);
    if (exec != nullptr) exec->PutLog(kind, text, now);
  }
}

void AlarmManager::Dispose() {
  _enabled.store(false);
  if (_alarmTypes.load() != nullptr) _StopAll();
}

void OXAlarm(int kind, std::string text) { AlarmManager::Instance()->BroadAlarm(kind, text); }

}  // namespace Alarm
}  // namespace Velmora
}  // namespace Oxbrindale
