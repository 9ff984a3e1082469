#ifndef TARROW_PROTOCOL_IOXCONNECTION_H
#define TARROW_PROTOCOL_IOXCONNECTION_H

#include <atomic>
#include <cstdint>
#include <map>
#include <string>

#include "framework/Mutex.h"
#include "framework/NonCopyable.h"
#include "protocol/IOnConnectionDisconnected.h"
#include "protocol/IPushPackProcessor.h"
#include "protocol/IRequestPackProcessor.h"
#include "protocol/IResponseCallBack.h"
#include "protocol/OXPack.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {
class AsyncExecutor;
}
namespace OXProctol {

class IOXSendThread;
class IOXReceiveThread;

// One message connection to one peer, independent of the transport: queues
// outgoing packs for its send thread, reads incoming packs on its receive
// thread, matches responses to requests by pack id, dispatches requests and
// pushes to the processors, and tells disconnectedListener once when the
// connection is lost.
//
// What a transport (TcpOXConnection, ...) does:
// - its constructor creates _sendThread and _receiveThread (transport
//   subclasses of IOXSendThread / IOXReceiveThread); the core owns them;
// - once its channel is open it calls _OnConnectionEstablished(), which
//   starts the receive thread, then the send thread (and throws when it
//   cannot);
// - its destructor first makes a pending read fail (Disconnect), then calls
//   _StopThreads() (stops, waits for and deletes both threads), then closes
//   and frees its channel; the core's destructor runs last. A transport
//   destructor must not return with the threads still running.
//
// Ownership: a pack handed to SendPack belongs to the connection from that
// call on, whatever happens; a pack given to a processor or call-back is
// destroyed when the call returns; the text returned by Request belongs to
// the caller. Processors and call-backs run on the receive thread.
class IOXConnection : Framework::NonCopyable {
 protected:
  // Transport hook, called by NotifyDisconnected after the waiting call-backs
  // were released and before disconnectedListener is told.
  virtual void _ProcessDisconnected() = 0;

 public:
  IOXConnection(IPushPackProcessor* pushProcessor, IRequestPackProcessor* requestProcessor);
  // Deletes thread objects never started; waits while busyCount > 0 (10 ms
  // turns); releases every still registered call-back with null; then waits
  // until every Request still running on this connection has left it.
  // Never run from one of the connection's own threads.
  virtual ~IOXConnection();

  // Queues pack for the send thread. Throws Exception* "OXPROCTOL" when not
  // connected ("连接已经断开，无法发送数据！") or when the pack cannot travel
  // as one frame (OXPack::CheckFrameSafe); the pack is then destroyed. A full
  // send queue (19 packs) destroys the pack without notice.
  virtual void SendPack(OXPack* pack);
  // Registers callBack under pack->packId (an id already registered keeps its
  // first call-back), then SendPack(pack). Not connected: "OXPROCTOL", pack
  // destroyed, nothing registered. When the send fails after the
  // registration, the registration is removed before the exception passes on.
  virtual void SendPack(OXPack* pack, IResponseCallBack* callBack);
  // Sends OXPack("response", command, packId, body); any failure is swallowed.
  virtual void SendResponsePack(const std::string& command, const std::string& body, const std::string& packId);
  // Request(command, body, 30000).
  virtual std::string* Request(const std::string& command, const std::string& body);
  // Sends a "request" pack and blocks until its response arrives. Returns a
  // new text with the response body (the caller deletes it), or null when the
  // connection was lost (or destroyed) before the response came.
  // Throws Exception* "OXPROCTOL" when not connected, and
  // Exception* "SINGLE_OBJ", "Wait Semaphore Timeout。" when no response came
  // within timeoutMs; a response arriving after that is ignored.
  // Must not be called on the connection's own receive thread.
  virtual std::string* Request(const std::string& command, const std::string& body, int timeoutMs);
  virtual bool IsConnected() = 0;
  // Closes the transport's channel (the pending read then fails). Nothing in
  // the core; safe to call from any thread, more than once.
  virtual void Disconnect();
  // The peer's address text.
  virtual std::string GetRemoteAddr() = 0;

  // Called by the receive thread when its read failed: Disconnect(); release
  // every waiting call-back with null (later registrations are refused);
  // _ProcessDisconnected(); tell disconnectedListener and clear it.
  void NotifyDisconnected();
  // Makes listener the disconnectedListener unless the loss has been told
  // already: true when the loss notice will reach listener (at once, or
  // whenever the connection is lost), false when it went out before (the
  // listener is then not stored).
  bool HookDisconnectedListener(IOnConnectionDisconnected* listener);
  // After a processor or disconnectedListener was cleared: waits until every
  // call-back that may have read the old one before has returned, so the
  // object behind it may go. On the thread of such a call-back itself it
  // does not wait for that call-back.
  void WaitCallbacksOut();
  // Called by the receive thread for every pack: dispatches it by kind
  // ("request" -> request processor, "push" -> push processor, "response" ->
  // the call-back waiting for its pack id, anything else dropped), then
  // destroys it, also when a processor throws (the exception passes on).
  void DataReceived(OXPack* pack);
  // Removes the call-back registered under packId without calling it.
  void CancelCallback(const std::string& packId);

  // The processors may be replaced at any time; a change takes effect for the
  // next pack. Null: packs of that kind are dropped. Not owned.
  void SetPushProcessor(IPushPackProcessor* processor) { _pushProcessor.store(processor); }
  IPushPackProcessor* GetPushProcessor() const { return _pushProcessor.load(); }
  void SetRequestProcessor(IRequestPackProcessor* processor) { _requestProcessor.store(processor); }
  IRequestPackProcessor* GetRequestProcessor() const { return _requestProcessor.load(); }

  // Milliseconds of send silence before a keep-alive pack (20000 by
  // default); tests shorten it. A transport that writes frames outside the
  // send thread overrides it to count those as traffic too.
  virtual void SetKeepAliveInterval(long ms);

  // Jobs of other subsystems that still use this connection: raised under
  // busyLock before such a job is scheduled, lowered when it ends; the
  // destructor waits until it is 0 or below.
  int busyCount = 0;
  Framework::Mutex busyLock;
  // Told once when the connection is lost (on the receive thread); set by
  // whoever creates or adopts the connection, cleared by an owner that wants
  // no notice. Not owned.
  std::atomic<IOnConnectionDisconnected*> disconnectedListener{nullptr};
  // UTF-8 flag of a console session: 1 at construction; set by the console's
  // version check, read by nothing.
  std::atomic<int32_t> isUTF8{1};

 protected:
  // Starts the threads once the channel is open: posts (-1, "DEBUG",
  // "Conn 建立！"), gives both threads their connection, creates the
  // executors "发送线程" and "接收线程" and starts the receive thread, then
  // the send thread. Throws Exception* "OXPROCTOL": "连接并没有建立，无法启动！"
  // when IsConnected() is false; when called a second time; and when a thread
  // cannot be started (the channel is then disconnected first).
  void _OnConnectionEstablished();
  // Waits (10 ms turns) until busyCount is 0 or below. Each transport's
  // destructor calls it once its threads are stopped and before it frees its
  // channel, so a job counted in busyCount still finds the whole connection
  // (disconnected) until it ends.
  void _WaitBusyJobs();
  // Stops both threads and deletes them with their executors: the send thread
  // by its stop marker, then the receive thread by its stop flag, waiting
  // without limit for each; threads never started are just deleted. The
  // receive thread ends only when its pending read returns, so Disconnect
  // first. Idempotent.
  void _StopThreads();
  // Registers callBack under packId; true when it was stored (false: the id
  // already had a call-back). Throws Exception* "OXPROCTOL" once the
  // call-backs were released by a disconnect or the destructor.
  bool _RegCallback(const std::string& packId, IResponseCallBack* callBack);
  // Under the call-back lock: prints the count, calls every registered
  // call-back with null in ascending pack-id order, empties the map and
  // refuses later registrations.
  void _ClearRegCallBack();
  // Hands a "response" pack to the call-back registered under its pack id
  // (removing it first, calling it under the call-back lock); ignored when
  // none waits. Does not destroy the pack.
  void _OnReceivedResponseData(OXPack* pack);

  Framework::AsyncExecutor* _sendExecutor = nullptr;     // "发送线程"; owned
  Framework::AsyncExecutor* _receiveExecutor = nullptr;  // "接收线程"; owned
  IOXSendThread* _sendThread = nullptr;                  // created by the transport; owned
  IOXReceiveThread* _receiveThread = nullptr;            // created by the transport; owned

 private:
  class CallbackScope;

  // Removes the entry of packId when it still holds callBack.
  void _RemoveCallback(const std::string& packId, IResponseCallBack* callBack);

  std::map<std::string, IResponseCallBack*> _callBacks;  // not owned
  std::atomic<IPushPackProcessor*> _pushProcessor;
  std::atomic<IRequestPackProcessor*> _requestProcessor;
  Framework::Mutex _callBackLock;
  Framework::Mutex _listenerLock;
  bool _callBacksReleased = false;          // under _callBackLock
  std::atomic<bool> _closing{false};        // the destructor has begun
  std::atomic<bool> _lossTold{false};       // NotifyDisconnected took the listener
  std::atomic<int> _callbacksIn{0};         // call-backs reading or running a processor or listener
  std::atomic<int> _requestsInFlight{0};    // Request calls inside this object
};

}  // namespace OXProctol
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
