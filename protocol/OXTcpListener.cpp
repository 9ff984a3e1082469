#include "protocol/OXTcpListener.h"

#include <algorithm>
#include <cstdio>

#include "framework/AsyncExecutor.h"
#include "framework/Convert.h"
#include "framework/EventManager.h"
#include "framework/Exception.h"
#include "framework/MutexGuard.h"
#include "framework/OXServerSocket.h"
#include "framework/OXSocket.h"
#include "framework/Sleep.h"
#include "protocol/IOnConnectionDisconnected.h"
#include "protocol/IOnConnectionEstablished.h"
#include "protocol/IOXSendThread.h"
#include "protocol/OXPack.h"
#include "protocol/TcpOXConnection.h"

namespace Oxbrindale {
namespace Velmora {
namespace OXProctol {

using Framework::AsyncExecutor;
using Framework::EventManager;
using Framework::MutexGuard;
using Framework::OXServerSocket;
using Framework::OXSocket;

namespace {

void PrintLine(const std::string& text) {
  std::string line = text + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

// The accept loop's step lines go to the debug hook: they are no news for
// the foreground run's console (standard output), where failures still go.
void TraceStep(const std::string& text) { EventManager::Instance()->Debug(text); }

}  // namespace

OXTcpListener::OXTcpListener(unsigned short port, IPushPackProcessor* pushProcessor,
                             IRequestPackProcessor* requestProcessor)
    : OXTcpListener(true, "", port, pushProcessor, requestProcessor) {}

OXTcpListener::OXTcpListener(std::string host, unsigned short port, IPushPackProcessor* pushProcessor,
                             IRequestPackProcessor* requestProcessor)
    : OXTcpListener(false, std::move(host), port, pushProcessor, requestProcessor) {}

OXTcpListener::OXTcpListener(bool anyAddress, std::string host, unsigned short port, IPushPackProcessor* pushProcessor,
                             IRequestPackProcessor* requestProcessor)
    : _executor(nullptr),
      _pushProcessor(pushProcessor),
      _requestProcessor(requestProcessor),
      _server(nullptr),
      _port(port),
      _anyAddress(anyAddress),
      _host(std::move(host)),
      _keepAliveMs(IOXSendThread::KEEP_ALIVE_MS) {
  _server = _NewServerSocket(port);
  _executor = new AsyncExecutor(this, "监听线程");
}

OXTcpListener::~OXTcpListener() {
  _closing.store(true);
  StopListen();
  // The accept thread ends first, so no connection is added from here on.
  delete _executor;
  _executor = nullptr;
  DisconnectAllConnection();
  bool remain;
  {
    MutexGuard guard(_childLock);
    remain = !_children.empty();
  }
  if (remain) {
    try {
      _childrenGone.Wait(CLOSING_WAIT_MS);
    } catch (Exception* e) {
      delete e;
    }
  }
  DeleteDisconnectionConnections();
  // Connections that have not reported yet (a processor still busy on their
  // receive thread) are deleted too: each destructor waits for its own
  // threads, and none of them can reach this listener once it is out of the
  // list.
  std::vector<TcpOXConnection*> late;
  {
    MutexGuard guard(_childLock);
    late.swap(_children);
  }
  for (TcpOXConnection* connection : late) delete connection;
  DeleteDisconnectionConnections();
  delete _server;
  _server = nullptr;
}

OXServerSocket* OXTcpListener::_NewServerSocket(unsigned short port) {
  return _anyAddress ? new OXServerSocket(port) : new OXServerSocket(_host, port);
}

int OXTcpListener::StartListen() {
  {
    MutexGuard guard(_socketLock);
    if (_server != nullptr && _server->GetState() != OXServerSocket::STATE_LISTENING) {
      try {
        _server->BeginListen();
      } catch (Exception* e) {
        const std::string text = "OXTcpListener Exceptions:" + e->message;
        delete e;
        delete _server;
        _server = nullptr;
        try {
          EventManager::Instance()->Notify(-1, "SOCKET", text);
        } catch (Exception* full) {
          delete full;
        }
      }
    }
  }
  if (_executor->GetState() == AsyncExecutor::STATE_RUNNING) return 0;
  try {
    return _executor->Start();
  } catch (Exception* e) {
    PrintLine(e->message);
    delete e;
    return -1;
  }
}

bool OXTcpListener::IsListening() {
  MutexGuard guard(_socketLock);
  return _server != nullptr && _server->GetState() == OXServerSocket::STATE_LISTENING;
}

void OXTcpListener::StopListen() {
  MutexGuard guard(_socketLock);
  AsyncExecutable::CallStop();
  _wake.Post();
  _SinPause.Post();
  if (_server != nullptr) _server->Close();
}

void OXTcpListener::CallStop() { StopListen(); }

void OXTcpListener::DisconnectAllConnection() {
  MutexGuard guard(_childLock);
  for (TcpOXConnection* connection : _children) connection->Disconnect();
}

int OXTcpListener::GetConnectionCount() {
  MutexGuard guard(_childLock);
  return static_cast<int>(_children.size());
}

bool OXTcpListener::ResetListenPort(unsigned short port) {
  MutexGuard guard(_socketLock);
  if (port == _port.load()) return true;
  OXServerSocket* fresh = _NewServerSocket(port);
  try {
    fresh->BeginListen();
  } catch (Exception* e) {
    delete e;
    delete fresh;
    return false;
  }
  _pause.store(true);
  _SinPause.Drain();  // a post an earlier reset left behind
  if (_server != nullptr) {
    _server->Close();  // the accept thread leaves Accept at once
    while (_inAccept.load()) Sleep(1);
    delete _server;
    _server = nullptr;
  }
  _port.store(port);
  _server = fresh;
  _pause.store(false);
  _SinPause.Post();
  return true;
}

int OXTcpListener::Run() {
  for (;;) {
    if (IsStopping()) break;
    if (_pause.load()) {
      TraceStep("OXTcpListener _SinPause.Wait()");
      _SinPause.Wait();
      if (IsStopping()) break;
    }

    OXSocket* accepted = nullptr;
    OXServerSocket* server;
    {
      MutexGuard guard(_socketLock);
      server = _server;
      _inAccept.store(server != nullptr);
    }
    if (server != nullptr) {
      TraceStep("OXTcpListener TryAccept");
      try {
        accepted = server->Accept();
        _inAccept.store(false);
        TraceStep("OXTcpListener Accept");
      } catch (Exception* e) {
        _inAccept.store(false);
        PrintLine("*** Socket Accept error:" + e->message + ", shutting down this socket.");
        delete e;
        if (_pause.load()) continue;
        if (IsStopping()) break;
        MutexGuard guard(_socketLock);
        if (_server == server) {
          delete _server;
          _server = nullptr;
        }
      }
    } else {
      if (IsStopping()) break;
      _wake.TimedWait(RETRY_MS);
      if (IsStopping()) break;
    }

    {
      MutexGuard guard(_socketLock);
      if (_server == nullptr && !_pause.load() && !IsStopping()) {
        OXServerSocket* fresh = _NewServerSocket(_port.load());
        try {
          fresh->BeginListen();
          _server = fresh;
        } catch (Exception* e) {
          EventManager::Instance()->Debug(e->message);
          delete e;
          delete fresh;
        }
      }
    }

    if (accepted == nullptr) continue;
    if (IsStopping()) {
      delete accepted;
      break;
    }
    TraceStep("OXTcpListener Accepted a ConnectClient");
    _Adopt(accepted);
  }
  TraceStep("OXTcpListener Thread is Exiting!!!");
  return 0;
}

void OXTcpListener::_Adopt(OXSocket* accepted) {
  TraceStep("OXTcpListener Before Enter CriticalSections Create TcpOXCOnnection.");
  MutexGuard guard(_childLock);
  if (static_cast<int>(_children.size()) >= _maxConnections.load()) {
    EventManager::Instance()->Debug("OXTcpListener refuses a connection: " +
                                    Framework::Convert::ToString(_children.size()) + " connections alive");
    delete accepted;
    return;
  }
  TraceStep("OXTcpListener Create TcpOXCOnnection.");
  TcpOXConnection* connection;
  try {
    connection = new TcpOXConnection(this, accepted, _pushProcessor, _requestProcessor, _keepAliveMs.load());
  } catch (Exception* e) {
    EventManager::Instance()->Debug("OXTcpListener cannot create the connection: " + e->message);
    delete e;
    delete accepted;
    return;
  }
  connection->disconnectedListener.store(_disconnected.load());
  _children.push_back(connection);
  IOnConnectionEstablished* established = _established.load();
  if (established != nullptr) {
    TraceStep("OXTcpListener Call OnConnectionEstablished.");
    try {
      established->OnConnectionEstablished(connection);
    } catch (Exception* e) {
      EventManager::Instance()->Debug(e->message);
      delete e;
    }
  }
  if (!_greets.load()) return;
  TraceStep("OXTcpListener Before Send SERVICE_READY.");
  try {
    connection->SendPack(new OXPack(OXPack::PackKind::PUSH, GREETING, ""));
  } catch (Exception* e) {
    EventManager::Instance()->Debug("Send SERVICE_READY pack errror: " + e->message);
    delete e;
  }
}

void OXTcpListener::ChildConnectionDisconnectedNotify(TcpOXConnection* connection) {
  // The connection leaves the live list before anything else, so the cap
  // counts it no more; the ones lost before it are deleted afterwards (not
  // this one: the calling thread belongs to it).
  std::vector<TcpOXConnection*> earlier;
  {
    MutexGuard guard(_childLock);
    earlier.swap(_retired);
    auto found = std::find(_children.begin(), _children.end(), connection);
    if (found != _children.end()) {
      _children.erase(found);
      _retired.push_back(connection);
    }
    if (_closing.load() && _children.empty()) _childrenGone.Post();
  }
  _Delete(earlier);
}

void OXTcpListener::DeleteDisconnectionConnections() {
  std::vector<TcpOXConnection*> doomed;
  {
    MutexGuard guard(_childLock);
    doomed.swap(_retired);
  }
  _Delete(doomed);
}

void OXTcpListener::_Delete(const std::vector<TcpOXConnection*>& connections) {
  // No pause before each: the destructor itself waits for the connection's
  // threads, so one that is still telling its owner is waited for, and a
  // burst of losses is cleaned up at once.
  for (TcpOXConnection* connection : connections) {
    TraceStep("OxTcpListener Before DeleteDisconnectionConnections");
    delete connection;
    TraceStep("OxTcpListener After DeleteDisconnectionConnections");
  }
}

}  // namespace OXProctol
}  // namespace Velmora
}  // namespace Oxbrindale
