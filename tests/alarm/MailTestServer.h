#ifndef TARROW_TESTS_ALARM_MAILTESTSERVER_H
#define TARROW_TESTS_ALARM_MAILTESTSERVER_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/TempDir.h"

namespace tarrow_test {

// A real SMTP server for the mail tests: Debian's aiosmtpd, run by the
// system's /usr/bin/python3 as a child process on 127.0.0.1 and a free port,
// with AUTH LOGIN required (without TLS) for one user and password. Every
// mail it accepts is stored in a directory of its own, which Mails() reads.
// Started by the constructor, stopped (SIGTERM, then SIGKILL) by the
// destructor.
class MailTestServer {
 public:
  struct Mail {
    std::string from;                     // MAIL FROM address
    std::vector<std::string> recipients;  // RCPT TO addresses, in order
    std::string content;                  // the data as received, dots unstuffed
  };

  MailTestServer(const std::string& user, const std::string& password);
  ~MailTestServer();
  MailTestServer(const MailTestServer&) = delete;
  MailTestServer& operator=(const MailTestServer&) = delete;

  // false when the server did not come up; Log() then tells why.
  bool Started() const { return port_ != 0; }
  unsigned short Port() const { return port_; }
  // What the server wrote to its standard output and error.
  std::string Log() const;

  // The mails accepted so far, in order of arrival.
  std::vector<Mail> Mails() const;
  // Waits up to ms for at least count mails; whether they came.
  bool WaitForMails(size_t count, long ms) const;

 private:
  TempDir dir_;
  pid_t pid_ = -1;
  unsigned short port_ = 0;
};

}  // namespace tarrow_test

#endif
