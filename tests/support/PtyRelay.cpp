#include "support/PtyRelay.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace tarrow_test {

namespace {

// Writes all of data to fd, waiting for room; false when fd fails.
bool WriteAll(int fd, const char* data, size_t length, int wake) {
  size_t done = 0;
  while (done < length) {
    const ssize_t n = ::write(fd, data + done, length - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return false;
    struct pollfd p[2] = {{fd, POLLOUT, 0}, {wake, POLLIN, 0}};
    if (::poll(p, 2, -1) < 0 && errno != EINTR) return false;
    if (p[1].revents != 0) return false;
  }
  return true;
}

// A port nobody has opened yet must not talk back: without this the slave's
// default echo would return the far node's handshake byte to it before this
// node opened its port, and the far node would take its own byte for an
// answer. A real line's other end says nothing until a program opens it.
void SilenceEcho(const std::string& slavePath) {
  const int fd = ::open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  struct termios settings;
  if (::tcgetattr(fd, &settings) == 0) {
    settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOKE);
    ::tcsetattr(fd, TCSANOW, &settings);
  }
  ::close(fd);
}

}  // namespace

PtyRelay::PtyRelay() {
  wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (!a_.Ok() || !b_.Ok() || wake_ < 0) return;
  SilenceEcho(a_.SlavePath());
  SilenceEcho(b_.SlavePath());
  // Non-blocking, so that Cut ends a copy that waits for room.
  for (int fd : {a_.MasterFd(), b_.MasterFd()}) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  thread_ = std::thread([this] { Run(); });
}

PtyRelay::~PtyRelay() {
  Cut();
  if (wake_ >= 0) ::close(wake_);
}

void PtyRelay::Run() {
  const int a = a_.MasterFd();
  const int b = b_.MasterFd();
  char buffer[4096];
  for (;;) {
    struct pollfd p[3] = {{a, POLLIN, 0}, {b, POLLIN, 0}, {wake_, POLLIN, 0}};
    if (::poll(p, 3, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (p[2].revents != 0) return;
    for (int side = 0; side < 2; ++side) {
      if ((p[side].revents & POLLIN) == 0) continue;
      const ssize_t n = ::read(p[side].fd, buffer, sizeof(buffer));
      if (n <= 0) continue;
      if (!WriteAll(side == 0 ? b : a, buffer, static_cast<size_t>(n), wake_)) return;
    }
  }
}

void PtyRelay::Cut() {
  if (thread_.joinable()) {
    ::eventfd_write(wake_, 1);
    thread_.join();
  }
  a_.CloseMaster();
  b_.CloseMaster();
}

}  // namespace tarrow_test
