#include "alarm/SmtpDialogue.h"

#include <time.h>

#include <cstdio>
#include <vector>

#include "framework/Convert.h"
#include "framework/Env.h"
#include "framework/Exception.h"

namespace Oxbrindale {
namespace Velmora {
namespace Alarm {

using Framework::Convert;
using Framework::Env;
using Framework::OXSocket;

namespace {

void PrintLine(const std::string& text) {
  const std::string line = text + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

// Four dot-separated groups of decimal digits: no name lookup needed.
bool IsDottedAddress(const std::string& host) {
  std::string copy = host;
  std::vector<std::string> parts = Convert::tokenize(copy, ".", false, "");
  if (parts.size() != 4) return false;
  for (const std::string& part : parts) {
    if (part.empty() || !Convert::IsInteger(part)) return false;
  }
  return true;
}

// How much earlier than its time-out a failed connect still counts as timed out.
const long long kConnectSlackMs = 100;

long long NowMs() {
  struct timespec now;
  clock_gettime(Env::Get()->WaitClock(), &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

SmtpDialogue::SmtpDialogue(long connectTimeoutMs, long replyTimeoutMs)
    : _connectTimeoutMs(connectTimeoutMs > 0 ? connectTimeoutMs : 1),
      _replyTimeoutMs(replyTimeoutMs > 0 ? replyTimeoutMs : 1),
      _watchdog(&_socket) {}

SmtpDialogue::~SmtpDialogue() {
  // The watchdog's thread goes first: it uses the socket.
  _watchdogThread.reset();
  _socket.Disconnect();
}

void SmtpDialogue::Connect(const std::string& host, unsigned short port, const std::string& timeoutMessage) {
  std::string address = host;
  if (!IsDottedAddress(host)) {
    address = OXSocket::GetIPAddressFromDomainName(host);
    if (address.empty()) throw new Exception("IP_OR_DOMAIN_ERROR", "cannot get the ip address from domain!");
  }
  // The socket's connect time-out counts whole seconds.
  const unsigned long seconds = static_cast<unsigned long>((_connectTimeoutMs + 999) / 1000);
  const long long start = NowMs();
  try {
    _socket.Connect(address, port, seconds);
  } catch (Exception* e) {
    // The socket reports a connect that ran out of time like one the server
    // refused; only the time spent tells them apart (its wait may end a
    // millisecond or so early, a refusal comes back within a round trip).
    const long long limitMs = static_cast<long long>(seconds) * 1000;
    if (e->code == "SOCKET_UNKNOW_FAILURE" && NowMs() - start >= limitMs - kConnectSlackMs) {
      delete e;
      _socket.Disconnect();
      throw new Exception("SMTP", timeoutMessage);
    }
    throw;
  }
}

bool SmtpDialogue::_ReadReply() {
  try {
    for (;;) {
      std::string line = _socket.ReceiveLine();
      if (!line.empty() && line[line.size() - 1] == '\r') line.erase(line.size() - 1);
      if (!_reply.empty()) _reply += "\r\n";
      _reply += line;
      if (_reply.size() > MAX_REPLY_BYTES) return false;
      // "NNN-text" continues the reply; "NNN text" or "NNN" ends it.
      if (line.size() < 4 || line[3] != '-') return true;
    }
  } catch (Exception* e) {
    delete e;
    return false;
  }
}

bool SmtpDialogue::CheckResponse(const char* code) {
  _reply.clear();
  if (!_watchdogThread) {
    _watchdogThread.reset(new Framework::AsyncExecutor(&_watchdog, "SMTP_WATCHDOG"));
    _watchdogThread->Start();
  }
  _watchdog.Arm(_replyTimeoutMs);
  const bool whole = _ReadReply();
  _watchdog.Disarm();
  PrintLine(_reply);
  if (!whole || _watchdog.Fired()) {
    _socket.Disconnect();
    return false;
  }
  return _reply.size() >= 3 && _reply.compare(0, 3, code, 3) == 0;
}

void SmtpDialogue::Send(const std::string& bytes) { _socket.Send(bytes.data(), static_cast<int>(bytes.size())); }

void SmtpDialogue::Command(const std::string& line, const char* code, const std::string& failMessage) {
  Send(line + "\r\n");
  if (!CheckResponse(code)) throw new Exception("SMTP", failMessage);
}

void SmtpDialogue::Disconnect() { _socket.Disconnect(); }

std::string SmtpDialogue::ToDataLines(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 16 + 2);
  size_t begin = 0;
  while (begin <= text.size()) {
    size_t end = text.find_first_of("\r\n", begin);
    const bool last = end == std::string::npos;
    if (last) end = text.size();
    std::string line = text.substr(begin, end - begin);
    // A line too long for SMTP is broken, never inside a UTF-8 character.
    for (;;) {
      const size_t room = MAX_DATA_LINE - (!line.empty() && line[0] == '.' ? 1 : 0);
      size_t cut = line.size();
      if (cut > room) {
        cut = room;
        while (cut > 1 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;
      }
      if (!line.empty() && line[0] == '.') out += '.';
      out.append(line, 0, cut);
      if (cut == line.size()) break;
      out += "\r\n";
      line.erase(0, cut);
    }
    if (last) break;
    out += "\r\n";
    begin = end + 1;
    if (text[end] == '\r' && begin < text.size() && text[begin] == '\n') ++begin;
  }
  return out;
}

}  // namespace Alarm
}  // namespace Velmora
}  // namespace Oxbrindale
