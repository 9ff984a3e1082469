#include "support/LoopbackPorts.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "framework/Exception.h"

namespace tarrow_test {

using Oxbrindale::Velmora::Framework::OXServerSocket;

unsigned short UnusedLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in address;
  std::memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address));
  socklen_t length = sizeof(address);
  ::getsockname(fd, reinterpret_cast<struct sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
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
