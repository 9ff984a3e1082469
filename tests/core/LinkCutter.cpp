#include "core/LinkCutter.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "core/CoreTestSupport.h"
#include "support/LoopbackPorts.h"

namespace core_test {

namespace {

sockaddr_in Loopback(unsigned short port) {
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

}  // namespace

LinkCutter::LinkCutter(unsigned short target) : target_(target) {
  for (int attempt = 0; attempt < 50 && port_ == 0; ++attempt) {
    const unsigned short port = tarrow_test::UnusedLoopbackPort();
    if (_Listen(port)) port_ = port;
  }
  EXPECT_NE(0, port_) << "the relay found no port";
}

LinkCutter::~LinkCutter() {
  stopping_ = true;
  Cut();
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    threads.swap(threads_);
  }
  for (std::thread& thread : threads) thread.join();
}

bool LinkCutter::_Listen(unsigned short port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in address = Loopback(port);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(fd, 16) != 0) {
    close(fd);
    return false;
  }
  listener_ = fd;
  std::lock_guard<std::mutex> lock(mutex_);
  threads_.emplace_back([this] { _Accept(); });
  return true;
}

void LinkCutter::_Accept() {
  const int fd = listener_.load();
  for (;;) {
    pollfd wait = {fd, POLLIN, 0};
    const int ready = poll(&wait, 1, 50);
    if (listener_.load() != fd) break;  // cut
    if (ready <= 0) continue;
    const int node = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (node < 0) continue;
    const int peer = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(target_);
    if (peer < 0 || connect(peer, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
      if (peer >= 0) close(peer);
      close(node);
      continue;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    sockets_.push_back(node);
    sockets_.push_back(peer);
    threads_.emplace_back([this, node, peer] { _Relay(node, peer); });
  }
  close(fd);
}

void LinkCutter::_Relay(int a, int b) {
  char buffer[16384];
  for (;;) {
    pollfd wait[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
    if (poll(wait, 2, 100) < 0) break;
    bool ended = false;
    for (int i = 0; i < 2 && !ended; ++i) {
      if ((wait[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      const ssize_t got = read(wait[i].fd, buffer, sizeof(buffer));
      if (got <= 0) {
        ended = true;
        break;
      }
      const int to = i == 0 ? b : a;
      ssize_t sent = 0;
      while (sent < got) {
        const ssize_t n = send(to, buffer + sent, static_cast<size_t>(got - sent), MSG_NOSIGNAL);
        if (n <= 0) {
          ended = true;
          break;
        }
        sent += n;
      }
    }
    if (ended) break;
  }
  // Both ends see the connection go; the descriptors close when the cut
  // or the relay's end takes them out of the list.
  shutdown(a, SHUT_RDWR);
  shutdown(b, SHUT_RDWR);
  std::lock_guard<std::mutex> lock(mutex_);
  for (int fd : {a, b}) {
    for (auto it = sockets_.begin(); it != sockets_.end(); ++it) {
      if (*it == fd) {
        sockets_.erase(it);
        close(fd);
        break;
      }
    }
  }
}

void LinkCutter::Cut() {
  listener_ = -1;  // the acceptor closes it and ends
  std::lock_guard<std::mutex> lock(mutex_);
  for (int fd : sockets_) shutdown(fd, SHUT_RDWR);  // each relay then ends and closes its pair
}

bool LinkCutter::Restore() {
  const long long deadline = NowMs() + 30000;
  while (NowMs() < deadline) {
    if (_Listen(port_)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ADD_FAILURE() << "the relay cannot listen on " << port_ << " again";
  return false;
}

}  // namespace core_test
