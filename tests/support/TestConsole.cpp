#include "support/TestConsole.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

#include "framework/MD5.h"

namespace tarrow_test {

namespace {

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (;;) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      return lines;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
}

}  // namespace

TestConsole::TestConsole(unsigned short port, const std::string& source, bool read) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  struct sockaddr_in local;
  std::memset(&local, 0, sizeof(local));
  local.sin_family = AF_INET;
  ::inet_pton(AF_INET, source.c_str(), &local.sin_addr);
  struct sockaddr_in remote;
  std::memset(&remote, 0, sizeof(remote));
  remote.sin_family = AF_INET;
  remote.sin_port = htons(port);
  remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  if (::bind(fd, reinterpret_cast<struct sockaddr*>(&local), sizeof(local)) != 0 ||
      ::connect(fd, reinterpret_cast<struct sockaddr*>(&remote), sizeof(remote)) != 0) {
    ::close(fd);
    return;
  }
  _fd = fd;
  if (!read) _stopReading = true;
  _reader = std::thread([this] { _ReadLoop(); });
}

TestConsole::~TestConsole() {
  Close();
  {
    std::lock_guard<std::mutex> guard(_lock);
    _stopReading = false;  // lets a paused reader see the end
  }
  _changed.notify_all();
  if (_reader.joinable()) _reader.join();
  if (_fd >= 0) ::close(_fd);
}

void TestConsole::Close() {
  if (_fd >= 0) ::shutdown(_fd, SHUT_RDWR);
}

void TestConsole::StopReading() {
  std::lock_guard<std::mutex> guard(_lock);
  _stopReading = true;
}

void TestConsole::_ReadLoop() {
  std::string pending;
  char buffer[65536];
  for (;;) {
    {
      std::unique_lock<std::mutex> guard(_lock);
      _changed.wait(guard, [this] { return !_stopReading; });
    }
    ssize_t got = ::recv(_fd, buffer, sizeof(buffer), 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    pending.append(buffer, static_cast<size_t>(got));
    size_t end;
    while ((end = pending.find('\0')) != std::string::npos) {
      _Take(pending.substr(0, end));
      pending.erase(0, end + 1);
    }
  }
  std::lock_guard<std::mutex> guard(_lock);
  _closed = true;
  _changed.notify_all();
}

void TestConsole::_Take(const std::string& text) {
  std::vector<std::string> fields = SplitLines(text);
  if (fields.size() < 5) return;
  ConsoleFrame frame;
  frame.kind = fields[0];
  frame.command = fields[1];
  frame.packId = fields[2];
  frame.time = fields[3];
  size_t bodyStart = 0;
  for (int i = 0; i < 4; ++i) bodyStart = text.find('\n', bodyStart) + 1;
  frame.body = text.substr(bodyStart);
  frame.received = std::chrono::steady_clock::now();
  if (frame.kind == "heartbeat") return;
  std::lock_guard<std::mutex> guard(_lock);
  if (frame.kind == "push" && frame.command == "SERVICE_READY") {
    _ready = true;
  } else if (frame.kind == "response") {
    _replies[frame.packId] = frame.body;
    _replyOrder.push_back(frame.packId);
  } else if (frame.kind == "push") {
    _pushes.push_back(frame);
  }
  _changed.notify_all();
}

bool TestConsole::WaitReady(long ms) {
  std::unique_lock<std::mutex> guard(_lock);
  return _changed.wait_for(guard, std::chrono::milliseconds(ms), [this] { return _ready || _closed; }) && _ready;
}

bool TestConsole::WaitClosed(long ms) {
  std::unique_lock<std::mutex> guard(_lock);
  return _changed.wait_for(guard, std::chrono::milliseconds(ms), [this] { return _closed; });
}

bool TestConsole::IsClosed() {
  std::lock_guard<std::mutex> guard(_lock);
  return _closed;
}

std::string TestConsole::NewPackId() {
  std::ostringstream id;
  id << "{TEST-" << static_cast<const void*>(this) << "-" << _nextId.fetch_add(1) << "}";
  return id.str();
}

std::string TestConsole::Frame(const std::string& kind, const std::string& command, const std::string& packId,
                               const std::string& body) {
  std::string frame = kind + "\n" + command + "\n" + packId + "\n2026-1-1 00:00:00\n" + body;
  frame.push_back('\0');
  return frame;
}

void TestConsole::SendRaw(const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size() && _fd >= 0) {
    ssize_t n = ::send(_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}

std::string TestConsole::Send(const std::string& command, const std::string& body) {
  std::string id = NewPackId();
  SendRaw(Frame("request", command, id, body));
  return id;
}

bool TestConsole::WaitReply(const std::string& packId, std::string* body, long ms) {
  std::unique_lock<std::mutex> guard(_lock);
  bool found = _changed.wait_for(guard, std::chrono::milliseconds(ms),
                                 [&] { return _replies.count(packId) != 0 || _closed; }) &&
               _replies.count(packId) != 0;
  if (!found) return false;
  if (body != nullptr) *body = _replies[packId];
  _replies.erase(packId);
  return true;
}

std::string TestConsole::Request(const std::string& command, const std::string& body, long ms) {
  std::string reply;
  if (!WaitReply(Send(command, body), &reply, ms)) return "<no reply>";
  return reply;
}

bool TestConsole::ExpectError(const std::string& command, const std::string& body, const std::string& text) {
  return Request(command, body) == "ERROR\n" + text;
}

std::string TestConsole::Verify(const std::string& body) {
  std::string reply = Request("DoVerifyVersion", body);
  std::vector<std::string> lines = SplitLines(reply);
  if (lines.size() == 5 && lines[0] == "OK") _challenge = lines[4];
  return reply;
}

std::string TestConsole::Answer(const std::string& storedDigest, const std::string& challenge) {
  return Oxbrindale::Velmora::Framework::MD5(storedDigest + challenge).toString();
}

std::string TestConsole::Login(const std::string& level, const std::string& storedDigest) {
  return LoginWithAnswer(level, Answer(storedDigest, _challenge));
}

std::string TestConsole::LoginWithAnswer(const std::string& level, const std::string& answer) {
  return Request("Login", level + "\n" + answer);
}

bool TestConsole::LogIn(int level, const std::string& storedDigest) {
  if (!WaitReady()) return false;
  if (Verify().compare(0, 3, "OK\n") != 0) return false;
  const std::string digit = std::to_string(level);
  return Login(digit, storedDigest) == "OK\n" + digit + "\n";
}

bool TestConsole::WaitPush(const std::string& command, ConsoleFrame* frame, long ms) {
  std::unique_lock<std::mutex> guard(_lock);
  auto match = [&]() {
    for (auto it = _pushes.begin(); it != _pushes.end(); ++it) {
      if (command.empty() || it->command == command) return it;
    }
    return _pushes.end();
  };
  bool found = _changed.wait_for(guard, std::chrono::milliseconds(ms), [&] { return match() != _pushes.end(); });
  if (!found) return false;
  auto it = match();
  if (frame != nullptr) *frame = *it;
  _pushes.erase(it);
  return true;
}

bool TestConsole::NoPush(const std::string& command, long ms) { return !WaitPush(command, nullptr, ms); }

std::vector<std::string> TestConsole::ReplyOrder() {
  std::lock_guard<std::mutex> guard(_lock);
  return _replyOrder;
}

std::vector<ConsoleFrame> TestConsole::TakePushes() {
  std::lock_guard<std::mutex> guard(_lock);
  std::vector<ConsoleFrame> pushes(_pushes.begin(), _pushes.end());
  _pushes.clear();
  return pushes;
}

}  // namespace tarrow_test
