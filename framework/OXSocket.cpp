#include "framework/OXSocket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "framework/Convert.h"
#include "framework/Env.h"
#include "framework/Exception.h"
#include "framework/MutexGuard.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

namespace {

std::string ErrorText(int error) {
  char buffer[256];
  // GNU strerror_r: answers a pointer to the text, which may or may not be buffer.
  return std::string(strerror_r(error, buffer, sizeof(buffer)));
}

void PrintLine(const std::string& text) {
  std::string line = text + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

long long MsUntil(const struct timespec& deadline) {
  struct timespec now;
  clock_gettime(Env::Get()->WaitClock(), &now);
  long long ms = static_cast<long long>(deadline.tv_sec - now.tv_sec) * 1000 + (deadline.tv_nsec - now.tv_nsec) / 1000000;
  return ms < 0 ? 0 : ms;
}

// Error number of a connect that did not finish at once: waits (without limit)
// until the socket is writable and reads its pending error.
int WaitConnectResult(int fd) {
  for (;;) {
    struct pollfd p;
    p.fd = fd;
    p.events = POLLOUT;
    p.revents = 0;
    const int rc = ::poll(&p, 1, -1);
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0) return errno;
    break;
  }
  int error = 0;
  socklen_t length = sizeof(error);
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
  return error;
}

// The failure of a connect that ended with error, for the errors that tell
// what went wrong; null for any other error.
Exception* ClassifiedConnectFailure(int error) {
  switch (error) {
    case ENETDOWN:
      return new Exception("SOCKET_NETWORK_DISABLED", "尝试连接远程服务器发生错误，网络连接不可用！");
    case ENETRESET:
      return new Exception("SOCKET_NETWORK_DISCONNECTED", "尝试连接远程服务器发生错误，网络连接被断开！");
    case ETIMEDOUT:
    case EHOSTUNREACH:
      return new Exception("SOCKET_REMOTE_NOT_EXIST", "尝试连接远程服务器发生错误，远程服务器不存在！");
    case ECONNREFUSED:
      return new Exception("SOCKET_REJECTED", "尝试连接远程服务器发生错误，远程服务器拒绝连接！");
    default:
      return nullptr;
  }
}

// A text of four dot-separated groups of decimal digits is used as it is;
// anything else is looked up as a host name.
bool LooksLikeDottedAddress(std::string host) {
  std::vector<std::string> parts = Convert::tokenize(host, ".", false, "");
  if (parts.size() != 4) return false;
  for (const std::string& part : parts) {
    if (!Convert::IsInteger(part)) return false;
  }
  return true;
}

}  // namespace

// Marks one Send or Receive call as using the descriptor, so that Disconnect
// leaves the closing of it to the last user.
class OXSocket::_Use {
 public:
  explicit _Use(OXSocket& socket) : _socket(socket) {
    MutexGuard guard(socket._lock);
    fd = socket._fd.load();
    if (fd == -1) throw new Exception("SOCKET_DISCONNECTED", "Socket is NULL, cannot send.");
    ++socket._users;
  }
  ~_Use() { _socket._ReleaseUse(); }

  int fd;

 private:
  OXSocket& _socket;
};

OXSocket::OXSocket() : _created(time(nullptr)), _fd(-1), _port(0), _state(STATE_NOT_CONNECTED) {}

OXSocket::OXSocket(int descriptor, std::string peerAddress, unsigned short port)
    : _created(time(nullptr)),
      _fd(descriptor),
      _peerAddress(std::move(peerAddress)),
      _port(port),
      _state(descriptor >= 0 ? STATE_CONNECTED : STATE_NOT_CONNECTED) {}

OXSocket::~OXSocket() {
  Disconnect();
  PrintLine("*** in ~OXSocket");
  // Every user has left by now (the owner ends its threads first); whatever
  // is still waiting to be closed is closed here.
  MutexGuard guard(_lock);
  for (int fd : _closing) ::close(fd);
  _closing.clear();
}

void OXSocket::_ReleaseUse() {
  MutexGuard guard(_lock);
  if (--_users > 0) return;
  for (int fd : _closing) ::close(fd);
  _closing.clear();
}

void OXSocket::_CheckNotLocallyClosed() {
  if (_fd.load() == -1) throw new Exception("SOCKET_DISCONNECTED", "Socket is NULL, cannot send.");
}

std::string OXSocket::GetPeerAddress() {
  MutexGuard guard(_lock);
  return _peerAddress;
}

std::string OXSocket::GetIPAddressFromDomainName(std::string name) {
  struct addrinfo hints;
  std::memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* found = nullptr;
  if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return "";
  std::string text;
  for (struct addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET || entry->ai_addr == nullptr) continue;
    char buffer[INET_ADDRSTRLEN];
    const struct sockaddr_in* address = reinterpret_cast<const struct sockaddr_in*>(entry->ai_addr);
    if (::inet_ntop(AF_INET, &address->sin_addr, buffer, sizeof(buffer)) != nullptr) text = buffer;
    break;
  }
  ::freeaddrinfo(found);
  return text;
}

void OXSocket::_ApplyConnectedOptions(int fd) {
  int on = 1;
  int idle = 10;
  int interval = 3;
  int count = 3;
  ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof(idle));
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof(interval));
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof(count));
}

int OXSocket::_SocketForConnect() {
  int fd = _fd.load();
  if (fd == -1) {
    errno = 0;
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
      throw new Exception("SOCKET", "establish socket failure, ErrorCode=" + Convert::ToString(errno));
    }
    MutexGuard guard(_lock);
    _fd.store(fd);
  }
  return fd;
}

void OXSocket::Connect(std::string host, unsigned short port) {
  if (host.empty()) throw new Exception("IP_OR_DOMAIN_ERROR", "the ipaddress is empty!");
  if (_state.load() != STATE_NOT_CONNECTED) {
    throw new Exception("SOCKET_AREADY_CONNECTED",
                        "there is a socket connected aready, cannot connect before it is disconnected.");
  }
  const int fd = _SocketForConnect();
  _serverReady.store(false);

  if (!LooksLikeDottedAddress(host)) {
    host = GetIPAddressFromDomainName(host);
    if (host.empty()) throw new Exception("IP_OR_DOMAIN_ERROR", "cannot get the ip address from domain!");
  }

  struct sockaddr_in address;
  std::memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = ::inet_addr(host.c_str());
  int error = 0;
  if (::connect(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) != 0) {
    error = errno;
    // A signal does not abort the attempt: the connect goes on in the kernel.
    if (error == EINTR) error = WaitConnectResult(fd);
  }
  if (error != 0) {
    Exception* failure = ClassifiedConnectFailure(error);
    throw failure != nullptr ? failure : new Exception("SOCKET_UNKNOW_FAILURE", "尝试连接远程服务器发生错误，其他错误！");
  }

  {
    MutexGuard guard(_lock);
    _peerAddress = host;
    _port.store(port);
    _state.store(STATE_CONNECTED);
  }
  _ApplyConnectedOptions(fd);
  int nonBlocking = 1;
  if (::ioctl(fd, FIONBIO, &nonBlocking) != 0) throw new Exception("SOCKET_TRUN_MODE_FAIL", "SOCKET 模式转换出错!");
}

void OXSocket::Connect(std::string host, unsigned short port, unsigned long timeoutSeconds) {
  if (_state.load() != STATE_NOT_CONNECTED) {
    throw new Exception("SOCKET_AREADY_CONNECTED", "已经有连接到远程服务器，在断开连接之前不能再连接");
  }
  const int fd = _SocketForConnect();
  _serverReady.store(false);

  if (!LooksLikeDottedAddress(host)) host = GetIPAddressFromDomainName(host);
  struct sockaddr_in address;
  std::memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  // A text that is no address at all is not connected to some stray address.
  if (host.empty() || ::inet_aton(host.c_str(), &address.sin_addr) == 0) {
    throw new Exception("IP_OR_DOMAIN_ERROR", "cannot get the ip address from domain!");
  }

  int nonBlocking = 1;
  ::ioctl(fd, FIONBIO, &nonBlocking);
  if (::connect(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) != 0) {
    const int error = errno;
    if (error != EINPROGRESS && error != EINTR) {
      Exception* failure = ClassifiedConnectFailure(error);
      throw failure != nullptr ? failure : new Exception("SOCKET_OTHER_ERR", "Socket Other Error:" + ErrorText(error));
    }
    const long long total = static_cast<long long>(timeoutSeconds) * 1000;
    const struct timespec deadline = Env::Get()->DeadlineAfter(total);
    int rc;
    struct pollfd p;
    for (;;) {
      p.fd = fd;
      p.events = POLLOUT;
      p.revents = 0;
      rc = ::poll(&p, 1, static_cast<int>(std::min<long long>(MsUntil(deadline), 0x7fffffff)));
      if (rc < 0 && errno == EINTR) continue;
      break;
    }
    if (rc == 0) {
      Disconnect();
      throw new Exception("SOCKET_TIMEOUT", "无法建立连接！");
    }
    if (rc < 0 || (p.revents & (POLLOUT | POLLERR | POLLHUP)) == 0) {
      Disconnect();
      throw new Exception("SOCKET_UNKNOW_FAILURE", "无法建立连接！");
    }
    // The attempt ended: refused, unreachable, ... The descriptor is closed:
    // after a failed attempt in the background the kernel would fail the
    // next connect on it once more (ECONNABORTED).
    int pending = 0;
    socklen_t length = sizeof(pending);
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &length) != 0) {
      Disconnect();
      throw new Exception("SOCKET_UNKNOW_FAILURE", "无法建立连接！");
    }
    if (pending != 0) {
      Disconnect();
      Exception* failure = ClassifiedConnectFailure(pending);
      throw failure != nullptr ? failure : new Exception("SOCKET_UNKNOW_FAILURE", "无法建立连接！");
    }
  }
  ::ioctl(fd, FIONBIO, &nonBlocking);
  _ApplyConnectedOptions(fd);
  errno = 0;
  MutexGuard guard(_lock);
  _peerAddress = host;
  _port.store(port);
  _state.store(STATE_CONNECTED);
}

int OXSocket::_WaitTurn(int fd, short events, short* revents, long long limitMs) {
  int turn = _turnMs.load();
  if (limitMs >= 0 && limitMs < turn) turn = static_cast<int>(limitMs);
  const struct timespec deadline = Env::Get()->DeadlineAfter(turn);
  int wait = turn;
  for (;;) {
    struct pollfd p;
    p.fd = fd;
    p.events = events;
    p.revents = 0;
    const int rc = ::poll(&p, 1, wait);
    if (rc >= 0) {
      *revents = p.revents;
      return rc;
    }
    if (errno != EINTR) return -1;
    // Interrupted by a signal: the rest of the same turn.
    wait = static_cast<int>(MsUntil(deadline));
    if (wait == 0) {
      *revents = 0;
      return 0;
    }
  }
}

void OXSocket::_FailSend(_Style style, _Where where, int error) {
  Disconnect();
  if (style == STYLE_BIG) {
    if (error == 0) throw new Exception("SOCKET_CHANNEL_DISCONNECTED", "发送数据错误，关闭SOCKET!");
    throw new Exception("SOCKET_CHANNEL_DISCONNECTED",
                        "发送数据错误，自动关闭SOCKET，请重新建立连接，WSAErrorCode=" + Convert::ToString(error));
  }
  const char* what = where == WHERE_WAIT          ? "发送数据错误，关闭SOCKET! select return -1 "
                     : where == WHERE_EXCEPTIONAL ? "发送数据错误，关闭SOCKET! exp_fds changes -1 "
                                                  : "发送数据错误，关闭SOCKET! send return -1 ";
  throw new Exception("SOCKET_CHANNEL_DISCONNECTED", what + Convert::ToString(error) + ":" + ErrorText(error));
}

void OXSocket::_FailReceive(_Style style, _Where where, int error) {
  Disconnect();
  if (style == STYLE_BIG) {
    if (error == 0) throw new Exception("SOCKET_CHANNEL_DISCONNECTED", "断开连接。");
    throw new Exception("SOCKET_RECEIVE_ERROR",
                        "接收数据错误，自动关闭SOCKET，请重新建立连接，WSAErrorCode=" + Convert::ToString(error));
  }
  const char* what = where == WHERE_WAIT          ? "接收数据错误，关闭SOCKET! select return -1 "
                     : where == WHERE_EXCEPTIONAL ? "接收数据错误，关闭SOCKET! exp_fds changes -1 "
                                                  : "接收数据错误，关闭SOCKET! send return -1 ";
  throw new Exception("SOCKET_CHANNEL_DISCONNECTED", what + Convert::ToString(error) + ":" + ErrorText(error));
}

namespace {

int PendingSocketError(int fd) {
  int error = 0;
  socklen_t length = sizeof(error);
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
  return error;
}

}  // namespace

void OXSocket::Send(const char* data, int length) {
  if (_state.load() != STATE_CONNECTED) throw new Exception("SOCKET_DISCONNECTED", "Socket没有连接!");
  _SendAll(data, length > 0 ? static_cast<size_t>(length) : 0, STYLE_STREAM);
}

void OXSocket::_SendAll(const char* data, size_t total, _Style style) {
  _Use use(*this);
  size_t sent = 0;
  int emptyTurns = 0;
  while (sent < total) {
    _CheckNotLocallyClosed();
    const ssize_t n = ::send(use.fd, data + sent, total - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    const int error = n == 0 ? 0 : errno;
    if (n < 0 && error == EINTR) continue;
    if (n < 0 && (error == EAGAIN || error == EWOULDBLOCK)) {
      short revents = 0;
      const int rc = _WaitTurn(use.fd, POLLOUT | POLLPRI, &revents);
      const int waitError = errno;
      _CheckNotLocallyClosed();
      if (rc < 0) _FailSend(style, WHERE_WAIT, waitError);
      if (rc == 0) {
        if (emptyTurns > 2) {
          Disconnect();
          throw new Exception("SOCKET_TIMEOUT", "socket sending timeout shutdown connection. ");
        }
        ++emptyTurns;
        continue;
      }
      if (revents & (POLLERR | POLLNVAL | POLLPRI)) {
        _FailSend(style, WHERE_EXCEPTIONAL, PendingSocketError(use.fd));
      }
      continue;
    }
    _CheckNotLocallyClosed();
    _FailSend(style, WHERE_CALL, error);
  }
}

size_t OXSocket::TrySend(const char* data, size_t length) {
  if (_state.load() != STATE_CONNECTED) throw new Exception("SOCKET_DISCONNECTED", "Socket没有连接!");
  _Use use(*this);
  size_t sent = 0;
  while (sent < length) {
    _CheckNotLocallyClosed();
    const ssize_t n = ::send(use.fd, data + sent, length - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    const int error = n == 0 ? 0 : errno;
    if (n < 0 && error == EINTR) continue;
    if (n < 0 && (error == EAGAIN || error == EWOULDBLOCK)) break;
    _CheckNotLocallyClosed();
    _FailSend(STYLE_STREAM, WHERE_CALL, error);
  }
  return sent;
}

size_t OXSocket::_ReceiveSome(char* buffer, size_t length, const struct timespec* deadline, _Style style) {
  _Use use(*this);
  for (;;) {
    long long limitMs = -1;
    if (deadline != nullptr) {
      limitMs = MsUntil(*deadline);
      if (limitMs == 0) {
        Disconnect();
        throw new Exception("SOCKET_TIMEOUT", "socket receiving timeout shutdown connection. ");
      }
    }
    // Wait first: a reader mostly comes here when everything that had arrived
    // is consumed, so reading first would mostly find nothing.
    short revents = 0;
    const int rc = _WaitTurn(use.fd, POLLIN | POLLPRI, &revents, limitMs);
    const int waitError = errno;
    _CheckNotLocallyClosed();
    if (rc < 0) _FailReceive(style, WHERE_WAIT, waitError);
    if (rc == 0) continue;  // an empty turn: an idle peer is waited for (up to the deadline)
    if (revents & (POLLERR | POLLNVAL | POLLPRI)) {
      _FailReceive(style, WHERE_EXCEPTIONAL, PendingSocketError(use.fd));
    }
    const ssize_t n = ::recv(use.fd, buffer, length, MSG_DONTWAIT);
    if (n > 0) return static_cast<size_t>(n);
    const int error = n == 0 ? 0 : errno;
    if (n < 0 && (error == EINTR || error == EAGAIN || error == EWOULDBLOCK)) continue;
    // 0: the peer closed its end (or this side was shut down meanwhile).
    _CheckNotLocallyClosed();
    _FailReceive(style, WHERE_CALL, error);
  }
}

void OXSocket::Receive(char* buffer, int length) {
  if (_state.load() != STATE_CONNECTED) throw new Exception("SOCKET_DISCONNECTED", "Socket没有连接!");
  if (length <= 0) return;
  if (_in.TakeBuffered(buffer, static_cast<size_t>(length)) > 0) return;
  _ReceiveSome(buffer, static_cast<size_t>(length), nullptr, STYLE_STREAM);
}

std::string OXSocket::ReceiveUntilChar(char stop) { return _ReceiveUntil(stop, nullptr); }

std::string OXSocket::ReceiveUntilChar(char stop, const struct timespec& deadline) {
  return _ReceiveUntil(stop, &deadline);
}

std::string OXSocket::_ReceiveUntil(char stop, const struct timespec* deadline) {
  if (_state.load() != STATE_CONNECTED && _in.Buffered() == 0) {
    throw new Exception("SOCKET_DISCONNECTED", "Socket没有连接!");
  }
  try {
    return _in.ReadUntil(stop, [&](char* buffer, size_t capacity) {
      if (_state.load() != STATE_CONNECTED) throw new Exception("SOCKET_DISCONNECTED", "Socket没有连接!");
      return _ReceiveSome(buffer, capacity, deadline, STYLE_STREAM);
    });
  } catch (Exception*) {
    _in.Clear();  // the bytes gathered so far are dropped
    throw;
  }
}

std::string OXSocket::ReceiveLine() { return _ReceiveUntil('\n', nullptr); }

std::string OXSocket::ReceiveLine(const struct timespec& deadline) { return _ReceiveUntil('\n', &deadline); }

void OXSocket::SendBig(char* data, unsigned long length) {
  unsigned long done = 0;
  while (done < length) {
    if (_state.load() != STATE_CONNECTED) throw new Exception("SOCKET_DISCONNECTED", "Socket没有连接!");
    const unsigned long piece = std::min<unsigned long>(BIG_PIECE, length - done);
    _SendAll(data + done, piece, STYLE_BIG);
    done += piece;
  }
}

void OXSocket::ReceiveBig(char* buffer, unsigned long length) {
  unsigned long done = 0;
  while (done < length) {
    if (_state.load() != STATE_CONNECTED) throw new Exception("SOCKET_DISCONNECTED", "Socket没有连接!");
    const size_t want = std::min<unsigned long>(BIG_PIECE, length - done);
    size_t got = _in.TakeBuffered(buffer + done, want);
    // A peer that closes before all bytes came fails the call: it never
    // sends the rest.
    if (got == 0) got = _ReceiveSome(buffer + done, want, nullptr, STYLE_BIG);
    done += got;
  }
}

void OXSocket::SetSyncMode() {
  int blocking = 0;
  if (::ioctl(_fd.load(), FIONBIO, &blocking) != 0) {
    throw new Exception("SOCKET_TRUN_MODE_FAIL", "SOCKET 模式转换出错!");
  }
}

void OXSocket::SetServerReady() {
  _serverReady.store(true);
  _readySignal.Post();
}

bool OXSocket::WatiServerReady(unsigned long ms) {
  if (_serverReady.load()) return true;
  return _readySignal.TimedWait(static_cast<long long>(ms));
}

void OXSocket::Disconnect() {
  bool closed = false;
  {
    MutexGuard guard(_lock);
    const int fd = _fd.load();
    if (fd != -1) {
      char self[32];
      std::snprintf(self, sizeof(self), "%p", static_cast<void*>(this));
      PrintLine("**** want to call disconnect ****" + _peerAddress + ":" + Convert::ToString(_port.load()) +
                ",this=" + self + " SocketFD=" + Convert::ToString(fd) +
                ",alive in:" + Convert::ToString(static_cast<long>(time(nullptr) - _created)));
      _state.store(STATE_NOT_CONNECTED);
      _fd.store(-1);
      // Wakes a thread waiting in Send or Receive at once; the number stays
      // taken until the last of them has left.
      ::shutdown(fd, SHUT_RDWR);
      if (_users == 0) {
        ::close(fd);
      } else {
        _closing.push_back(fd);
      }
      closed = true;
    }
    _state.store(STATE_NOT_CONNECTED);
  }
  if (closed) PrintLine("*X*X after call close");
}

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
