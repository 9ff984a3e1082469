#include "protocol/OXCom.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "framework/Env.h"
#include "framework/EventManager.h"
#include "framework/Exception.h"
#include "framework/MutexGuard.h"
#include "framework/Sleep.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

namespace {

const char* const NOT_OPEN_TEXT = "串口没有打开！";
const char* const IO_ERROR_TEXT = "串口通信发生错误";
const char CR = 13;
// Bytes ReceiveUntilChar asks for at a time.
const unsigned long CHUNK = 4096;

void Debug(const std::string& text) { EventManager::Instance()->Debug(text); }

// A failure of the line, on standard output.
void PrintLine(const std::string& text) {
  std::printf("%s\n", text.c_str());
  std::fflush(stdout);
}

// The termios constant of a standard line speed; B0 when rate is none.
speed_t StandardSpeed(unsigned int rate) {
  static const struct {
    unsigned int rate;
    speed_t speed;
  } table[] = {
      {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
      {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
      {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
      {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
      {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
      {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
  };
  for (const auto& entry : table) {
    if (entry.rate == rate) return entry.speed;
  }
  return B0;
}

}  // namespace

// Holds the port open for one Send or Receive: the descriptor stays valid
// (not closed, not reused) until the use ends, even when Close runs meanwhile.
class OXCom::_Use : NonCopyable {
 public:
  explicit _Use(OXCom* com) : _com(com) {
    MutexGuard guard(com->_lock);
    if (com->_fd < 0) return;
    fd = com->_fd;
    wakeFd = com->_wakeFd;
    ++com->_users;
  }
  ~_Use() {
    if (fd >= 0) _com->_ReleaseUse();
  }

  int fd = -1;
  int wakeFd = -1;

 private:
  OXCom* _com;
};

OXCom::OXCom(std::string deviceName, unsigned int baudRate) : _deviceName(std::move(deviceName)), _baudRate(baudRate) {}

OXCom::~OXCom() { Close(); }

void OXCom::Init(std::string deviceName, unsigned int baudRate) {
  Close();
  MutexGuard guard(_lock);
  _deviceName = std::move(deviceName);
  _baudRate = baudRate;
}

bool OXCom::IsOpened() {
  MutexGuard guard(_lock);
  return _fd >= 0;
}

bool OXCom::Open() {
  std::string name;
  unsigned int rate;
  {
    MutexGuard guard(_lock);
    if (_fd >= 0) return false;
    name = _deviceName;
    rate = _baudRate;
  }
  // Non-blocking: the open does not wait for a carrier, and every wait of
  // the port happens in poll, where Close can end it.
  const std::string path = Env::Get()->SystemPath(name);
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    Debug("打开串口：" + name + "失败！" + std::to_string(errno));
    return false;
  }
  const int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd < 0) {
    Debug("打开串口：" + name + "失败！" + std::to_string(errno));
    ::close(fd);
    return false;
  }
  {
    MutexGuard guard(_lock);
    _fd = fd;
    _wakeFd = wakeFd;
    _in.clear();
  }
  Debug("Open Com good.");
  Debug("打开串口Step 1：" + name + "，波特率：" + std::to_string(rate) + "！");
  if (!_Configure(fd)) {
    Debug("配置串口：" + name + "失败！");
    Close();
    return false;
  }
  Debug("tcsetattr good");
  return _Handshake();
}

bool OXCom::_Configure(int fd) {
  struct termios settings;
  if (::tcgetattr(fd, &settings) != 0) return false;
  unsigned int rate;
  {
    MutexGuard guard(_lock);
    rate = _baudRate;
  }
  // Raw line: bytes pass unchanged in both directions.
  settings.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                                             IXANY | IUCLC | IMAXBEL);
  settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
  settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CRTSCTS);
  settings.c_cflag |= CREAD | CLOCAL;
  // The link's line format: 8 data bits, 2 stop bits, even parity, checked.
  settings.c_iflag |= INPCK;
  settings.c_cflag |= CS8 | CSTOPB | PARENB;
  settings.c_cflag &= ~static_cast<tcflag_t>(PARODD);
  settings.c_cc[VTIME] = 150;
  settings.c_cc[VMIN] = 0;
  const speed_t speed = StandardSpeed(rate);
  if (speed != B0) {
    ::cfsetispeed(&settings, speed);
    ::cfsetospeed(&settings, speed);
  }
  ::tcflush(fd, TCIFLUSH);
  return ::tcsetattr(fd, TCSANOW, &settings) == 0;
}

bool OXCom::_Handshake() {
  std::string name;
  {
    MutexGuard guard(_lock);
    name = _deviceName;
  }
  bool ok = false;
  {
    _Use use(this);
    if (use.fd < 0) return false;  // closed meanwhile
    Sleep(1000);
    Debug("begin write byte.");
    const char cr = CR;
    if (!_WriteAll(use.fd, use.wakeFd, &cr, 1)) {
      Debug("配置串口：" + name + "失败！Communication failure!");
    } else {
      Debug("end write byte.");
      char answer = 0;
      short revents = 0;
      ssize_t got = 0;
      if (_Wait(use.fd, use.wakeFd, POLLIN, READ_WAIT_MS, &revents) == 1) {
        got = ::read(use.fd, &answer, 1);
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) got = 0;
      }
      if (got < 0) {
        const int error = errno;
        PrintLine("read com error " + std::to_string(error) + "," + std::strerror(error));
        Debug("配置串口：" + name + "失败！Communication failure!");
      } else {
        Debug(std::to_string(got));
        if (got != 1 || answer != CR) {
          Debug("串口握手数据校验失败！");
        } else {
          // Answers a far end that opened later and flushed our first CR.
          _WriteAll(use.fd, use.wakeFd, &cr, 1);
          ok = true;
        }
      }
    }
  }
  if (!ok || !IsOpened()) {
    Close();
    return false;
  }
  Debug("串口打开并且握手成功，虚拟连接已经建立！");
  Sleep(1000);
  return IsOpened();
}

void OXCom::Close() {
  MutexGuard guard(_lock);
  _CloseLocked();
}

void OXCom::_CloseLocked() {
  if (_fd < 0) return;
  ::eventfd_write(_wakeFd, 1);  // wakes every wait in _Wait
  _closing.push_back(_fd);
  _closing.push_back(_wakeFd);
  _fd = -1;
  _wakeFd = -1;
  if (_users > 0) return;  // the last user closes them
  for (int fd : _closing) ::close(fd);
  _closing.clear();
}

void OXCom::_ReleaseUse() {
  MutexGuard guard(_lock);
  if (--_users > 0) return;
  for (int fd : _closing) ::close(fd);
  _closing.clear();
}

int OXCom::_Wait(int fd, int wakeFd, short events, int ms, short* revents) {
  struct pollfd fds[2];
  fds[0].fd = fd;
  fds[0].events = events;
  fds[1].fd = wakeFd;
  fds[1].events = POLLIN;
  const struct timespec deadline = Env::Get()->DeadlineAfter(ms < 0 ? 0 : ms);
  for (;;) {
    int timeout = -1;
    if (ms >= 0) {
      struct timespec now;
      ::clock_gettime(Env::Get()->WaitClock(), &now);
      const long long left =
          (static_cast<long long>(deadline.tv_sec) - now.tv_sec) * 1000LL + (deadline.tv_nsec - now.tv_nsec) / 1000000L;
      timeout = left > 0 ? static_cast<int>(left) : 0;
    }
    fds[0].revents = 0;
    fds[1].revents = 0;
    const int rc = ::poll(fds, 2, timeout);
    if (rc < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (fds[1].revents != 0) return -1;
    if (rc == 0) return 0;
    *revents = fds[0].revents;
    return 1;
  }
}

bool OXCom::_WriteAll(int fd, int wakeFd, const char* data, unsigned long length) {
  unsigned long done = 0;
  while (done < length) {
    const ssize_t n = ::write(fd, data + done, length - done);
    if (n > 0) {
      done += static_cast<unsigned long>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return false;
    // No room now: wait until the line takes more (or the port is closed).
    short revents = 0;
    if (_Wait(fd, wakeFd, POLLOUT, -1, &revents) != 1) return false;
    if ((revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 && (revents & POLLOUT) == 0) {
      errno = EIO;
      return false;
    }
  }
  return true;
}

void OXCom::Send(const char* data, unsigned long length) {
  _Use use(this);
  if (use.fd < 0) throw new Exception("SOCKET_DISCONNECTED", NOT_OPEN_TEXT);
  if (_WriteAll(use.fd, use.wakeFd, data, length)) return;
  Close();
  Debug(IO_ERROR_TEXT);
}

unsigned long OXCom::Receive(char* buffer, unsigned long size) {
  if (size == 0) return 0;
  if (!_in.empty()) {  // bytes read past an earlier stop byte come first
    const unsigned long n = _in.size() < size ? _in.size() : size;
    std::memcpy(buffer, _in.data(), n);
    _in.erase(0, n);
    return n;
  }
  _Use use(this);
  if (use.fd < 0) throw new Exception("COM_ERR", NOT_OPEN_TEXT);
  short revents = 0;
  const int waited = _Wait(use.fd, use.wakeFd, POLLIN, READ_WAIT_MS, &revents);
  if (waited == 0) return 0;  // idle line
  if (waited < 0) {
    if (!IsOpened()) return 0;  // closed meanwhile: the next call throws
    Close();
    Debug(IO_ERROR_TEXT);
    return 0;
  }
  for (;;) {
    const ssize_t n = ::read(use.fd, buffer, size);
    if (n > 0) return static_cast<unsigned long>(n);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN && (revents & (POLLHUP | POLLERR | POLLNVAL)) == 0) return 0;
    break;
  }
  // Readable but nothing to read: the line hung up (the far end is gone) or
  // failed. Reading again would return at once, forever.
  Close();
  Debug(IO_ERROR_TEXT);
  return 0;
}

std::string OXCom::ReceiveUntilChar(char stop) {
  std::string text;
  char chunk[CHUNK];
  for (;;) {
    const unsigned long got = Receive(chunk, CHUNK);
    for (unsigned long i = 0; i < got; ++i) {
      const char c = chunk[i];
      if (c == stop) {
        _in.insert(0, chunk + i + 1, got - i - 1);
        return text;
      }
      if (c == CR) continue;
      if (text.size() >= MAX_UNTIL_CHAR_LENGTH) {
        Close();
        throw new Exception("COM_ERR", "封包太大！");
      }
      text.push_back(c);
    }
  }
}

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
