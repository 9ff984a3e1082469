#ifndef TARROW_CORE_HEARTBEATMANAGER_H
#define TARROW_CORE_HEARTBEATMANAGER_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/HB_REQ_RET.h"
#include "core/HaTimings.h"
#include "framework/Mutex.h"
#include "framework/Semaphore.h"
#include "protocol/IOnConnectionEstablished.h"
#include "resource/ResourceTree.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {
class ConfigManager;
class HeartBeatLinkConfig;
}  // namespace Config
namespace Framework {
class IOXThreadPoolExec;
}
namespace OXProctol {
class IOXConnection;
class OXTcpListener;
}  // namespace OXProctol
namespace Core {

class GraceCloser;
class HostHandshake;
class IBSNoticeReceiver;
class IDrbdRecovery;
class IHeartBeatLink;
class IHeartBeatMachine;

// The owner of a node's heartbeat links to the peer: one link per link
// record, the TCP heartbeat listener on the host side (which runs the host
// side of every TCP handshake), the choice of the link for each exchange with
// the peer, the wait for the first link, and the notices to the HA machine
// when the first link comes up and when the last goes down.
//
// The listener hands every accepted connection over at once: its handshake
// runs on a thread of its own (HostHandshake), at most MAX_HANDSHAKES at a
// time and MAX_HANDSHAKES_PER_ADDRESS from one peer address; a connection
// beyond that is closed at once. So a stranger that opens silent connections
// costs each of them its own "HA_WHO_ARE_YOU" wait, but never keeps the peer
// from being accepted and validated.
//
// Host side means host-role flag == 1 in the heartbeat settings; any other
// non-zero value counts as 0 (noted once in the trace log). The heartbeat port
// is the low 16 bits of the stored value.
//
// Locks, in this order: _adoptLock (a handshake handing its connection to a
// link), _CSHB, the link list, a link's state lock, a link's connection mutex
// (see IHeartBeatLink). _CSHB is taken only by the link-up and link-down
// notices. _handshakeLock guards the handshakes in flight only and is never
// held while another of these is taken.
class HeartBeatManager : public OXProctol::IOnConnectionEstablished {
 public:
  enum { MAX_HANDSHAKES = 16, MAX_HANDSHAKES_PER_ADDRESS = 4 };

  // An alarm raiser: kind, text.
  typedef std::function<void(int, const std::string&)> AlarmSink;

  // config: the node's store (null: ConfigManager::Instance()); machine: the
  // HA machine told of link changes (null: the installed one at each call);
  // alarms: null raises through Alarm::OXAlarm.
  explicit HeartBeatManager(Config::ConfigManager* config = nullptr, IHeartBeatMachine* machine = nullptr,
                            const HaTimings& timings = HaTimings(), AlarmSink alarms = nullptr);
  // Ends the heartbeat service, stops and releases every link and the
  // listener. The daemon's manager lives until the process ends.
  ~HeartBeatManager();

  // A snapshot of the link list, taken under the link-list lock.
  std::vector<std::shared_ptr<IHeartBeatLink>> GetHeartBeatLink();
  // The first link whose record id, cut to 16 bits and widened without sign,
  // equals id (the handshake's lookup); null when none.
  std::shared_ptr<IHeartBeatLink> FindHBLinkById(uint16_t id);
  // The first link with exactly this record id (the console's lookup).
  std::shared_ptr<IHeartBeatLink> FindHBLinkByFullId(int id);
  // Takes the first link with this record id out of the list; the caller
  // stops and releases it. Null when none.
  std::shared_ptr<IHeartBeatLink> RemoveHeartBeatLinkById(int id);
  // Creates, lists and starts one link of the record's type (unknown types:
  // nothing).
  void AddHeartBeat(Config::HeartBeatLinkConfig* config);
  // Lists a link built by the caller, with this manager as its manager; the
  // caller starts it.
  void AdoptLink(const std::shared_ptr<IHeartBeatLink>& link);
  // Starts a link for every record, then, on the host side, the listener.
  void InitHeartBeat();
  // Follows a change of the heartbeat port or the host-role flag.
  void OnHBListenPortModified();
  // The connected link with the fewest consecutive failures (signed 16-bit),
  // then the highest order, then the first in the list; null when none. It
  // stays valid for as long as the caller holds it.
  std::shared_ptr<IHeartBeatLink> GetOneAvalableHBL();
  // True as soon as a link is usable, false when none is by the deadline.
  bool WaitHeartBeatAlive(unsigned int ms);

  // A link became connected / a connected link lost its connection.
  void NotifyOneHeartBeatLinkEstablised();
  void NotifyOneHeartBeatDisconnected();
  void OnHeartBeatLinkEstablised();
  void OnHeartBeatLinkDisconnected();
  // Wakes a WaitHeartBeatAlive at once.
  void OnTerminationReleaseHBAliveSin();
  // Stops the listener, disconnects its connections and asks every link to exit.
  void EndHeartBeat();

  // Host side of the handshake for a connection the listener accepted: starts
  // it on a thread of its own and returns at once (closes the connection
  // when too many handshakes are in flight).
  void OnConnectionEstablished(OXProctol::IOXConnection* connection) override;
  // Handshakes of accepted connections in flight.
  int HandshakesInFlight();
  // The same for a connection a serial or quorum link of this node opened,
  // on that link's thread; the link itself keeps the connection, and only
  // that link may take it.
  void OnLinkConnectionOpened(IHeartBeatLink* owner, OXProctol::IOXConnection* connection);

  // ---- what the links read through their manager ------------------------
  Config::ConfigManager* GetConfig() const { return _config; }
  const HaTimings& Timings() const { return _timings; }
  // Host-role flag == 1.
  bool IsHost();
  // Low 16 bits of the stored heartbeat port.
  uint16_t HeartBeatPort();
  void RaiseAlarm(int kind, const std::string& text);
  // The listener (null while none), for tests and the console.
  OXProctol::OXTcpListener* GetListener();

  // Queues a request job; throws Exception* (the caller keeps the job) when
  // it is refused. Default: OXThreadPool::Instance()->Invoke.
  typedef std::function<void(Framework::IOXThreadPoolExec*)> JobInvoker;
  void SetJobInvoker(JobInvoker invoker);
  void InvokeJob(Framework::IOXThreadPoolExec* job);
  // Request jobs of this node's links alive (the destructor waits for them).
  void JobBegins() { _activeJobs.fetch_add(1); }
  void JobEnds() { _activeJobs.fetch_sub(1); }

  // ---- requests to the peer ----------------------------------------------
  // Each request goes on the link GetOneAvalableHBL chooses at that moment,
  // once, and is never retried on another link. No lock is held while it
  // waits; several threads may wait on one connection at once.

  // Sends a request on the best connected link and waits up to ms for its
  // answer: a new text with the answer body (the caller deletes it), or null
  // when none came in time or the connection released the request. Throws
  // Exception* "HBL_NULL" when no link is connected, "OXPROCTOL" when the
  // chosen link's connection is not connected. Writes the name of the link
  // used to standard output.
  std::string* SendRequest(const std::string& command, const std::string& body, int ms);
  // Queues a push on the best connected link; throws as SendRequest.
  void SendPush(const std::string& command, const std::string& body);
  // "成功", "等待对机的响应封包超时", "心跳连接不存在", "请求被拒绝"; "N/A" for other values.
  static std::string GetReqRetString(HB_REQ_RET ret);

  // The request operations. None throws; out values are written only on
  // HB_REQ_OK. An answer "OK" that lacks a line the operation reads is
  // HB_REQ_REFUSED, its out values untouched.
  // "RES_StopTree": manual stop ("M") or automatic ("A"); waits ms.
  HB_REQ_RET RequestStopResourceTree(const std::string& guid, unsigned int ms, bool manual);
  // "RES_GetTryWaitResourceTreeStableStatu": the peer waits up to ms for a
  // stable tree; waits twice ms. *statu is -1 until a readable status came
  // (-1..5), so an unreadable one leaves -1 with HB_REQ_OK.
  HB_REQ_RET GetTryWaitResourceTreeStableStatu(const std::string& guid, unsigned int ms,
                                               Resource::OX_RESTREE_STATU* statu);
  // "BS_CAN_PROCESS": out := the peer allows the recovery of the mirror.
  HB_REQ_RET CanProcessBS(const std::string& mirrorName, bool& out);
  // "BS_NOTIFY": relays a split-brain notice of the mirror.
  HB_REQ_RET NotifyBSStatus(const std::string& mirrorName);
  // "BS_GETDATA": the peer's data stamp and out-of-sync bytes of the mirror
  // (a figure that is not a number reads 0).
  HB_REQ_RET GetBSData(const std::string& mirrorName, uint64_t* first, uint64_t* second);
  // "BS_SET_OPERATION": the peer keeps (keep) or discards its data.
  HB_REQ_RET SetBSOperation(const std::string& mirrorName, bool keep);
  // "RES_REQUEST_EXEC_TEST".
  HB_REQ_RET RequestExecTest();
  // "SYS_Shutdown" / "SYS_Offline".
  HB_REQ_RET NotifySystemShutdown();
  HB_REQ_RET NotifyOffline();
  // "MAC_GetRemoteMachineIsRunningStatu": out := the peer's machine runs.
  HB_REQ_RET GetRemoteMachineIsRunningStatu(bool& out);
  // "MAC_GetIsFirstBootDone": out := the peer's start operation finished.
  HB_REQ_RET GetIsRemoteFirstBootDone(bool& out);
  // "MAC_GetResourceTreeIsHold": out := the peer holds the tree (its record's
  // running flag, GetRunning).
  HB_REQ_RET GetResourceTreeIsHold(const std::string& guid, bool& out);
  // "RES_RequestTakeoverNotify": the peer clears its hold flag of the tree.
  HB_REQ_RET RequestTakeoverNotify(const std::string& guid, unsigned int ms);
  // "RES_RequestTakeover": the peer takes the trees over (GUIDs joined by "\n").
  HB_REQ_RET RequestTakeover(const std::string& guids, unsigned int ms);
  // Not built: sends nothing, answers HB_REQ_REFUSED.
  HB_REQ_RET RequestRebootComputer(unsigned int ms);

  // ---- what the peer's requests reach on this node -------------------------
  // The HA machine (the installed one when none was given), null when none.
  IHeartBeatMachine* GetMachine() { return _Machine(); }
  // The DRBD steps of split-brain requests (default: this machine's DRBD).
  void SetDrbdRecovery(IDrbdRecovery* drbd);
  IDrbdRecovery* GetDrbdRecovery();
  // The receiver of relayed split-brain notices (default: the installed one;
  // null when none).
  void SetBSNoticeReceiver(IBSNoticeReceiver* receiver);
  IBSNoticeReceiver* GetBSNoticeReceiver();

 private:
  // One exchange of a request operation: HB_REQ_OK with the answer's lines
  // when it begins "OK" and has at least 1 + linesRead lines.
  HB_REQ_RET _Ask(const std::string& command, const std::string& body, int ms, size_t linesRead,
                  std::vector<std::string>* lines);

 private:
  friend class HostHandshake;

  IHeartBeatMachine* _Machine();
  void _StartListener();
  // The handshake. owner: the serial or quorum link that opened the
  // connection and keeps it; null for a listener's connection, which only a
  // TCP link may take and which is closed after the grace time when the
  // exchange ended with a push to the peer.
  void _Handshake(OXProctol::IOXConnection* connection, IHeartBeatLink* owner);
  void _CloseAfterGrace(OXProctol::IOXConnection* connection);
  // A handshake run ended: it lets its connection go and leaves the count.
  void _HandshakeEnded(HostHandshake* run);
  // Under _handshakeLock: destroys the runs that ended.
  void _ReapHandshakes();

  Config::ConfigManager* const _config;
  IHeartBeatMachine* const _machine;
  const HaTimings _timings;
  AlarmSink _alarms;

  Framework::Mutex _CSHB;
  Framework::Mutex _linkLock;
  std::vector<std::shared_ptr<IHeartBeatLink>> _links;  // under _linkLock
  Framework::Mutex _listenerLock;                       // creation and replacement of the listener
  std::unique_ptr<OXProctol::OXTcpListener> _listener;
  std::atomic<uint8_t> _linkUp{0};
  Framework::Semaphore _aliveSin;
  std::atomic<bool> _hostRoleNoted{false};
  std::atomic<bool> _released{false};  // OnTerminationReleaseHBAliveSin was called
  Framework::Mutex _invokerLock;
  JobInvoker _invoker;  // under _invokerLock; empty: the process's pool
  std::atomic<int> _activeJobs{0};

  Framework::Mutex _closerLock;
  std::vector<std::unique_ptr<GraceCloser>> _closers;  // under _closerLock

  Framework::Mutex _adoptLock;  // one handshake at a time hands a connection to a link
  Framework::Mutex _handshakeLock;
  std::vector<std::unique_ptr<HostHandshake>> _handshakes;  // under _handshakeLock
  std::map<std::string, int> _handshakesByAddress;          // in flight; under _handshakeLock
  int _handshakesInFlight = 0;                              // under _handshakeLock
  bool _handshakesClosed = false;                           // EndHeartBeat ran; under _handshakeLock

  // What the peer's requests reach; null: the defaults.
  std::atomic<IDrbdRecovery*> _drbd{nullptr};
  std::atomic<IBSNoticeReceiver*> _bsReceiver{nullptr};
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
