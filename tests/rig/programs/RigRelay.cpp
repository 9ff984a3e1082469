// The rig's serial line with a switch: two pseudo terminals whose masters
// this program joins, each node opening one slave as its /dev/ttyS0.
//
//   rig_relay <directory>
//
// Makes <directory>/relayA and <directory>/relayB (links to the slaves) and
// forwards bytes between the masters as <directory>/relay.mode says, read
// again every 100 ms: "both" (the default), "a2b" (only what A writes
// reaches B), "b2a", or "none". What may not pass is read and dropped, so
// the writer never blocks: a line that loses one direction, not one that
// hangs up. Runs until killed.

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace {

struct Pty {
  int master = -1;
  int slave = -1;  // kept open so that the master works before the node opens its end
  std::string path;
};

bool Open(Pty* pty) {
  pty->master = posix_openpt(O_RDWR | O_NOCTTY);
  if (pty->master < 0 || grantpt(pty->master) != 0 || unlockpt(pty->master) != 0) return false;
  const char* name = ptsname(pty->master);
  if (name == nullptr) return false;
  pty->path = name;
  pty->slave = open(name, O_RDWR | O_NOCTTY);
  if (pty->slave < 0) return false;
  struct termios raw;
  if (tcgetattr(pty->slave, &raw) == 0) {
    cfmakeraw(&raw);
    tcsetattr(pty->slave, TCSANOW, &raw);
  }
  return true;
}

std::string Mode(const std::string& file) {
  std::ifstream in(file);
  std::string mode;
  in >> mode;
  return mode.empty() ? "both" : mode;
}

bool WriteAll(int fd, const char* data, ssize_t n) {
  while (n > 0) {
    ssize_t w = write(fd, data, static_cast<size_t>(n));
    if (w < 0) return false;
    data += w;
    n -= w;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <directory>\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  Pty a, b;
  if (!Open(&a) || !Open(&b)) {
    std::perror("no pseudo terminal");
    return 1;
  }
  unlink((dir + "/relayA").c_str());
  unlink((dir + "/relayB").c_str());
  if (symlink(a.path.c_str(), (dir + "/relayA").c_str()) != 0 || symlink(b.path.c_str(), (dir + "/relayB").c_str()) != 0) {
    std::perror("cannot link the ends");
    return 1;
  }
  const std::string modeFile = dir + "/relay.mode";
  for (;;) {
    const std::string mode = Mode(modeFile);
    const bool aToB = mode == "both" || mode == "a2b";
    const bool bToA = mode == "both" || mode == "b2a";
    struct pollfd fds[2] = {{a.master, POLLIN, 0}, {b.master, POLLIN, 0}};
    if (poll(fds, 2, 100) <= 0) continue;
    char buffer[4096];
    if (fds[0].revents & POLLIN) {
      ssize_t n = read(a.master, buffer, sizeof(buffer));
      if (n > 0 && aToB) WriteAll(b.master, buffer, n);
    }
    if (fds[1].revents & POLLIN) {
      ssize_t n = read(b.master, buffer, sizeof(buffer));
      if (n > 0 && bToA) WriteAll(a.master, buffer, n);
    }
    // An end's reader is gone for good only when the program ends; a short
    // pause keeps a hung-up master from spinning.
    if ((fds[0].revents | fds[1].revents) & (POLLHUP | POLLERR)) usleep(20000);
  }
}
