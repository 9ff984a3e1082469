#include "protocol/TcpOXConnection.h"

#include <algorithm>
#include <memory>

#include "framework/Exception.h"
#include "framework/OXSocket.h"
#include "protocol/ConnectionTrace.h"
#include "protocol/OXPack.h"
#include "protocol/OXTcpListener.h"
#include "protocol/TcpOXReceiveThread.h"
#include "protocol/TcpOXSendThread.h"

namespace Oxbrindale {
namespace Velmora {
namespace OXProctol {

using Framework::OXSocket;

namespace {

// Slice of the greeting wait after which a lost connection is noticed.
const unsigned long kReadySliceMs = 50;

}  // namespace

TcpOXConnection::TcpOXConnection(IPushPackProcessor* pushProcessor, IRequestPackProcessor* requestProcessor)
    : IOXConnection(pushProcessor, requestProcessor), _socket(new OXSocket()), _writer(_socket), _listener(nullptr) {
  _sendThread = new TcpOXSendThread(&_writer);
  _receiveThread = new TcpOXReceiveThread(_socket);
  _outcome.store(OUTCOME_RUNNING);
}

TcpOXConnection::TcpOXConnection(OXTcpListener* listener, OXSocket* socket, IPushPackProcessor* pushProcessor,
                                 IRequestPackProcessor* requestProcessor, long keepAliveMs)
    : IOXConnection(pushProcessor, requestProcessor), _socket(socket), _writer(_socket), _listener(listener) {
  _sendThread = new TcpOXSendThread(&_writer);
  _receiveThread = new TcpOXReceiveThread(_socket);
  SetKeepAliveInterval(keepAliveMs);
  try {
    _OnConnectionEstablished();
  } catch (Exception*) {
    // A receive thread that did start has been disconnected; it must end
    // without reporting to the listener, whose lock our caller may hold.
    _outcome.store(OUTCOME_FAILED);
    _outcomeKnown.Post();
    _StopThreads();
    _socket = nullptr;  // stays the caller's
    throw;
  }
  _outcome.store(OUTCOME_RUNNING);
  _outcomeKnown.Post();
}

TcpOXConnection::~TcpOXConnection() {
  Disconnect();
  _StopThreads();
  _WaitBusyJobs();
  delete _socket;
  _socket = nullptr;
}

void TcpOXConnection::_ProcessDisconnected() {
  if (_listener == nullptr) return;
  if (_outcome.load() == OUTCOME_PENDING) _outcomeKnown.Wait();
  if (_outcome.load() == OUTCOME_RUNNING) _listener->ChildConnectionDisconnectedNotify(this);
}

void TcpOXConnection::Connect(const std::string& host, unsigned short port) {
  _socket->Connect(host, port);
  _OnConnectionEstablished();
  if (!_WaitServerReady(SERVER_READY_WAIT_MS)) {
    Disconnect();
    throw new Exception("SOCKET_SERVER_NOT_READY", "已经成功建立连接，但是服务器却没有响应！");
  }
}

void TcpOXConnection::Connect(const std::string& host, unsigned short port, unsigned long timeoutSeconds) {
  _socket->Connect(host, port, timeoutSeconds);
  _OnConnectionEstablished();
  if (!_WaitServerReady(timeoutSeconds * 1000)) {
    throw new Exception("SOCKET_SERVER_NOT_READY", "已经成功建立连接，但是服务器却没有响应！");
  }
}

bool TcpOXConnection::_WaitServerReady(unsigned long ms) {
  unsigned long left = ms;
  for (;;) {
    const unsigned long slice = std::min(left, kReadySliceMs);
    if (_socket->WatiServerReady(slice)) return true;
    left -= slice;
    if (left == 0 || !_socket->IsConnected()) return false;
  }
}

void TcpOXConnection::SendPack(OXPack* pack) {
  std::unique_ptr<OXPack> owned(pack);
  if (!IsConnected()) throw new Exception("OXPROCTOL", "连接已经断开，无法发送数据！");
  std::string frame = owned->ToFrame();  // refuses a pack that would not be one frame
  TcpFrameWriter::Result result;
  try {
    result = _writer.Write(std::move(frame));
  } catch (Exception* e) {
    // The connection is lost, as when the send thread's write fails: the
    // closed channel makes the pending read fail and the receive thread tells
    // the owner (once, also when the send thread failed as well).
    PrintConnectionTrace(e->message, this);
    delete e;
    Disconnect();
    return;
  }
  if (result != TcpFrameWriter::NEED_FLUSH) return;
  try {
    IOXConnection::SendPack(new OXPack(TcpOXSendThread::FLUSH_KIND, "", ""));
  } catch (Exception* e) {
    delete e;  // lost meanwhile: nothing waits to be written any more
  }
}

void TcpOXConnection::SetKeepAliveInterval(long ms) {
  if (_sendThread != nullptr) static_cast<TcpOXSendThread*>(_sendThread)->SetSilenceLimit(ms);
}

bool TcpOXConnection::IsConnected() { return _socket != nullptr && _socket->IsConnected(); }

void TcpOXConnection::Disconnect() {
  if (_socket != nullptr) _socket->Disconnect();
}

std::string TcpOXConnection::GetRemoteAddr() { return _socket != nullptr ? _socket->GetPeerAddress() : ""; }

}  // namespace OXProctol
}  // namespace Velmora
}  // namespace Oxbrindale
