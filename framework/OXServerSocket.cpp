#include "framework/OXServerSocket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "framework/Convert.h"
#include "framework/EventManager.h"
#include "framework/Exception.h"
#include "framework/MutexGuard.h"
#include "framework/OXSocket.h"
#include "framework/Sleep.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

namespace {

std::string ErrorText(int error) {
  char buffer[256];
  return std::string(strerror_r(error, buffer, sizeof(buffer)));
}

}  // namespace

OXServerSocket::OXServerSocket(unsigned short port) : _anyAddress(true), _port(port) {}

OXServerSocket::OXServerSocket(std::string host, unsigned short port)
    : _anyAddress(false), _port(port), _host(std::move(host)) {}

OXServerSocket::~OXServerSocket() {
  Close();
  // A thread may still be on its way out of Accept.
  for (;;) {
    {
      MutexGuard guard(_lock);
      if (_users == 0) {
        for (int fd : _closing) ::close(fd);
        _closing.clear();
        const int fd = _fd.exchange(-1);
        if (fd != -1) ::close(fd);
        return;
      }
    }
    Sleep(1);
  }
}

void OXServerSocket::BeginListen() {
  std::vector<std::string> notices;
  Exception* failure;
  {
    MutexGuard guard(_lock);
    if (_state.load() == STATE_LISTENING) return;
    failure = _Open(notices);
  }
  // Posted once the lock is released and the descriptor settled, and never
  // waiting: the caller may hold the listener's lock, and a full bus must not
  // hold up a change of port. On a full bus the notices are dropped.
  for (const std::string& text : notices) EventManager::Instance()->NotifyNoWait(-1, "SOCKET", text);
  if (failure != nullptr) throw failure;
}

Exception* OXServerSocket::_Open(std::vector<std::string>& notices) {
  errno = 0;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) return new Exception("SOCKET", "建立套接字发生错误，WSAErrorCode=" + Convert::ToString(errno));
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  notices.push_back("初始化套接字成功!");

  struct sockaddr_in address;
  std::memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_port = htons(_port);
  address.sin_addr.s_addr = _anyAddress ? htonl(INADDR_ANY) : ::inet_addr(_host.c_str());
  const std::string port = Convert::ToString(_port);
  notices.push_back("Trying to bind port：" + port);

  int error = 0;
  bool bound = false;
  for (int attempt = 0; attempt < BIND_TRIES && !bound; ++attempt) {
    errno = 0;
    bound = ::bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) == 0;
    error = errno;
  }
  if (!bound) {
    ::close(fd);
    return new Exception("SOCKET",
                         "尝试绑定端口:" + port + " 失败，请修改TCP/IP侦听端口配置，WSAErrorCode=" + Convert::ToString(error));
  }
  notices.push_back("bind port：" + port + " success!");
  notices.push_back("开始侦听端口：" + port);

  if (::listen(fd, BACKLOG) != 0) {
    error = errno;
    ::close(fd);
    return new Exception("SOCKET", "尝试侦听端口:" + port + " 失败，WSAErrorCode=" + Convert::ToString(error));
  }
  notices.push_back("侦听端口成功！");
  _fd.store(fd);
  _state.store(STATE_LISTENING);
  return nullptr;
}

void OXServerSocket::_ReleaseUse() {
  MutexGuard guard(_lock);
  if (--_users > 0) return;
  for (int fd : _closing) ::close(fd);
  _closing.clear();
}

OXSocket* OXServerSocket::Accept() {
  int fd;
  {
    MutexGuard guard(_lock);
    fd = _fd.load();
    if (_state.load() != STATE_LISTENING || fd == -1) {
      throw new Exception("SOCKET", "accpet connection fail . errno=" + Convert::ToString(EBADF) + "," + ErrorText(EBADF));
    }
    ++_users;
  }
  struct Release {
    OXServerSocket* self;
    ~Release() { self->_ReleaseUse(); }
  } release{this};

  struct sockaddr_in peer;
  int accepted;
  for (;;) {
    socklen_t length = sizeof(peer);
    std::memset(&peer, 0, sizeof(peer));
    accepted = ::accept4(fd, reinterpret_cast<struct sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    if (accepted >= 0) break;
    const int error = errno;
    if (_state.load() != STATE_LISTENING) {
      throw new Exception("SOCKET", "accpet connection fail . errno=" + Convert::ToString(error) + "," + ErrorText(error));
    }
    // A signal, or a client that gave up before it was taken: the socket is fine.
    if (error == EINTR || error == ECONNABORTED || error == EPROTO) continue;
    if (error == EAGAIN || error == EWOULDBLOCK) {
      struct pollfd p;
      p.fd = fd;
      p.events = POLLIN;
      p.revents = 0;
      ::poll(&p, 1, 5000);
      continue;
    }
    throw new Exception("SOCKET", "accpet connection fail . errno=" + Convert::ToString(error) + "," + ErrorText(error));
  }

  int on = 1;
  int idle = 10;
  int interval = 3;
  int count = 3;
  ::setsockopt(accepted, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
  ::setsockopt(accepted, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof(idle));
  ::setsockopt(accepted, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof(interval));
  ::setsockopt(accepted, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof(count));
  int nonBlocking = 1;
  if (::ioctl(accepted, FIONBIO, &nonBlocking) != 0) {
    ::close(accepted);
    throw new Exception("SOCKET_TRUN_MODE_FAIL", "SOCKET 模式转换出错!");
  }
  EventManager::Instance()->Debug("Accept a new connection, socket fd is " + Convert::ToString(accepted));
  char text[INET_ADDRSTRLEN] = {0};
  ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof(text));
  return new OXSocket(accepted, text, _port);
}

void OXServerSocket::Close() {
  MutexGuard guard(_lock);
  if (_state.load() != STATE_LISTENING) return;
  const int fd = _fd.exchange(-1);
  // Makes an accept waiting on this socket return at once.
  ::shutdown(fd, SHUT_RDWR);
  if (_users == 0) {
    ::close(fd);
  } else {
    _closing.push_back(fd);
  }
  EventManager::Instance()->Debug("Server Socket 关闭监听!" + Convert::ToString(_port));
  _state.store(STATE_CLOSED);
}

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
