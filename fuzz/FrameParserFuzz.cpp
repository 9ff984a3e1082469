// libFuzzer target for the receive path: arbitrary bytes from a peer go
// through the buffered frame reader (with or without the TCP size limit), the
// frame parser and the connection's dispatch (requests answered, pushes
// copied, responses matched to waiting call-backs), until the stream ends and
// the disconnect notice releases what still waits.
//
// Input: byte 0 chooses the path and the reader; the rest is the byte stream.
//   bit 1 set: the TCP path: the stream is written into a socketpair and read
//     by the TCP connection's own receive logic (OXSocket's buffered
//     ReceiveUntilChar with its 16367-byte limit, "SERVICE_READY" consumed);
//   bit 1 clear: the FrameReader, with the TCP limit when bit 0 is set, fed in
//     chunks of (byte 0 >> 2) bytes (0 = as much as fits).

#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "framework/Exception.h"
#include "framework/OXSocket.h"
#include "framework/FrameReader.h"
#include "protocol/IOXConnection.h"
#include "protocol/IOXReceiveThread.h"
#include "protocol/IOXSendThread.h"
#include "protocol/OXPack.h"
#include "protocol/SyncResponseCallBack.h"
#include "protocol/TcpOXReceiveThread.h"

using namespace Oxbrindale::Velmora::OXProctol;
using Oxbrindale::Velmora::Framework::FrameReader;
using Oxbrindale::Velmora::Framework::OXSocket;

namespace {

const char* const kWaitingIds[] = {"{00000000-0000-0000-0000-000000000000}", "a", "", "{ID}"};

// Packs are queued but never written: the send thread does not run.
class IdleSendThread : public IOXSendThread {
 protected:
  void _SendLogic(OXPack*) override {}
};

// A received pack that may travel again is written and read back unchanged.
void CheckRoundTrip(const OXPack& pack) {
  std::string frame;
  try {
    frame = pack.ToFrame();
  } catch (Exception* e) {
    delete e;
    return;
  }
  frame.pop_back();
  std::unique_ptr<OXPack> again(OXPack::Parse(frame));
  if (!again || again->kind != pack.kind || again->command != pack.command || again->packId != pack.packId ||
      again->time != pack.time || again->body != pack.body)
    __builtin_trap();
}

class MemoryReceiveThread : public IOXReceiveThread {
 public:
  MemoryReceiveThread(IOXConnection* connection, const uint8_t* data, size_t size, bool limited, size_t chunk)
      : _data(data), _size(size), _chunk(chunk), _reader(limited ? FrameReader::TCP_TEXT_LIMIT : 0) {
    _connection = connection;
  }

 protected:
  OXPack* _ReceiveLogic() override {
    for (;;) {
      std::string text = _reader.ReadFrame([this](char* buffer, size_t capacity) -> size_t {
        if (_offset == _size) throw new Exception("IO", "end of input");
        size_t n = _chunk == 0 ? capacity : _chunk;
        if (n > capacity) n = capacity;
        if (n > _size - _offset) n = _size - _offset;
        std::memcpy(buffer, _data + _offset, n);
        _offset += n;
        return n;
      });
      if (text.find('\0') != std::string::npos) __builtin_trap();  // never past the NUL
      OXPack* pack = OXPack::Parse(std::move(text));
      if (pack == nullptr) continue;
      CheckRoundTrip(*pack);
      return pack;
    }
  }

 private:
  const uint8_t* _data;
  size_t _size;
  size_t _chunk;
  size_t _offset = 0;
  FrameReader _reader;
};

// The TCP connection's receive logic on a socket whose peer wrote the stream
// and closed.
class SocketReceiveThread : public TcpOXReceiveThread {
 public:
  SocketReceiveThread(IOXConnection* connection, OXSocket* socket) : TcpOXReceiveThread(socket) {
    _connection = connection;
  }

 protected:
  OXPack* _ReceiveLogic() override {
    OXPack* pack = TcpOXReceiveThread::_ReceiveLogic();
    if (pack->kind == OXPack::PackKind::PUSH && pack->command == "SERVICE_READY") __builtin_trap();  // consumed
    CheckRoundTrip(*pack);
    return pack;
  }
};

class FuzzConnection : public IOXConnection, public IRequestPackProcessor, public IPushPackProcessor {
 public:
  FuzzConnection(const uint8_t* data, size_t size, bool limited, size_t chunk) : IOXConnection(this, this) {
    _sendThread = new IdleSendThread();
    _receiveThread = new MemoryReceiveThread(this, data, size, limited, chunk);
  }
  // The stream is written into a socketpair and the writing end closed.
  FuzzConnection(const uint8_t* data, size_t size) : IOXConnection(this, this) {
    _sendThread = new IdleSendThread();
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) __builtin_trap();
    const int room = static_cast<int>(size) + 4096;
    ::setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    ::setsockopt(fds[1], SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    size_t written = 0;
    while (written < size) {
      const ssize_t n = ::send(fds[0], data + written, size - written, MSG_NOSIGNAL);
      if (n <= 0) __builtin_trap();  // the buffers hold any input of -max_len
      written += static_cast<size_t>(n);
    }
    ::close(fds[0]);
    _socket.reset(new OXSocket(fds[1], "127.0.0.1", 0));
    _receiveThread = new SocketReceiveThread(this, _socket.get());
  }
  ~FuzzConnection() override { _StopThreads(); }

  void Wait(const std::string& id, IResponseCallBack* callBack) { _RegCallback(id, callBack); }
  void RunReceiveLoop() { _receiveThread->Run(); }

  bool IsConnected() override { return _connected; }
  void Disconnect() override { _connected = false; }
  std::string GetRemoteAddr() override { return "fuzz"; }

  void OnReceivedRequestPack(IOXConnection* connection, OXPack* pack) override {
    connection->SendResponsePack("RET", "OK\n" + pack->body, pack->packId);
    if (pack->command == "THROW") throw new Exception("TEST", "processor failure");
  }
  void OnReceivedPushPack(IOXConnection*, OXPack* pack) override { _pushes.push_back(pack->body); }

 protected:
  void _ProcessDisconnected() override { ++_disconnects; }

 private:
  std::unique_ptr<OXSocket> _socket;  // deleted after the threads
  bool _connected = true;
  int _disconnects = 0;
  std::vector<std::string> _pushes;
};

class Listener : public IOnConnectionDisconnected {
 public:
  void OnConnectionDisconnected(IOXConnection*) override { ++calls; }
  int calls = 0;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The connection's diagnostic lines would drown the fuzzer's own output.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool overTcp = (data[0] & 2) != 0;
  const bool limited = (data[0] & 1) != 0;
  const size_t chunk = data[0] >> 2;
  std::unique_ptr<FuzzConnection> made(overTcp ? new FuzzConnection(data + 1, size - 1)
                                               : new FuzzConnection(data + 1, size - 1, limited, chunk));
  FuzzConnection& connection = *made;
  Listener listener;
  connection.disconnectedListener = &listener;
  std::vector<std::unique_ptr<SyncResponseCallBack>> waiting;
  for (const char* id : kWaitingIds) {
    waiting.emplace_back(new SyncResponseCallBack());
    connection.Wait(id, waiting.back().get());
  }
  connection.RunReceiveLoop();
  if (listener.calls != 1) __builtin_trap();  // the stream's end is told exactly once
  for (auto& callBack : waiting) {
    try {
      delete callBack->WaitCallBack(0);  // every one was answered or released
    } catch (Exception* e) {
      delete e;
      __builtin_trap();
    }
  }
  return 0;
}
