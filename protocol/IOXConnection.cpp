#include "protocol/IOXConnection.h"

#include <cstdio>
#include <memory>

#include "framework/AsyncExecutor.h"
#include "framework/EventManager.h"
#include "framework/Exception.h"
#include "framework/MutexGuard.h"
#include "framework/Sleep.h"
#include "protocol/ConnectionTrace.h"
#include "protocol/IOXReceiveThread.h"
#include "protocol/IOXSendThread.h"
#include "protocol/SyncResponseCallBack.h"

namespace Oxbrindale {
namespace Velmora {
namespace OXProctol {

using Framework::AsyncExecutor;
using Framework::MutexGuard;

namespace {

const char* const DISCONNECTED_TEXT = "连接已经断开，无法发送数据！";
const char* const NOT_ESTABLISHED_TEXT = "连接并没有建立，无法启动！";

// Counts a Request as running inside the connection from its start to its
// very last access, so the destructor can wait for it.
class RequestMark : Framework::NonCopyable {
 public:
  explicit RequestMark(std::atomic<int>& count) : count_(count) { count_.fetch_add(1); }
  ~RequestMark() { count_.fetch_sub(1); }

 private:
  std::atomic<int>& count_;
};

// The connection whose call-back the current thread runs, if any.
thread_local const IOXConnection* tCallbackOf = nullptr;

}  // namespace

// Counts a call-back from before it reads the processor or listener until it
// returned, so WaitCallbacksOut can wait for it.
class IOXConnection::CallbackScope : Framework::NonCopyable {
 public:
  explicit CallbackScope(IOXConnection& connection) : connection_(connection), outer_(tCallbackOf) {
    connection_._callbacksIn.fetch_add(1);
    tCallbackOf = &connection_;
  }
  ~CallbackScope() {
    tCallbackOf = outer_;
    connection_._callbacksIn.fetch_sub(1);
  }

 private:
  IOXConnection& connection_;
  const IOXConnection* const outer_;
};

IOXConnection::IOXConnection(IPushPackProcessor* pushProcessor, IRequestPackProcessor* requestProcessor)
    : _pushProcessor(pushProcessor), _requestProcessor(requestProcessor) {}

IOXConnection::~IOXConnection() {
  _closing.store(true);
  _StopThreads();
  _WaitBusyJobs();
  _ClearRegCallBack();
  // A Request woken by the release above still removes its entry and frees
  // its call-back; the locks and the map must outlive that.
  while (_requestsInFlight.load() > 0) Sleep(10);
}

void IOXConnection::SendPack(OXPack* pack) {
  std::unique_ptr<OXPack> owned(pack);
  if (!IsConnected()) throw new Exception("OXPROCTOL", DISCONNECTED_TEXT);
  owned->CheckFrameSafe();
  if (_sendThread == nullptr) throw new Exception("OXPROCTOL", DISCONNECTED_TEXT);
  _sendThread->SendPack(owned.release());
}

void IOXConnection::SendPack(OXPack* pack, IResponseCallBack* callBack) {
  std::unique_ptr<OXPack> owned(pack);
  if (!IsConnected()) throw new Exception("OXPROCTOL", DISCONNECTED_TEXT);
  const std::string packId = owned->packId;  // the pack may be gone once queued
  const bool registered = _RegCallback(packId, callBack);
  try {
    SendPack(owned.release());
  } catch (Exception* e) {
    if (registered) _RemoveCallback(packId, callBack);
    throw e;
  }
}

void IOXConnection::SendResponsePack(const std::string& command, const std::string& body, const std::string& packId) {
  try {
    SendPack(new OXPack(OXPack::PackKind::RESPONSE, command, packId, body));
  } catch (Exception* e) {
    delete e;
  }
}

std::string* IOXConnection::Request(const std::string& command, const std::string& body) {
  return Request(command, body, 30000);
}

std::string* IOXConnection::Request(const std::string& command, const std::string& body, int timeoutMs) {
  RequestMark mark(_requestsInFlight);
  if (_closing.load() || !IsConnected()) throw new Exception("OXPROCTOL", DISCONNECTED_TEXT);
  std::unique_ptr<SyncResponseCallBack> callBack(new SyncResponseCallBack());
  OXPack* pack = new OXPack(OXPack::PackKind::REQUEST, command, body);
  const std::string packId = pack->packId;
  SendPack(pack, callBack.get());
  std::string* answer = nullptr;
  try {
    answer = callBack->WaitCallBack(timeoutMs);
  } catch (Exception* e) {
    // Once the entry is gone no response can reach the call-back any more;
    // one that came between the time-out and here is dropped.
    _RemoveCallback(packId, callBack.get());
    delete callBack->TakeBody();
    throw e;
  }
  _RemoveCallback(packId, callBack.get());
  return answer;
}

void IOXConnection::Disconnect() {}

void IOXConnection::_WaitBusyJobs() {
  for (;;) {
    {
      MutexGuard guard(busyLock);
      if (busyCount <= 0) return;
    }
    Sleep(10);
  }
}

void IOXConnection::NotifyDisconnected() {
  Disconnect();
  _ClearRegCallBack();
  _ProcessDisconnected();
  MutexGuard guard(_listenerLock);
  CallbackScope scope(*this);
  _lossTold.store(true);
  IOnConnectionDisconnected* listener = disconnectedListener.exchange(nullptr);
  if (listener != nullptr) listener->OnConnectionDisconnected(this);
}

bool IOXConnection::HookDisconnectedListener(IOnConnectionDisconnected* listener) {
  disconnectedListener.store(listener);
  if (!_lossTold.load()) return true;
  // The notice is going out: it either took this listener already, or it
  // took the one before and will never come again.
  IOnConnectionDisconnected* expected = listener;
  return !disconnectedListener.compare_exchange_strong(expected, nullptr);
}

void IOXConnection::WaitCallbacksOut() {
  const int own = tCallbackOf == this ? 1 : 0;
  while (_callbacksIn.load() > own) Sleep(1);
}

void IOXConnection::DataReceived(OXPack* pack) {
  std::unique_ptr<OXPack> owned(pack);
  if (pack == nullptr) return;
  if (pack->kind == OXPack::PackKind::REQUEST) {
    CallbackScope scope(*this);
    IRequestPackProcessor* processor = _requestProcessor.load();
    if (processor != nullptr) processor->OnReceivedRequestPack(this, pack);
  } else if (pack->kind == OXPack::PackKind::RESPONSE) {
    _OnReceivedResponseData(pack);
  } else if (pack->kind == OXPack::PackKind::PUSH) {
    CallbackScope scope(*this);
    IPushPackProcessor* processor = _pushProcessor.load();
    if (processor != nullptr) processor->OnReceivedPushPack(this, pack);
  }
}

void IOXConnection::CancelCallback(const std::string& packId) {
  MutexGuard guard(_callBackLock);
  _callBacks.erase(packId);
}

void IOXConnection::SetKeepAliveInterval(long ms) {
  if (_sendThread != nullptr) _sendThread->SetKeepAliveInterval(ms);
}

void IOXConnection::_OnConnectionEstablished() {
  Framework::EventManager::Instance()->Notify(-1, "DEBUG", "Conn 建立！");
  if (!IsConnected()) throw new Exception("OXPROCTOL", NOT_ESTABLISHED_TEXT);
  if (_sendExecutor != nullptr || _receiveExecutor != nullptr || _sendThread == nullptr || _receiveThread == nullptr)
    throw new Exception("OXPROCTOL", "连接已经启动过或者缺少收发线程，无法启动！");
  _sendThread->_connection = this;
  _receiveThread->_connection = this;
  _sendExecutor = new AsyncExecutor(_sendThread, "发送线程");
  _receiveExecutor = new AsyncExecutor(_receiveThread, "接收线程");
  std::string failure;
  try {
    if (_receiveExecutor->Start() != 0 || _sendExecutor->Start() != 0) failure = "pthread_create";
  } catch (Exception* e) {
    failure = e->message;
    delete e;
  }
  if (!failure.empty()) {
    // Without both threads the connection cannot work: close the channel so
    // a receive thread that did start ends, and tell the caller.
    Disconnect();
    throw new Exception("OXPROCTOL", "连接的收发线程启动失败！" + failure);
  }
}

void IOXConnection::_StopThreads() {
  if (_sendExecutor != nullptr) {
    DebugConnectionTrace("*** Sending _SendThread CallStop();", this);
    _sendThread->CallStop();
    DebugConnectionTrace("*** wait sendthread exit", this);
    _sendExecutor->WaitExited();
    DebugConnectionTrace("*** Send Thread Exited then delete it!", this);
    delete _sendExecutor;  // deletes the send thread with it
  } else {
    delete _sendThread;
  }
  _sendExecutor = nullptr;
  _sendThread = nullptr;
  if (_receiveExecutor != nullptr) {
    _receiveThread->CallStop();
    _receiveExecutor->WaitExited();
    delete _receiveExecutor;
  } else {
    delete _receiveThread;
  }
  _receiveExecutor = nullptr;
  _receiveThread = nullptr;
}

bool IOXConnection::_RegCallback(const std::string& packId, IResponseCallBack* callBack) {
  MutexGuard guard(_callBackLock);
  if (_callBacksReleased) throw new Exception("OXPROCTOL", DISCONNECTED_TEXT);
  return _callBacks.emplace(packId, callBack).second;
}

void IOXConnection::_ClearRegCallBack() {
  MutexGuard guard(_callBackLock);
  _callBacksReleased = true;
  Framework::EventManager::Instance()->Debug("@ _ClearRegCallBack, the count is " +
                                             std::to_string(_callBacks.size()));
  for (auto& entry : _callBacks) {
    try {
      entry.second->ResponseCallBack(this, nullptr);
    } catch (Exception* e) {
      delete e;
    }
  }
  _callBacks.clear();
}

void IOXConnection::_OnReceivedResponseData(OXPack* pack) {
  MutexGuard guard(_callBackLock);
  auto found = _callBacks.find(pack->packId);
  if (found == _callBacks.end()) return;
  IResponseCallBack* callBack = found->second;
  _callBacks.erase(found);
  try {
    callBack->ResponseCallBack(this, pack);
  } catch (Exception* e) {
    delete e;
  }
}

void IOXConnection::_RemoveCallback(const std::string& packId, IResponseCallBack* callBack) {
  MutexGuard guard(_callBackLock);
  auto found = _callBacks.find(packId);
  if (found != _callBacks.end() && found->second == callBack) _callBacks.erase(found);
}

}  // namespace OXProctol
}  // namespace Velmora
}  // namespace Oxbrindale
