#include "protocol/IOXSendThread.h"

#include <cstdio>
#include <memory>
#include <string>

#include "framework/Exception.h"
#include "protocol/ConnectionTrace.h"
#include "protocol/IOXConnection.h"
#include "protocol/OXPack.h"

namespace Oxbrindale {
namespace Velmora {
namespace OXProctol {

IOXSendThread::IOXSendThread() = default;

IOXSendThread::~IOXSendThread() {
  DebugConnectionTrace("** before ~IOXSendThread", _connection);
  while (!_queue.IsEmpty()) {
    DebugConnectionTrace("** before ~IOXSendThread take", _connection);
    OXPack* pack = nullptr;
    try {
      pack = _queue.TakeUntil(0);
    } catch (Exception* e) {
      delete e;
      break;
    }
    DebugConnectionTrace("** after ~IOXSendThread take", _connection);
    delete pack;
  }
  DebugConnectionTrace("** after ~IOXSendThread", _connection);
}

int IOXSendThread::Run() {
  bool failed = false;
  while (!IsStopping()) {
    OXPack* next = nullptr;
    try {
      next = _queue.TakeUntil(static_cast<unsigned long>(_keepAliveMs.load()));
    } catch (Exception* e) {  // nothing to send for a whole interval
      delete e;
      next = new OXPack(OXPack::PackKind::HEARTBEAT, "0", "0");
    }
    if (next == nullptr) continue;
    std::unique_ptr<OXPack> pack(next);
    if (pack->kind == OXPack::PackKind::STOP) break;
    try {
      _SendLogic(pack.get());
    } catch (Exception* e) {
      std::printf("%s\n", e->message.c_str());
      std::fflush(stdout);
      delete e;
      failed = true;
      break;
    }
  }
  // A dead write side must not leave the connection looking alive: closing the
  // channel makes the pending read fail, so the owner is told once.
  if (failed && _connection != nullptr) _connection->Disconnect();
  DebugConnectionTrace("*** SendThread Exit ", _connection);
  return 0;
}

void IOXSendThread::CallStop() {
  AsyncExecutable::CallStop();
  if (_queue.IsFull()) return;
  OXPack* marker = new OXPack(OXPack::PackKind::STOP, "-1", "");
  try {
    _queue.Put(marker);
  } catch (Exception* e) {
    delete e;
    delete marker;
  }
}

void IOXSendThread::SendPack(OXPack* pack) {
  if (_queue.IsFull()) {
    delete pack;
    return;
  }
  try {
    _queue.Put(pack);
  } catch (Exception* e) {
    delete pack;
    throw e;
  }
}

}  // namespace OXProctol
}  // namespace Velmora
}  // namespace Oxbrindale
