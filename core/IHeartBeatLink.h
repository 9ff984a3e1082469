#ifndef TARROW_CORE_IHEARTBEATLINK_H
#define TARROW_CORE_IHEARTBEATLINK_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "framework/AsyncExecutable.h"
#include "framework/Mutex.h"
#include "framework/Semaphore.h"
#include "protocol/IOnConnectionDisconnected.h"
#include "protocol/IPushPackProcessor.h"
#include "protocol/IRequestPackProcessor.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {
class HeartBeatLinkConfig;
}
namespace Entity {
class HeartBeatEntity;
}
namespace Framework {
class AsyncExecutor;
}
namespace OXProctol {
class IOXConnection;
class OXPack;
}  // namespace OXProctol
namespace Core {

class HeartBeatManager;

// Status of a link.
enum HBL_STATU : uint16_t {
  HBL_STATU_IDLE = 0,        // thread running, no attempt under way
  HBL_STATU_CONNECTING = 1,  // opening a connection or waiting for its handshake
  HBL_STATU_CONNECTED = 2,   // validated, beating; the only usable status
  HBL_STATU_EXITING = 4,
  HBL_STATU_EXITED = 5,
  HBL_STATU_NEW = 65535,     // constructed, thread not started
};

// The operation a link thread performs at each wake-up.
enum HBL_OP : uint16_t {
  HBL_OP_NONE = 0,
  HBL_OP_EXIT = 1,
  HBL_OP_TRYCONNECT = 2,
  HBL_OP_WATCH = 3,
  HBL_OP_DISCONNECT = 4,
  HBL_OP_PAUSE = 5,
};

// One heartbeat link to the peer with a thread of its own, which opens the
// link's single connection (EstablishAConnection of the kind), waits for the
// handshake, beats once per beat interval and rebuilds the connection when
// beats fail too often. Requests arriving on the connection become HBPackExec
// jobs on the thread pool (beats are answered at once on the receive thread);
// pushes are handled here.
//
// Links are shared-owned (std::shared_ptr): the manager's list, a job in
// flight and the job that deletes a removed link each hold one. The last
// owner must not be one of the link's own threads or one of its connection's.
//
// Locks, in this order: the manager's _CSHB, its link list, the link's state
// lock (multi-field changes of status, counters, pending operation and the
// handshake nonce), the link's connection mutex (replacement and release of
// the connection pointer only). Nothing is called into another object while
// the connection mutex is held; a connection is deleted outside it.
//
// Connections: the link deletes the connections it created itself (every
// kind on the non-host node; serial and quorum links on the host). Host TCP
// connections belong to the heartbeat listener. A connection used by a job or
// an answer is pinned by its busyCount, so its destructor waits for it.
class IHeartBeatLink : public Framework::AsyncExecutable,
                       public OXProctol::IOnConnectionDisconnected,
                       public OXProctol::IPushPackProcessor,
                       public OXProctol::IRequestPackProcessor,
                       public std::enable_shared_from_this<IHeartBeatLink> {
 public:
  explicit IHeartBeatLink(Config::HeartBeatLinkConfig* config);
  // RequestExit, then waits for the thread (HaTimings::linkExitWaitMs,
  // repeated until it ended); unhooks the link from a connection it still
  // knows and waits until no call-back of a connection is inside the link.
  ~IHeartBeatLink() override;

  int Run() override;
  // Pending operation Exit and a wake-up; the thread leaves only on the stop
  // flag, so owners stop a link with RequestExit.
  void CallStop() override;
  bool IsAutoDelete() override { return false; }

  // Opens a connection of the kind and waits for its validation; see the
  // kinds. Called only by the link thread.
  virtual void EstablishAConnection() = 0;

  void OnReceivedPushPack(OXProctol::IOXConnection* connection, OXProctol::OXPack* pack) override;
  void OnReceivedRequestPack(OXProctol::IOXConnection* connection, OXProctol::OXPack* pack) override;
  void OnConnectionDisconnected(OXProctol::IOXConnection* connection) override;

  // Starts the thread with pending operation TryConnect. Throws Exception*
  // "HB_INVALID_STATU" when the link was started before.
  void Start();
  // Pending operation Exit, stop flag, wake-up.
  void RequestExit();
  // RequestExit and waits until the thread ended (HaTimings::linkExitWaitMs
  // per try, repeated). Each kind calls it first in its destructor, so the
  // thread never runs a kind that is being destroyed. Idempotent; never on
  // the link's own thread.
  void StopThread();

  uint16_t GetStatus() const { return _status.load(); }
  uint16_t GetFailureCount() const { return _failures.load(); }
  uint16_t GetConnectionFailureCount() const { return _connFailures.load(); }
  uint16_t GetPendOperation() const { return _pendOp.load(); }
  // Stores op and wakes the thread.
  void SetPendOperation(uint16_t op);

  // The host-role flag of the manager's heartbeat settings equals 1.
  bool IsHost();
  // Disconnects the connection, except a host-side TCP or quorum connection.
  void KillConnection();
  // The console changed the record: pause before the next attempt, drop the
  // connection.
  void OnHeartBeatLinkModified();
  // The link's status record for the console (a new record; the caller owns it).
  Entity::HeartBeatEntity* GetHBEntity();

  // The handshake of the host side validated connection: adopt it, replace a
  // failing one with it (true), or refuse it with the push "CS_INVALID_STATU"
  // (false). Called by HeartBeatManager only.
  bool NotifyNewConnected(OXProctol::IOXConnection* connection);
  // This node accepted the peer's key proof (responder side).
  void OnTokenValidacionSuccess();
  // The key proof failed: a new attempt after HaTimings::tokenErrorMs.
  void OnTokenValidationError();

  // Answers a request on the link's current connection (dropped when there is
  // none). Any failure is swallowed.
  void SendResponsePack(const std::string& command, const std::string& body, const std::string& packId);
  // Answers a request on the connection it came on; the caller pins it with
  // its busyCount. Any failure is swallowed.
  void SendResponsePack(OXProctol::IOXConnection* connection, const std::string& command, const std::string& body,
                        const std::string& packId);

  // Responder side of the handshake, one nonce per connection: a fresh random
  // nonce for connection (replacing one pending there); Take answers the
  // pending nonce of connection and clears it (false when none is pending).
  uint64_t NewHandshakeNonce(OXProctol::IOXConnection* connection);
  bool TakeHandshakeNonce(OXProctol::IOXConnection* connection, uint64_t* nonce);

  // The current connection pinned (busyCount raised), null when there is
  // none; Unpin lowers the count.
  OXProctol::IOXConnection* PinConnection();
  static void Unpin(OXProctol::IOXConnection* connection);

  // Record fields, read through the record's own lock.
  int GetId();
  int16_t GetType();
  std::string GetName();
  Config::HeartBeatLinkConfig* GetConfig() { return _config; }
  // The link frees its record when it is destroyed: a link taken out for
  // good, whose record has left the store, may still be read through by
  // whoever holds the link (a job, a handshake, a request).
  void AdoptRecord();

  void SetManager(HeartBeatManager* manager) { _manager = manager; }
  HeartBeatManager* GetManager() const { return _manager; }

  // "心跳连接[" + name + "] - " + text to the debug hook.
  void DebugNotify(const std::string& text);

 protected:
  // Makes this link connection's disconnect listener and stores it as the
  // link's own connection (created by the link, deleted by it).
  void _NotifyConnectionEstablished(OXProctol::IOXConnection* connection);
  // Takes the current connection out and unhooks the link from it (under the
  // connection mutex), then deletes it outside the mutex when the link owns
  // it. Link thread only (a disconnect call-back never deletes).
  void _DropConnection();
  // Takes the current connection out under the connection mutex: unhooks
  // the link (and disconnects it when asked), clears a pending nonce, and
  // tells whether the link owns it. The caller deletes it outside the mutex.
  OXProctol::IOXConnection* _TakeConnection(bool disconnect, bool& owned);
  void ChangeStatus(uint16_t status);
  void _SetFailureCount(uint16_t failures) { _failures.store(failures); }
  // Waits on the wake semaphore up to ms; false when the wait timed out.
  bool _WaitWake(long ms);
  // Sleeps up to ms, ended early by an exit request only.
  void _PauseUnlessStopping(long ms);
  // Runs the host side of the handshake on this thread (serial and quorum
  // links of the host node).
  void _HostHandshake(OXProctol::IOXConnection* connection);
  // validation wait and the decision after it: true when the link is
  // connected or the attempt must end, false for a retry wait.
  bool _AfterValidationWait();
  // The retry wait; true when the pending operation is still TryConnect.
  bool _RetryWait();

  Framework::Semaphore _wake;
  Framework::Semaphore _stopSin;  // posted by RequestExit, ends pauses

 private:
  void _Proc1_Exit();
  void _Proc2_TryConnect();
  void _Proc3_Watch();
  void _Proc4_Disconnect();
  // Beat once: true for the answer "RESPONSE_V0.1 Alpha".
  bool _Beat(OXProctol::IOXConnection* connection);
  // The loss of the connected connection: status 1, notices, alarm, next
  // attempt after HaTimings::afterLossMs. Under no lock.
  void _OnLost();
  // Makes the link the disconnect listener of the connection it has just
  // taken from the handshake; a loss told before counts as told now.
  void _HookLoss(OXProctol::IOXConnection* connection);
  // Honours a pause that a call-back asked for before the next attempt.
  void _HonourRetryDelay();
  void _SetRetryDelay(long ms);

  // Counts a connection call-back inside the link (the destructor waits).
  class CallbackMark;

  std::unique_ptr<Config::HeartBeatLinkConfig> _ownRecord;  // _config once adopted; freed last
  Config::HeartBeatLinkConfig* const _config;  // the store's, or _ownRecord
  HeartBeatManager* _manager = nullptr;
  std::unique_ptr<Framework::AsyncExecutor> _executor;

  std::atomic<uint16_t> _status{HBL_STATU_NEW};
  std::atomic<uint16_t> _failures{0};
  std::atomic<uint16_t> _connFailures{0};
  std::atomic<uint16_t> _pendOp{HBL_OP_NONE};
  std::atomic<bool> _modified{false};
  std::atomic<long long> _retryNotBefore{0};  // WaitClock ms; 0: none
  Framework::Mutex _stateLock;

  // Handshake nonce of the responder, under _stateLock.
  OXProctol::IOXConnection* _nonceConnection = nullptr;
  uint64_t _nonce = 0;
  bool _noncePending = false;

  // Under _connLock.
  Framework::Mutex _connLock;
  OXProctol::IOXConnection* _connection = nullptr;
  bool _ownsConnection = false;

  std::atomic<int> _callbacks{0};
  std::atomic<bool> _detached{false};
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
