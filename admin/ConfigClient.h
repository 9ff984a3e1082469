#ifndef TARROW_ADMIN_CONFIGCLIENT_H
#define TARROW_ADMIN_CONFIGCLIENT_H

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "framework/Mutex.h"
#include "framework/NonCopyable.h"
#include "framework/Semaphore.h"

namespace Oxbrindale {
namespace Velmora {
namespace OXProctol {
class IOXConnection;
class OXPack;
}  // namespace OXProctol
namespace Resource {
class ResourceTree;
}
namespace Core {

struct AdminContext;
class LoginThrottle;

// The session of one connected administration console: version check,
// challenge-response login, access level, and the dispatcher that answers
// every request with one "RET" pack. Requests of one session run one at a
// time on its connection's receive thread; the level is also read by the
// event thread and the session sweeper.
//
// Levels: -1 not logged in, 0 administrator, 1 operator, 2 observer.
class ConfigClient : Framework::NonCopyable {
 public:
  // Level a command row needs when it makes no level check.
  static const int16_t NO_LEVEL = INT16_MIN;

  // connection: not owned; context and throttle outlive the session.
  ConfigClient(OXProctol::IOXConnection* connection, AdminContext* context, LoginThrottle* throttle);
  ~ConfigClient();

  int16_t GetLevel() const { return _level.load(); }
  OXProctol::IOXConnection* GetCrtConn() const { return _connection; }
  // The console's address, read when the session began.
  const std::string& GetRemoteAddr() const { return _address; }
  // Wait-clock milliseconds when the session began.
  long long GetCreatedMs() const { return _createdMs; }
  bool IsVersionChecked() const { return _versionChecked.load() != 0; }

  // Stores level once the version check has passed; otherwise throws
  // Exception* "CLT" "客户端未通过版本信息的校验，无法登录!".
  void SetLoggedIn(int16_t level);

  // Queues a "push" pack on the connection; exceptions pass to the caller.
  void SendPushPack(const std::string& command, const std::string& body);
  // Pushes from a console are ignored.
  void ProcessPushPack(OXProctol::OXPack* pack);
  // Answers the request with exactly one "RET" pack (except for a session
  // that is closed for too many requests before login).
  void ProcessRequestPack(OXProctol::OXPack* pack);

  // Ends the session: wakes a delayed login answer and disconnects.
  void Close();
  // Close was called.
  bool IsClosing() const { return _closing.load(); }

  // Access rule: need 0 grants level 0; 1 grants 0 and 1; 2 grants 0, 1, 2;
  // -1 grants every session; anything else nobody.
  bool _NeedLevel(int16_t need) const;

  // ---- handlers: body in, result out, true on success --------------------
  bool _DoVerifyVersion(std::string body, std::string& result);
  bool _DoLogin(std::string body, std::string& result);
  bool _DoChat(std::string body, std::string& result);
  bool _GetRunningStatus(std::string body, std::string& result);
  bool _InitTheHostSide(std::string body, std::string& result);
  bool _BackupCfg(std::string body, std::string& result);
  bool _IsBackupCfgExist(std::string body, std::string& result);
  bool _DeleteBackup(std::string body, std::string& result);
  bool _ListBackupCfg(std::string body, std::string& result);
  bool _ResumeBackupCfg(std::string body, std::string& result);
  bool _ClearCfg(std::string body, std::string& result);
  // The DRBD packet commands this build does not offer.
  bool _NotSupport(std::string body, std::string& result);

  // ---- resource trees, resources, dependencies --------------------------
  bool _GetAllResourceTree(std::string body, std::string& result);
  bool _CreateResourceTree(std::string body, std::string& result);
  bool _ModifyResourceTree(std::string body, std::string& result);
  bool _DeleteResourceTree(std::string body, std::string& result);
  bool _StartResourceTreeGoing(std::string body, std::string& result);
  bool _StopResourceTreeGoing(std::string body, std::string& result);
  bool _CreateResource(std::string body, std::string& result);
  bool _ModifyResource(std::string body, std::string& result);
  bool _DeleteResource(std::string body, std::string& result);
  bool _SetResourceCheck(std::string body, std::string& result);
  bool _ResetResourceFailureByPreStartCheckFlag(std::string body, std::string& result);
  bool _AddRelyOn(std::string body, std::string& result);
  bool _RemoveRelyOn(std::string body, std::string& result);

  // Busy rule of tree edits: true when both HA machines are Running. Throws
  // Exception* "FORM_ERR" without a usable heartbeat link or when the peer
  // cannot be asked.
  bool _IsMachineRunning();
  // Tree guard of resource and dependency edits: returns when tree and the
  // peer's tree of the same GUID are both settled; throws Exception*
  // "FORM_ERR" with the refusal otherwise.
  void _MakeSureResourceTreeStatueStatu(Resource::ResourceTree* tree);
  // heartbeat configuration
  bool _GetAllHeartBeat(std::string body, std::string& result);
  bool _GetHeartBeatById(std::string body, std::string& result);
  bool _GetGlobalHeartBeatCfg(std::string body, std::string& result);
  bool _SaveGlobalHeartBeatCfg(std::string body, std::string& result);
  bool _ModifyHeartBeat(std::string body, std::string& result);
  bool _DeleteHeartBeat(std::string body, std::string& result);
  bool _CreateHeartBeat(std::string body, std::string& result);
  // global configuration
  bool _GetGlobalConfig(std::string body, std::string& result);
  bool _SaveGlobalConfig(std::string body, std::string& result);
  // alarms
  bool _GetAlarmExecConfig(std::string body, std::string& result);
  bool _SaveAlarmExecConfig(std::string body, std::string& result);
  bool _GetCommonAlarmConfig(std::string body, std::string& result);
  bool _SaveEmailAlarmConfig(std::string body, std::string& result);
  bool _SaveCustomAlarmConfig(std::string body, std::string& result);
  bool _SendTestEmail(std::string body, std::string& result);
  bool _GetSLEAlarmStatu(std::string body, std::string& result);
  bool _ResetSLEAlarm(std::string body, std::string& result);
  bool _GetRecentAlarmObj(std::string body, std::string& result);
  // host information and DRBD
  bool _GetDiskList(std::string body, std::string& result);
  bool _GetNetAdaptorEntityList(std::string body, std::string& result);
  bool _GetStaticIPList(std::string body, std::string& result);
  bool _GetIPResConfigList(std::string body, std::string& result);
  bool _SetBSResume(std::string body, std::string& result);
  bool _PreModifyDrbdCheck(std::string body, std::string& result);
  bool _ModifyDrbdPacket(std::string body, std::string& result);
  // manual takeover
  bool _TakeOver(std::string body, std::string& result);
  bool _JustStop(std::string body, std::string& result);
  bool _BeTakeOver(std::string body, std::string& result);

  // The session mutex: held by handlers that walk shared lists.
  Framework::Mutex& GetSessionMutex() { return _sessionMutex; }

 private:
  // Runs the row of command, or answers "未知的操作元语".
  bool _Dispatch(const std::string& command, const std::string& body, std::string& result);
  // A login failed: counts it for the session and the address, waits the
  // session's delay, and closes the session at its last allowed failure.
  void _LoginFailed(bool counted);
  // Starts "<program dir>tarrowd" with args, nothing inherited.
  void _StartRestartHelper(const std::string& args);
  // The name must be a valid backup name; throws its message otherwise.
  void _CheckBackupName(const std::string& name);
  // The machine's tree of that GUID; throws Exception* "FORM_ERR" notFound
  // when there is none.
  std::shared_ptr<Resource::ResourceTree> _FindTree(const std::string& guid, const char* notFound);
  // Levels 1 and 2 read secrets (link keys, the mail password) as "******".
  bool _SeesSecrets() const { return _level.load() == 0; }
  // "管理终端用户，IP:" + address + action + tree name + "\"！" as alarm kind 8.
  void _RaiseTreeAlarm(const std::string& action, const std::string& treeName);

  OXProctol::IOXConnection* const _connection;
  AdminContext* const _context;
  LoginThrottle* const _throttle;
  const std::string _address;
  const long long _createdMs;

  std::atomic<uint64_t> _challenge{0};
  std::atomic<int16_t> _level{-1};
  std::atomic<int32_t> _versionChecked{0};
  Framework::Mutex _sessionMutex;

  // Touched by the session's own requests only (one at a time).
  int _requestsBeforeLogin = 0;
  int _loginFailures = 0;
  std::deque<long long> _chatTimes;

  std::atomic<bool> _closing{false};
  Framework::Semaphore _wake;  // posted by Close
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
