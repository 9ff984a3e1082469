#include "alarm/SmtpDialogue.h"

#include <cxxabi.h>
#include <time.h>

#include <cstdio>

#include "framework/Env.h"
#include "framework/Exception.h"

namespace Oxbrindale {
namespace Velmora {
namespace Alarm {

using Framework::Env;

namespace {

void PrintLine(const std::string& text) {
  const std::string line = text + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

}  // namespace

SmtpDialogue::SmtpDialogue(long connectTimeoutMs, long replyTimeoutMs)
    : _connectTimeoutMs(connectTimeoutMs > 0 ? connectTimeoutMs : 1),
      _replyTimeoutMs(replyTimeoutMs > 0 ? replyTimeoutMs : 1) {}

SmtpDialogue::~SmtpDialogue() { _socket.Disconnect(); }

void SmtpDialogue::Connect(const std::string& host, unsigned short port, const std::string& timeoutMessage) {
  // The socket's connect time-out counts whole seconds.
  const unsigned long seconds = static_cast<unsigned long>((_connectTimeoutMs + 999) / 1000);
  try {
    _socket.Connect(host, port, seconds);
  } catch (Exception* e) {
    if (e->code != "SOCKET_TIMEOUT") throw;
    delete e;
    throw new Exception("SMTP", timeoutMessage);
  }
}

bool SmtpDialogue::_ReadReply() {
  const struct timespec deadline = Env::Get()->DeadlineAfter(_replyTimeoutMs);
  try {
    for (;;) {
      std::string line = _ReceiveLine(deadline);
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

std::string SmtpDialogue::_ReceiveLine(const struct timespec& deadline) { return _socket.ReceiveLine(deadline); }

bool SmtpDialogue::CheckResponse(const char* code) {
  _reply.clear();
  bool whole = false;
  try {
    whole = _ReadReply();
  } catch (abi::__forced_unwind&) {
    throw;  // a cancelled thread goes on unwinding
  } catch (...) {
    // Exception* of the socket read as a refused reply; anything else that
    // reading the reply ran into is reported as a bad reply.
    _socket.Disconnect();
    throw new Exception("SMTP", "服务器返回信息错误");
  }
  PrintLine(_reply);
  if (!whole) {
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
