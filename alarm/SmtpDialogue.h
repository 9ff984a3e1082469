#ifndef TARROW_ALARM_SMTPDIALOGUE_H
#define TARROW_ALARM_SMTPDIALOGUE_H

#include <time.h>

#include <string>

#include "framework/NonCopyable.h"
#include "framework/OXSocket.h"

namespace Oxbrindale {
namespace Velmora {
namespace Alarm {

// One SMTP client session on a connection of its own: connect, commands and
// their replies, the mail data, each wait bounded.
//
// A reply is read up to its final line, however the server splits it over
// packets and however many "NNN-" continuation lines come before the last
// "NNN " line. Connecting is bounded by the connect time-out, each whole
// reply by the reply time-out (a server that stays silent is disconnected);
// sending is bounded by OXSocket::Send itself.
//
// Failures of a step are thrown as Exception* "SMTP" with the step's message;
// failures of the socket pass through with their own codes. The destructor
// closes the connection.
class SmtpDialogue : Framework::NonCopyable {
 public:
  // Longest reply kept; a server that sends more fails the reply.
  enum { MAX_REPLY_BYTES = 65536 };
  // Longest line of mail data, without its CR LF (RFC 5321).
  enum { MAX_DATA_LINE = 998 };

  SmtpDialogue(long connectTimeoutMs, long replyTimeoutMs);
  virtual ~SmtpDialogue();

  // Connects to host (dotted IPv4 address or host name) and port. A
  // connection not up within the connect time-out throws "SMTP"
  // timeoutMessage; other failures throw the socket's exception.
  void Connect(const std::string& host, unsigned short port, const std::string& timeoutMessage);

  // Reads one whole reply, writes it to standard output and tells whether
  // it starts with the three characters of code. false also when the
  // connection failed or closed, or no whole reply came in time (the
  // connection is then closed). Any other failure while the reply is read
  // closes the connection and throws Exception* "SMTP" "服务器返回信息错误".
  bool CheckResponse(const char* code);
  // The lines of the reply read last (CR LF between them, none at the end);
  // "" when none was read.
  const std::string& GetReply() const { return _reply; }

  // Sends bytes unchanged.
  void Send(const std::string& bytes);
  // Sends line and "\r\n", then reads the reply; throws "SMTP" failMessage
  // when the reply does not start with code.
  void Command(const std::string& line, const char* code, const std::string& failMessage);

  // Closes the connection (nothing when it is closed).
  void Disconnect();

  // Text as the DATA phase carries it: every line end (CR LF, lone LF or
  // lone CR) becomes CR LF, a line that begins with "." gets one more "."
  // in front, so no line of the text can end the mail early, and a line
  // longer than MAX_DATA_LINE is broken into several at character
  // boundaries.
  static std::string ToDataLines(const std::string& text);

 protected:
  // One line of a reply, without its LF, waiting at most until deadline;
  // the socket's failures as Exception*.
  virtual std::string _ReceiveLine(const struct timespec& deadline);

 private:
  // Reads lines until the final line of a reply; false when the socket
  // failed or the reply grew too long.
  bool _ReadReply();

  long _connectTimeoutMs;
  long _replyTimeoutMs;
  std::string _reply;
  Framework::OXSocket _socket;
};

}  // namespace Alarm
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
