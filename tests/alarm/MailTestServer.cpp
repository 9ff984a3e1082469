#include "alarm/MailTestServer.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace tarrow_test {

namespace {

const char* const kPython = "/usr/bin/python3";

// Serves until SIGTERM. Mail n is stored as <n>.eml (the data) and <n>.env
// (FROM and RCPT lines), the .env written last under its final name.
const char* const kServerScript = R"PY(
import asyncio, os, signal, sys
from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

out_dir, port_file = sys.argv[1], sys.argv[2]
user, password = sys.argv[3].encode(), sys.argv[4].encode()
count = 0

class Handler:
    async def handle_DATA(self, server, session, envelope):
        global count
        count += 1
        base = os.path.join(out_dir, str(count))
        with open(base + '.eml', 'wb') as f:
            f.write(envelope.original_content or b'')
        lines = ['FROM ' + (envelope.mail_from or '')]
        lines += ['RCPT ' + r for r in envelope.rcpt_tos]
        with open(base + '.tmp', 'w', encoding='utf-8') as f:
            f.write('\n'.join(lines) + '\n')
        os.rename(base + '.tmp', base + '.env')
        return '250 2.0.0 Message accepted'

def authenticator(server, session, envelope, mechanism, auth_data):
    ok = (mechanism == 'LOGIN' and isinstance(auth_data, LoginPassword)
          and auth_data.login == user and auth_data.password == password)
    return AuthResult(success=ok, handled=False)

async def main():
    loop = asyncio.get_running_loop()
    server = await loop.create_server(
        lambda: SMTP(Handler(), hostname='mail.test', authenticator=authenticator,
                     auth_required=True, auth_require_tls=False, decode_data=False),
        '127.0.0.1', 0)
    port = server.sockets[0].getsockname()[1]
    with open(port_file + '.tmp', 'w') as f:
        f.write(str(port))
    os.rename(port_file + '.tmp', port_file)
    stop = asyncio.Event()
    loop.add_signal_handler(signal.SIGTERM, stop.set)
    await stop.wait()
    server.close()

asyncio.run(main())
)PY";

bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

MailTestServer::MailTestServer(const std::string& user, const std::string& password) {
  dir_.MakeDir("mail");
  dir_.Write("server.py", kServerScript);
  const std::string script = dir_.File("server.py");
  const std::string mailDir = dir_.File("mail");
  const std::string portFile = dir_.File("port");
  const std::string logFile = dir_.File("server.log");

  // Everything the child needs is prepared before the fork.
  std::vector<std::string> args = {kPython, "-u", script, mailDir, portFile, user, password};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  const int log = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  const pid_t parent = ::getpid();

  pid_ = ::fork();
  if (pid_ == 0) {
    // The server goes away with the test program, even when it crashes.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    if (null >= 0) ::dup2(null, 0);
    if (log >= 0) {
      ::dup2(log, 1);
      ::dup2(log, 2);
    }
    ::execv(kPython, argv.data());
    ::_exit(127);
  }
  if (log >= 0) ::close(log);
  if (null >= 0) ::close(null);
  if (pid_ < 0) return;

  // Python and the aiosmtpd import take a moment, longer on a loaded machine.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    if (Exists(portFile)) {
      port_ = static_cast<unsigned short>(std::atoi(ReadAll(portFile).c_str()));
      return;
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

MailTestServer::~MailTestServer() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(pid_, SIGKILL);
  int status = 0;
  ::waitpid(pid_, &status, 0);
}

std::string MailTestServer::Log() const { return ReadAll(dir_.File("server.log")); }

std::vector<MailTestServer::Mail> MailTestServer::Mails() const {
  std::vector<Mail> mails;
  for (int n = 1;; ++n) {
    const std::string base = dir_.File("mail/" + std::to_string(n));
    if (!Exists(base + ".env")) break;
    Mail mail;
    std::istringstream envelope(ReadAll(base + ".env"));
    std::string line;
    while (std::getline(envelope, line)) {
      if (line.compare(0, 5, "FROM ") == 0) mail.from = line.substr(5);
      if (line.compare(0, 5, "RCPT ") == 0) mail.recipients.push_back(line.substr(5));
    }
    mail.content = ReadAll(base + ".eml");
    mails.push_back(mail);
  }
  return mails;
}

bool MailTestServer::WaitForMails(size_t count, long ms) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    if (Mails().size() >= count) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace tarrow_test
