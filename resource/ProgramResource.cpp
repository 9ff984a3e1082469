#include "resource/ProgramResource.h"

#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <thread>
#include <vector>

#include "config/ConfigManager.h"
#include "config/ProgramResConfig.h"
#include "framework/Convert.h"
#include "framework/FileManager.h"
#include "framework/MutexGuard.h"
#include "framework/ProcessManager.h"
#include "framework/ProcessSpawner.h"
#include "resource/ResourceEvents.h"

namespace Oxbrindale {
namespace Velmora {
namespace Resource {

using Config::ConfigManager;
using Config::IResourceConfig;
using Config::ProgramResConfig;
using Framework::Convert;
using Framework::Mutex;
using Framework::MutexGuard;
using Framework::ProcessManager;

namespace {

// Children this process started as programs of a program resource and has
// not reaped yet: only these are asked with waitpid, so no other waiter's
// child is ever reaped here.
Mutex& OwnChildrenLock() {
  static Mutex* lock = new Mutex();  // never destroyed: check threads may run until exit
  return *lock;
}

std::set<int>& OwnChildren() {
  static std::set<int>* children = new std::set<int>();
  return *children;
}

std::string RealPath(const std::string& path) {
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) == nullptr) return std::string();
  return resolved;
}

// The target of /proc/<pid>/exe; "" for a process that is gone or a zombie.
std::string ExeOf(int pid) {
  std::string target = Convert::ReadLink("/proc/" + Convert::ToString<int>(pid) + "/exe");
  const std::string deleted = " (deleted)";  // the program's file was replaced while it runs
  if (target.size() > deleted.size() && target.compare(target.size() - deleted.size(), deleted.size(), deleted) == 0)
    target.erase(target.size() - deleted.size());
  return target;
}

// The arguments of /proc/<pid>/cmdline; none when it cannot be read (the
// process ended between the look at its program and this read).
std::vector<std::string> CommandLineOf(int pid) {
  // A plain read: a stream's buffer throws on the read error of a process
  // that is gone, and nothing on this thread would catch it.
  const std::string text = Config::FileManager::SimpleLoadFile("/proc/" + Convert::ToString<int>(pid) + "/cmdline");
  std::vector<std::string> arguments;
  std::string piece;
  for (char c : text) {
    if (c == '\0') {
      arguments.push_back(piece);
      piece.clear();
    } else {
      piece += c;
    }
  }
  if (!piece.empty()) arguments.push_back(piece);
  return arguments;
}

}  // namespace

ProgramResource::ProgramResource(ProgramResConfig* config)
    : IResource(4, static_cast<short>(config->GetConfigNumber() & 0xFFFF)), _config(config) {}

ProgramResource::~ProgramResource() { EndForDestruction(); }

IResourceConfig* ProgramResource::GetIResConfig() { return _config; }

ProgramResource::ProgramTimings ProgramResource::GetProgramTimings() {
  MutexGuard guard(_timingsLock);
  return _timings;
}

void ProgramResource::SetProgramTimings(const ProgramTimings& timings) {
  MutexGuard guard(_timingsLock);
  _timings = timings;
}

std::string ProgramResource::_GetStartPath(const std::string& text) { return text.substr(0, text.find('\0')); }

std::string ProgramResource::CanonicalProgram(const std::string& program) {
  const std::string name = _GetStartPath(program);
  if (name.empty()) return std::string();
  // Found the way the process layer finds the program it starts.
  const std::string found = Framework::ProcessSpawner::FindProgram(name);
  return found.empty() ? std::string() : RealPath(found);
}

bool ProgramResource::RunsProgram(int pid, const std::string& program) {
  if (pid <= 1) return false;
  if (kill(pid, 0) != 0 && errno != EPERM) return false;
  const std::string exe = ExeOf(pid);
  if (exe.empty()) return false;  // gone, or a zombie
  const std::string wanted = CanonicalProgram(program);
  if (wanted.empty()) return false;
  if (RealPath(exe) == wanted || exe == wanted) return true;
  // A script runs as its interpreter; the command line then names the script
  // after the interpreter and at most one option of its first line.
  const std::vector<std::string> arguments = CommandLineOf(pid);
  for (size_t i = 1; i < arguments.size() && i <= 2; ++i) {
    if (!arguments[i].empty() && RealPath(arguments[i]) == wanted) return true;
  }
  return false;
}

bool ProgramResource::_IsOwnChild(int pid) {
  MutexGuard guard(OwnChildrenLock());
  return OwnChildren().count(pid) != 0;
}

void ProgramResource::_AddOwnChild(int pid) {
  MutexGuard guard(OwnChildrenLock());
  OwnChildren().insert(pid);
}

void ProgramResource::_ForgetOwnChild(int pid) {
  MutexGuard guard(OwnChildrenLock());
  OwnChildren().erase(pid);
}

int ProgramResource::_RecordedPid() {
  const int pid = static_cast<int>(_config->GetProcessId());
  return pid > 1 ? pid : 0;  // 0 none; -1 (a failed start) or 1 is never a program of ours
}

void ProgramResource::_ClearPid() {
  _config->SetProcessId(0);
  ConfigManager::Instance()->SaveBothProgramConfig();
}

bool ProgramResource::_IsAlive(int pid) {
  if (_IsOwnChild(pid)) {
    const pid_t answer = waitpid(pid, nullptr, WNOHANG);
    if (answer == 0) return true;  // still running
    _ForgetOwnChild(pid);          // ended and reaped (or reaped by someone else)
    return false;
  }
  return RunsProgram(pid, _config->GetProgramPath());
}

bool ProgramResource::TestRes() {
  const int pid = _RecordedPid();
  if (pid == 0) {
    if (_config->GetProcessId() != 0) _ClearPid();
    return false;
  }
  if (_IsAlive(pid)) return true;
  _ClearPid();
  return false;
}

void ProgramResource::StartRes() {
  const std::string program = _config->GetProgramPath();
  ResourceEvents::Debug("before start" + program);
  int pid = -1;
  {
    ProcessManager child;
    // Registered under the lock before any check can see the new id.
    MutexGuard guard(OwnChildrenLock());
    pid = child.SimpleStartProcess(program, _config->GetProgramArgs());
    if (pid > 1) OwnChildren().insert(pid);
  }  // the handle goes; the program keeps running
  _config->SetProcessId(pid > 1 ? static_cast<uint32_t>(pid) : 0);
  ConfigManager::Instance()->SaveBothProgramConfig();
  _Pause(GetProgramTimings().startSettleMs);
}

void ProgramResource::StopRes() {
  const int pid = _RecordedPid();
  if (pid == 0) {
    if (_config->GetProcessId() != 0) _ClearPid();
    return;
  }
  if (_IsOwnChild(pid)) {
    ProcessManager child(pid);
    if (child.IsAlive()) child.Terminate();  // SIGKILL and reap
    _ForgetOwnChild(pid);
  } else if (RunsProgram(pid, _config->GetProgramPath())) {
    // Started by an earlier run of the daemon: not ours to reap, so wait
    // until it is gone (its exe link goes with it).
    if (kill(pid, SIGKILL) == 0) {
      const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(GetProgramTimings().killWaitMs);
      while (!ExeOf(pid).empty() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  _ClearPid();
}

void ProgramResource::Start() { StartByThread(); }

void ProgramResource::Stop() { StopByThread(); }

}  // namespace Resource
}  // namespace Velmora
}  // namespace Oxbrindale
