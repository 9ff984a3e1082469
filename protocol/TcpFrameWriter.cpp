#include "protocol/TcpFrameWriter.h"


#include <utility>

#include "framework/Env.h"
#include "framework/Exception.h"
#include "framework/MutexGuard.h"
#include "framework/OXSocket.h"

namespace Oxbrindale {
namespace Velmora {
namespace OXProctol {

using Framework::MutexGuard;

TcpFrameWriter::TcpFrameWriter(Framework::OXSocket* socket) : _socket(socket), _lastWriteMs(Framework::Env::Get()->WaitClockMs()) {}

TcpFrameWriter::Result TcpFrameWriter::Write(std::string frame) {
  MutexGuard guard(_lock);
  if (!_backlog.empty() || _flushing) {
    if (_backlog.size() >= BACKLOG_FRAMES) return DROPPED;
    _backlog.push_back(std::move(frame));
    return QUEUED;
  }
  const size_t sent = _socket->TrySend(frame.data(), frame.size());
  if (sent > 0) _Stamp();
  if (sent == frame.size()) return WRITTEN;
  frame.erase(0, sent);  // the rest must go next, before anything else
  _backlog.push_back(std::move(frame));
  return NEED_FLUSH;
}

void TcpFrameWriter::WriteQueued(std::string frame) {
  {
    MutexGuard guard(_lock);
    if (_backlog.size() < BACKLOG_FRAMES) _backlog.push_back(std::move(frame));
  }
  Flush();
}

void TcpFrameWriter::Flush() {
  for (;;) {
    std::string frame;
    {
      MutexGuard guard(_lock);
      if (_backlog.empty()) {
        _flushing = false;
        return;
      }
      frame = std::move(_backlog.front());
      _backlog.pop_front();
      _flushing = true;
    }
    try {
      _socket->Send(frame.data(), static_cast<int>(frame.size()));
      _Stamp();
    } catch (Exception*) {
      MutexGuard guard(_lock);
      _flushing = false;
      throw;
    }
  }
}

long long TcpFrameWriter::MsSinceLastWrite() const { return Framework::Env::Get()->WaitClockMs() - _lastWriteMs.load(); }

void TcpFrameWriter::_Stamp() { _lastWriteMs.store(Framework::Env::Get()->WaitClockMs()); }

}  // namespace OXProctol
}  // namespace Velmora
}  // namespace Oxbrindale
