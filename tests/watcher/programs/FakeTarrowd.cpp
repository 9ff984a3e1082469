// A stand-in for tarrowd in the watcher's tests, copied as <dir>/tarrowd.
//
//   start   appends "start" to <dir>/tarrowd.log; then, unless the file
//           <dir>/tarrowd.broken exists (a start that starts nothing), returns
//           254 when a copy runs already, else forks a copy that runs in its
//           own session (at most 300 s), writing its pid into <dir>/tarrowd.pid,
//           and returns 0 at once
//   <word>  appends the word to the log and returns 0
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "framework/Convert.h"
#include "framework/ProcessManager.h"

using Oxbrindale::Velmora::Framework::Convert;
using Oxbrindale::Velmora::Framework::ProcessManager;

namespace {

void Log(const std::string& word) {
  const std::string line = word + "\n";
  int fd = open((Convert::GetAppPath() + "tarrowd.log").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  if (write(fd, line.data(), line.size()) < 0) {
  }
  close(fd);
}

int Start() {
  if (Convert::IsFileExist(Convert::GetAppPath() + "tarrowd.broken")) return 0;
  if (ProcessManager::GetPidByPath(Convert::GetExePath(), true) != 0) return 254;
  pid_t pid = fork();
  if (pid < 0) return 1;
  if (pid > 0) return 0;
  setsid();
  for (int fd = 0; fd < 1024; ++fd) close(fd);
  const std::string pidFile = Convert::GetAppPath() + "tarrowd.pid";
  const std::string text = Convert::ToString<int>(static_cast<int>(getpid())) + "\n";
  int fd = open((pidFile + ".new").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd >= 0) {
    if (write(fd, text.data(), text.size()) < 0) {
    }
    close(fd);
    rename((pidFile + ".new").c_str(), pidFile.c_str());
  }
  struct timespec left = {300, 0};  // never outlives a test run by much
  while (nanosleep(&left, &left) != 0) {
  }
  _exit(0);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string word = argc > 1 ? argv[1] : "";
  Log(word);
  if (word == "start") return Start();
  return 0;
}
