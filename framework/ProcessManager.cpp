#include "framework/ProcessManager.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <sstream>

#include "framework/Convert.h"
#include "framework/Env.h"
#include "framework/OXDebug.h"
#include "framework/ProcessSpawner.h"
#include "framework/Sleep.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

namespace {

const long kPollMs = 50;
// After SIGKILL: how long to wait for the child to be reaped.
const long kReapAfterKillMs = 5000;
// Size of one piece read by GetOutputString (as a line reader with a
// 1024-byte buffer would read it).
const size_t kPieceSize = 1023;

void _PrintLine(const char* text) {
  std::fputs(text, stdout);
  std::fputs("\n", stdout);
  std::fflush(stdout);
}

}  // namespace

ProcessManager::ProcessManager() : _pid(-1) {}

ProcessManager::ProcessManager(int pid) : _pid(pid) {}

ProcessManager::~ProcessManager() { Close(); }

void ProcessManager::_CloseFd(int& fd) {
  if (fd != 0) {
    close(fd);
    fd = 0;
  }
}

void ProcessManager::Close() {
  _CloseFd(_stdinWrite);
  _CloseFd(_stdoutRead);
  _CloseFd(_stdinRead);
  _CloseFd(_stdoutWrite);
}

std::vector<std::string> ProcessManager::_MakeArgs(const std::string& program, const std::string& args) {
  std::vector<std::string> argv;
  argv.push_back(program);
  std::string piece;
  bool quoted = false;
  for (char c : args) {
    if (c == '"') {
      if (quoted) {
        argv.push_back(piece);
        piece.clear();
      }
      quoted = !quoted;
    } else if (c == ' ' && !quoted) {
      argv.push_back(piece);
      piece.clear();
    } else {
      piece += c;
    }
  }
  if (!piece.empty()) argv.push_back(piece);
  return argv;
}

int ProcessManager::_Start(const std::string& program, const std::string& args, bool withPipes) {
  OXDebug("start process:" + program + " " + args);
  Close();
  _status = -1;
  _reaped = false;
  const std::vector<std::string> argv = _MakeArgs(program, args);

  if (!withPipes) {
    _pid = ProcessSpawner::Spawn(argv, ProcessSpawner::FD_DEVNULL, ProcessSpawner::FD_DEVNULL,
                                 ProcessSpawner::FD_DEVNULL);
    return _pid;
  }

  int in[2];
  int out[2];
  if (pipe2(in, O_CLOEXEC) != 0) {
    _pid = -1;
    _PrintLine("********* create pipe failure ******");
    return -1;
  }
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    _pid = -1;
    _PrintLine("********* create pipe failure ******");
    return -1;
  }
  _stdinRead = in[0];
  _stdinWrite = in[1];
  _stdoutRead = out[0];
  _stdoutWrite = out[1];

  _pid = ProcessSpawner::Spawn(argv, _stdinRead, _stdoutWrite, ProcessSpawner::FD_INHERIT);
  if (_pid < 0) {
    _PrintLine("********* fork returns -1 ******");
    Close();
    return -1;
  }
  _CloseFd(_stdinRead);
  _CloseFd(_stdoutWrite);
  return _pid;
}

int ProcessManager::SimpleStartProcess(const std::string& program, const std::string& args) {
  return _Start(program, args, false);
}

int ProcessManager::StartProcess(const std::string& program, const std::string& args) {
  return _Start(program, args, true);
}

bool ProcessManager::IsAlive() {
  if (_pid < 1 || _reaped) return false;
  for (;;) {
    int status = 0;
    pid_t rc = waitpid(_pid, &status, WNOHANG);
    if (rc == 0) return true;
    if (rc == _pid) {
      _status = status;
      _reaped = true;
      return false;
    }
    if (errno == EINTR) continue;
    // Not our child (or already reaped elsewhere): never signal it.
    _status = -1;
    _reaped = true;
    return false;
  }
}

bool ProcessManager::WaitTerminated(long ms) {
  if (_pid < 1) return false;
  const long long start = Env::Get()->WaitClockMs();
  for (;;) {
    if (!IsAlive()) return true;
    if (Env::Get()->WaitClockMs() - start > ms) return false;
    Sleep(kPollMs);
  }
}

void ProcessManager::WaitTerminated() {
  if (_pid < 1 || _reaped) return;
  for (;;) {
    int status = 0;
    pid_t rc = waitpid(_pid, &status, 0);
    if (rc == _pid) {
      _status = status;
      break;
    }
    if (errno == EINTR) continue;
    _status = -1;
    break;
  }
  _reaped = true;
}

bool ProcessManager::Terminate() {
  if (_pid < 1) return false;
  if (!IsAlive()) return true;
  // Not reaped yet, so the pid cannot have been given to another process.
  if (kill(_pid, SIGKILL) != 0) return false;
  WaitTerminated(kReapAfterKillMs);
  return true;
}

void ProcessManager::InputString(const std::string& text) {
  if (_pid < 1 || _stdinWrite == 0) return;
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(_stdinWrite, text.data() + done, text.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
}

std::string ProcessManager::GetOutputString() {
  if (_pid < 1 || _stdoutRead == 0) return "";
  // No input can follow once we read to the end: a child that reads its
  // input to the end (cat, sort, a tool asking a question) gets it now
  // instead of waiting for us while we wait for it.
  _CloseFd(_stdinWrite);
  std::string raw;
  char buf[4096];
  for (;;) {
    ssize_t n = read(_stdoutRead, buf, sizeof(buf));
    if (n > 0) {
      raw.append(buf, static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  _CloseFd(_stdoutRead);

  // Pieces as a line reader gives them: up to and including a line break,
  // at most kPieceSize bytes; each counts up to its first NUL byte.
  std::string text;
  size_t pos = 0;
  while (pos < raw.size()) {
    size_t end = pos;
    while (end < raw.size() && end - pos < kPieceSize) {
      if (raw[end++] == '\n') break;
    }
    size_t nul = raw.find('\0', pos);
    text.append(raw, pos, (nul != std::string::npos && nul < end ? nul : end) - pos);
    pos = end;
  }
  return text;
}

namespace {

bool _ExeIs(const std::string& procEntry, const std::string& path) {
  char target[1024];
  ssize_t n = readlink((procEntry + "/exe").c_str(), target, sizeof(target));
  if (n < 0 || static_cast<size_t>(n) >= sizeof(target)) return false;
  const std::string exe(target, static_cast<size_t>(n));
  return exe == path || exe == path + " (deleted)";
}

}  // namespace

int ProcessManager::GetPidByPath(const std::string& path, bool skipSelf) {
  const int self = static_cast<int>(getpid());
  for (const __OXFile& entry : Convert::ListFile(Env::Get()->SystemPath("/proc"), "*")) {
    if (entry.fullPath.empty() || entry.name.empty()) continue;
    std::istringstream in(entry.name);
    int pid = 0;
    if (!(in >> pid)) continue;
    if (skipSelf && pid == self) continue;
    if (_ExeIs(entry.fullPath, path)) return pid;
  }
  return 0;
}

bool ProcessManager::RunsPath(int pid, const std::string& path) {
  return pid > 0 && _ExeIs(Env::Get()->SystemPath("/proc") + "/" + std::to_string(pid), path);
}

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
