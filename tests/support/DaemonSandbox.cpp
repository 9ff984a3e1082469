#include "support/DaemonSandbox.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "framework/Convert.h"
#include "framework/ProcessSpawner.h"

namespace tarrow_test {

using Oxbrindale::Velmora::Framework::Convert;
using Oxbrindale::Velmora::Framework::ProcessSpawner;

namespace {

// Not under /tmp: the namespaces put a tmpfs of their own over it.
const char kBase[] = "/var/tmp/tarrow-daemons-XXXXXX";

long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Processes whose executable lies in dir (prefix) or is exactly path.
std::vector<int> ProcessesOf(const std::string& path, bool prefix) {
  std::vector<int> pids;
  for (const auto& entry : Convert::ListFile("/proc", "[0-9]*")) {
    std::string exe = Convert::ReadLink(entry.fullPath + "/exe");
    if (exe.empty()) continue;
    const std::string deleted = " (deleted)";
    if (exe.size() > deleted.size() && exe.compare(exe.size() - deleted.size(), deleted.size(), deleted) == 0) {
      exe.resize(exe.size() - deleted.size());
    }
    if (prefix ? exe.compare(0, path.size(), path) == 0 : exe == path) pids.push_back(std::atoi(entry.name.c_str()));
  }
  return pids;
}

// The top folder under /tmp (/tmp/<name>) of the build tree that this test
// program belongs to, "" when the build tree is elsewhere.
std::string BuildTreeUnderTmp() {
  const std::string self = Convert::ReadLink("/proc/self/exe");
  const std::string tmp = "/tmp/";
  if (self.compare(0, tmp.size(), tmp) != 0) return "";
  const std::string::size_type end = self.find('/', tmp.size());
  if (end == std::string::npos) return "";
  return self.substr(0, end);
}

void ReapAny() {
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }
}

}  // namespace

DaemonSandbox::DaemonSandbox(const std::string& guardProgram, const std::string& tarrowdProgram) {
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  char tmpl[sizeof(kBase)];
  std::copy(kBase, kBase + sizeof(kBase), tmpl);
  if (mkdtemp(tmpl) == nullptr) return;
  dir_ = std::string(tmpl) + "/";
  chmod(tmpl, 0755);
  namespace fs = std::filesystem;
  fs::copy_file(guardProgram, Guard(), fs::copy_options::overwrite_existing);
  fs::copy_file(tarrowdProgram, Tarrowd(), fs::copy_options::overwrite_existing);
  chmod(Guard().c_str(), 0755);
  chmod(Tarrowd().c_str(), 0755);

  // The holder keeps the namespaces; it ends when its input closes (so also
  // when this process dies).
  int in[2];
  int out[2];
  if (pipe2(in, O_CLOEXEC) != 0) return;
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return;
  }
  // A build tree under /tmp stays reachable inside: its top folder there is
  // bound aside before the tmpfs covers /tmp, then moved back in place.
  const std::string kept = BuildTreeUnderTmp();
  const std::string aside = dir_ + "build-tree";
  if (!kept.empty()) mkdir(aside.c_str(), 0755);
  pid_t pid = ProcessSpawner::Spawn(
      {"unshare", "--net", "--mount", "--uts", "--propagation", "private", "/bin/sh", "-c",
       "set -e; if [ -n \"$1\" ]; then mount --bind \"$1\" \"$2\"; fi; mount -t tmpfs -o mode=1777 tmpfs /tmp; "
       "if [ -n \"$1\" ]; then mkdir -p \"$1\"; mount --move \"$2\" \"$1\"; fi; "
       "ip link set lo up; echo ready; read line",
       "sandbox", kept, aside},
      in[0], out[1], ProcessSpawner::FD_INHERIT);
  close(in[0]);
  close(out[1]);
  holderInput_ = in[1];
  if (pid < 0) {
    close(out[0]);
    return;
  }
  std::string said;
  const long long deadline = NowMs() + 30000;
  while (said.find("ready\n") == std::string::npos && NowMs() < deadline) {
    struct pollfd p = {out[0], POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buf[64];
    ssize_t n = read(out[0], buf, sizeof(buf));
    if (n <= 0) break;
    said.append(buf, static_cast<size_t>(n));
  }
  close(out[0]);
  if (said.find("ready\n") == std::string::npos) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return;
  }
  holder_ = pid;
}

DaemonSandbox::~DaemonSandbox() {
  // Every process of the directory was started by this sandbox (its
  // commands, the daemons they forked, the fake tarrowd): end them all, the
  // guards first found, until none is left.
  if (!dir_.empty()) {
    for (int round = 0; round < 1000; ++round) {
      std::vector<int> pids = ProcessesOf(dir_, true);
      if (pids.empty()) break;
      for (int pid : pids) kill(pid, SIGKILL);
      usleep(10000);
      ReapAny();
    }
  }
  for (const Launched& command : launched_) {
    kill(command.pid, SIGKILL);  // not reaped yet, so still ours
    waitpid(command.pid, nullptr, 0);
    if (command.out >= 0) close(command.out);
  }
  if (holderInput_ >= 0) close(holderInput_);
  if (holder_ > 0) {
    kill(holder_, SIGKILL);
    waitpid(holder_, nullptr, 0);
  }
  ReapAny();
  if (!dir_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
}

std::string DaemonSandbox::Inside(const std::string& path) const {
  return "/proc/" + std::to_string(holder_) + "/root" + path;
}

pid_t DaemonSandbox::Launch(const std::vector<std::string>& words, bool output) {
  return LaunchProgram(Guard(), words, output);
}

pid_t DaemonSandbox::LaunchProgram(const std::string& path, const std::vector<std::string>& words, bool output) {
  std::vector<std::string> argv = {"nsenter", "-t", std::to_string(holder_), "--net", "--mount", "--uts", "--",
                                   path};
  argv.insert(argv.end(), words.begin(), words.end());
  int out[2] = {-1, -1};
  if (output && pipe2(out, O_CLOEXEC) != 0) return -1;
  pid_t pid = ProcessSpawner::Spawn(argv, ProcessSpawner::FD_DEVNULL, output ? out[1] : ProcessSpawner::FD_DEVNULL,
                                    ProcessSpawner::FD_INHERIT);
  if (output) close(out[1]);
  if (pid < 0) {
    if (output) close(out[0]);
    return -1;
  }
  launched_.push_back({pid, out[0]});
  return pid;
}

DaemonSandbox::Result DaemonSandbox::Finish(pid_t pid, long ms) {
  Result result;
  auto it = launched_.begin();
  while (it != launched_.end() && it->pid != pid) ++it;
  if (it == launched_.end()) return result;
  const long long deadline = NowMs() + ms;
  if (it->out >= 0) {
    while (NowMs() < deadline) {
      struct pollfd p = {it->out, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      char buf[512];
      ssize_t n = read(it->out, buf, sizeof(buf));
      if (n <= 0) break;
      result.output.append(buf, static_cast<size_t>(n));
    }
    close(it->out);
  }
  int status = 0;
  pid_t done = 0;
  while ((done = waitpid(pid, &status, WNOHANG)) == 0 && NowMs() < deadline) usleep(10000);
  if (done != pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  } else if (WIFEXITED(status)) {
    result.status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.status = 128 + WTERMSIG(status);
  }
  launched_.erase(it);
  return result;
}

DaemonSandbox::Result DaemonSandbox::Run(const std::vector<std::string>& words, long ms) {
  return RunProgram(Guard(), words, ms);
}

DaemonSandbox::Result DaemonSandbox::RunProgram(const std::string& path, const std::vector<std::string>& words,
                                                long ms) {
  pid_t pid = LaunchProgram(path, words);
  if (pid < 0) return Result();
  return Finish(pid, ms);
}

std::vector<int> DaemonSandbox::Running(const std::string& file) const { return ProcessesOf(dir_ + file, false); }

std::vector<int> DaemonSandbox::Daemons(const std::string& file) const {
  std::vector<int> daemons;
  for (int pid : Running(file)) {
    if (SessionOf(pid) == pid) daemons.push_back(pid);
  }
  return daemons;
}

int DaemonSandbox::WaitExit(pid_t pid, long ms) {
  const long long deadline = NowMs() + ms;
  for (;;) {
    int status = 0;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      for (auto it = launched_.begin(); it != launched_.end(); ++it) {
        if (it->pid == pid) {
          if (it->out >= 0) close(it->out);
          launched_.erase(it);
          break;
        }
      }
      return status;
    }
    if (done < 0 || NowMs() >= deadline) return -1;
    usleep(10000);
  }
}

int DaemonSandbox::WaitForkedExit(pid_t* pid, long ms) {
  *pid = 0;
  const long long deadline = NowMs() + ms;
  for (;;) {
    int status = 0;
    pid_t done = waitpid(-1, &status, WNOHANG);
    if (done > 0 && done != holder_) {
      *pid = done;
      return status;
    }
    if (done == holder_) holder_ = -1;  // gone: nothing left to end
    if (NowMs() >= deadline) return -1;
    usleep(10000);
  }
}

std::string DaemonSandbox::ReadFile(const std::string& file) const {
  std::ifstream in(dir_ + file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string ProcStat(int pid) {
  // Read without a stream: the standard library throws when the process
  // ends while its file is being read (the read fails with ESRCH).
  const int fd = open(("/proc/" + std::to_string(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  std::string text;
  char buf[512];
  ssize_t n;
  while ((n = read(fd, buf, sizeof(buf))) > 0) text.append(buf, static_cast<size_t>(n));
  close(fd);
  return n < 0 ? "" : text;
}

int SessionOf(int pid) {
  const std::string stat = ProcStat(pid);
  const std::string::size_type end = stat.rfind(')');
  if (end == std::string::npos) return 0;
  std::istringstream fields(stat.substr(end + 1));
  std::string state;
  int parent = 0, group = 0, session = 0;
  fields >> state >> parent >> group >> session;
  return session;
}

bool WaitUntil(const std::function<bool()>& done, long ms) {
  const long long deadline = NowMs() + ms;
  for (;;) {
    if (done()) return true;
    if (NowMs() >= deadline) return done();
    usleep(10000);
  }
}

int CountLines(const std::string& text, const std::string& line) {
  const std::string needle = line + "\n";
  int n = 0;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) break;
    if (text.compare(pos, end + 1 - pos, needle) == 0) ++n;
    pos = end + 1;
  }
  return n;
}

unsigned long long SignalMask(const std::string& statusFile, const std::string& field) {
  std::ifstream in(statusFile);
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, field.size() + 1, field + ":") == 0) return std::strtoull(line.c_str() + field.size() + 1, nullptr, 16);
  }
  return 0;
}

std::vector<std::string> Threads(int pid) {
  std::vector<std::string> files;
  std::error_code ec;
  for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    files.push_back(task.path().string() + "/status");
  }
  return files;
}

}  // namespace tarrow_test
