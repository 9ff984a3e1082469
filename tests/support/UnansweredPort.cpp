#include "support/UnansweredPort.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace tarrow_test {

UnansweredPort::UnansweredPort() {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in address;
  std::memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(listener_, 0) != 0 ||
      ::getsockname(listener_, reinterpret_cast<struct sockaddr*>(&address), &length) != 0) {
    Close();
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  port_ = ntohs(address.sin_port);
  filler_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (filler_ < 0 || ::connect(filler_, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) != 0) {
    Close();
    throw std::runtime_error("cannot fill the backlog");
  }
}

UnansweredPort::~UnansweredPort() { Close(); }

void UnansweredPort::Close() {
  if (filler_ >= 0) ::close(filler_);
  if (listener_ >= 0) ::close(listener_);
  filler_ = listener_ = -1;
}

}  // namespace tarrow_test
