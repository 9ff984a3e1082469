#include "alarm/ScriptedSmtpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace tarrow_test {

const char* const ScriptedSmtpServer::SILENT = "<silent>";

namespace {

// Waits up to 100 ms for events on fd; true when something is there.
bool Ready(int fd, short events) {
  struct pollfd p;
  p.fd = fd;
  p.events = events;
  p.revents = 0;
  return ::poll(&p, 1, 100) > 0;
}

}  // namespace

ScriptedSmtpServer::ScriptedSmtpServer(std::vector<std::string> replies) : replies_(std::move(replies)) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  struct sockaddr_in address;
  std::memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  ::bind(listener_, reinterpret_cast<struct sockaddr*>(&address), sizeof(address));
  ::listen(listener_, 16);
  socklen_t length = sizeof(address);
  ::getsockname(listener_, reinterpret_cast<struct sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { Serve(); });
}

ScriptedSmtpServer::~ScriptedSmtpServer() { Stop(); }

void ScriptedSmtpServer::Stop() {
  stop_.store(true);
  if (thread_.joinable()) thread_.join();
  if (listener_ >= 0) {
    // From now on a connection attempt is refused.
    ::close(listener_);
    listener_ = -1;
  }
}

std::vector<std::string> ScriptedSmtpServer::Received() {
  std::lock_guard<std::mutex> guard(lock_);
  return received_;
}

void ScriptedSmtpServer::Record(const std::string& line) {
  std::lock_guard<std::mutex> guard(lock_);
  received_.push_back(line);
}

void ScriptedSmtpServer::Serve() {
  while (!stop_.load()) {
    if (!Ready(listener_, POLLIN)) continue;
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    connections_.fetch_add(1);
    {
      std::lock_guard<std::mutex> guard(lock_);
      pending_.clear();
    }
    Play(fd);
    ::close(fd);
  }
}

void ScriptedSmtpServer::SendReply(int fd, const std::string& reply) {
  size_t begin = 0;
  for (;;) {
    const size_t pause = reply.find(PAUSE, begin);
    const std::string piece = reply.substr(begin, pause == std::string::npos ? std::string::npos : pause - begin);
    if (!piece.empty()) ::send(fd, piece.data(), piece.size(), MSG_NOSIGNAL);
    if (pause == std::string::npos) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    begin = pause + 1;
  }
}

bool ScriptedSmtpServer::ReadUntil(int fd, const std::string& mark, std::string* text) {
  for (;;) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      const size_t at = pending_.find(mark);
      if (at != std::string::npos) {
        *text = pending_.substr(0, at);
        pending_.erase(0, at + mark.size());
        return true;
      }
    }
    if (stop_.load()) return false;
    if (!Ready(fd, POLLIN)) continue;
    char buffer[4096];
    const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    std::lock_guard<std::mutex> guard(lock_);
    pending_.append(buffer, static_cast<size_t>(n));
  }
}

void ScriptedSmtpServer::Play(int fd) {
  size_t next = 0;
  bool silent = false;
  bool data = false;
  auto answer = [&]() {
    if (silent || next >= replies_.size()) return;
    const std::string reply = replies_[next++];
    if (reply == SILENT) {
      silent = true;
      return;
    }
    SendReply(fd, reply);
    data = reply.compare(0, 3, "354") == 0;
  };
  answer();  // the greeting
  for (;;) {
    std::string line;
    const bool inData = data;
    data = false;
    if (!ReadUntil(fd, inData ? "\r\n.\r\n" : "\r\n", &line)) return;
    Record(line);
    answer();
  }
}

}  // namespace tarrow_test
