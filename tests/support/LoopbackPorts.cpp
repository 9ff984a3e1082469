#include "support/LoopbackPorts.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <random>

#include "framework/Exception.h"

namespace tarrow_test {

using Oxbrindale::Velmora::Framework::OXServerSocket;

namespace {

// Binds a socket on 127.0.0.1:port (0: any port the kernel chooses); the
// port bound, 0 when the bind failed.
unsigned short BindLoopback(unsigned short port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  struct sockaddr_in address;
  std::memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  unsigned short bound = 0;
  if (::bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) == 0) {
    socklen_t length = sizeof(address);
    if (::getsockname(fd, reinterpret_cast<struct sockaddr*>(&address), &length) == 0) bound = ntohs(address.sin_port);
  }
  ::close(fd);
  return bound;
}

// The lowest port the kernel hands out to connections without a bind.
unsigned LowestEphemeralPort() {
  std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
  unsigned low = 0;
  if (!(range >> low)) low = 32768;
  return low;
}

}  // namespace

unsigned short UnusedLoopbackPort() {
  const unsigned kFirst = 10000;
  static const unsigned low = LowestEphemeralPort();
  if (low > kFirst + 1000) {
    thread_local std::mt19937 pick(std::random_device{}() ^ static_cast<unsigned>(::getpid()));
    std::uniform_int_distribution<unsigned> below(kFirst, low - 1);
    for (int attempt = 0; attempt < 200; ++attempt) {
      const unsigned short port = BindLoopback(static_cast<unsigned short>(below(pick)));
      if (port != 0) return port;
    }
  }
  return BindLoopback(0);
}

std::unique_ptr<OXServerSocket> ListeningServerSocket() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    std::unique_ptr<OXServerSocket> server(new OXServerSocket(UnusedLoopbackPort()));
    try {
      server->BeginListen();
      return server;
    } catch (Exception* e) {
      delete e;
    }
  }
  ADD_FAILURE() << "no free port";
  return nullptr;
}

}  // namespace tarrow_test
