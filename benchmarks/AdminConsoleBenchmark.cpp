// The console server under load, in a child process with a fake daemon
// behind it and its limits raised; consoles connect from 127.0.0.x:
// - 200 logged-in consoles asking GET_RUNNING_STATUS in a closed loop:
//   requests/s and latency p50/p99/max (goal: p99 below 50 ms);
// - 500 connects within one second: accepts/s and logins/s, and how many
//   were greeted or closed within 5 s of their connect (goal: all);
// - 50 consoles receiving a CHAT sent 10 times a second: push latency
//   p50/p99, without and with one console that stops reading (measured once
//   the storm's connection notices have been pushed);
// - threads and resident memory of the server before, at 200 sessions, and
//   10 s after every console left, and when the threads were back to the
//   idle count (goal: within 10 s).
//
// Not a test: it prints figures, it checks nothing. Arguments are ignored
// (scripts/bench passes the options of the other benchmarks).
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "admin/AdminContext.h"
#include "admin/ClientManager.h"
#include "admin/IAdminAlarms.h"
#include "admin/IAdminEvents.h"
#include "admin/IAdminHAMachine.h"
#include "admin/IAdminHeartBeat.h"
#include "config/ConfigManager.h"
#include "config/GlobalConfig.h"
#include "framework/Env.h"
#include "framework/EventManager.h"
#include "framework/MD5.h"
#include "support/TestConsole.h"

using namespace Oxbrindale::Velmora;
using std::chrono::steady_clock;
using tarrow_test::ConsoleFrame;
using tarrow_test::TestConsole;

namespace {

const std::string kDigest = Framework::MD5("bench-password").toString();

// ---- the server side (child process) ----------------------------------------

class FolderEnv : public Framework::Env {
 public:
  explicit FolderEnv(std::string folder) : _folder(std::move(folder)) {}
  std::string AppPath() override { return _folder; }

 private:
  std::string _folder;
};

class BenchMachine : public Core::IAdminHAMachine {
 public:
  bool IsEndRequested() override { return false; }
  Entity::RunningStatusEntity GetRunningStatus() override {
    Entity::RunningStatusEntity status;
    status.SetText("运行中");
    status.SetForeignRunningTrees(0);
    status.SetRunningTrees(3);
    status.SetMachineStatu(4);
    return status;
  }
  // The benchmark sends no takeover command.
  bool RequestTakeOverResourceTree(const std::string&, bool) override { return false; }
  bool OnResourceTreeFail(Resource::ResourceTree*) override { return false; }
  void ClearStartWait() override {}
};

// A node without links; the benchmark sends no heartbeat command.
class BenchHeartBeat : public Core::IAdminHeartBeat {
 public:
  void OnHBListenPortModified() override {}
  std::vector<std::string> GetLinkTexts() override { return {}; }
  bool GetLinkTextById(int, std::string*) override { return false; }
  void AddHeartBeat(Config::HeartBeatLinkConfig*) override {}
  std::function<void()> RemoveHeartBeatLinkById(int) override { return {}; }
  bool ReconnectLinkById(int) override { return false; }
};

class BenchAlarms : public Core::IAdminAlarms {
 public:
  void Raise(int, const std::string&) override {}
};

class BenchEvents : public Core::IAdminEvents {
 public:
  void Notify(int kind, const std::string& source, const std::string& text) override {
    Framework::EventManager::Instance()->Notify(kind, source, text);
  }
  void Subscribe(Framework::EventClient* client) override { Framework::EventManager::Instance()->Subscript(client); }
  void Unsubscribe(Framework::EventClient* client) override {
    Framework::EventManager::Instance()->DeSubscript(client);
  }
};

// Runs the server on port until the parent closes the pipe on stdin.
[[noreturn]] void RunServer(unsigned short port) {
  char folder[] = "/tmp/tarrow_admin_bench_XXXXXX";
  if (::mkdtemp(folder) == nullptr) _exit(2);
  const std::string app = std::string(folder) + "/";
  ::mkdir((app + "configs").c_str(), 0700);
  ::mkdir((app + "log").c_str(), 0700);
  static FolderEnv env(app);
  Framework::Env::Set(&env);

  static Config::ConfigManager store;
  Config::GlobalConfig* gc = store.GetGC();
  gc->SetConsolePort(port);
  for (int level = 0; level < 3; ++level) gc->SetDigest(level, kDigest);
  static BenchMachine machine;
  static BenchHeartBeat heartBeat;
  static BenchAlarms alarms;
  static BenchEvents events;
  static Core::AdminContext context;
  context.machine = &machine;
  context.heartBeat = &heartBeat;
  context.store = &store;
  context.alarms = &alarms;
  context.events = &events;
  context.settings.listenHost = "127.0.0.1";
  context.settings.maxSessions = 2000;
  context.settings.maxSessionsPerAddress = 2000;
  context.settings.chatPerWindow = 1000;
  Core::ClientManager* manager = new Core::ClientManager(&context);
  manager->StartListen();
  while (!manager->IsListening()) ::usleep(10000);
  if (::write(3, "R", 1) != 1) _exit(3);  // ready
  char byte;
  while (::read(0, &byte, 1) > 0) {
  }
  ::system(("rm -rf '" + app + "'").c_str());
  _exit(0);
}

// ---- the console side (this process) ----------------------------------------

unsigned short FreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in address;
  std::memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address));
  socklen_t length = sizeof(address);
  ::getsockname(fd, reinterpret_cast<struct sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

std::string Source(int n) { return "127.0.0." + std::to_string(2 + n % 50); }

struct Usage {
  long threads = 0;
  long rssKb = 0;
};

Usage ServerUsage(pid_t server) {
  Usage usage;
  std::ifstream status("/proc/" + std::to_string(server) + "/status");
  std::string key;
  while (status >> key) {
    if (key == "Threads:") status >> usage.threads;
    if (key == "VmRSS:") status >> usage.rssKb;
  }
  return usage;
}

void PrintUsage(const char* moment, const Usage& usage) {
  std::printf("  server %-26s threads %5ld   RSS %7ld kB\n", moment, usage.threads, usage.rssKb);
}

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t index = static_cast<size_t>(p * (values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

double Ms(steady_clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

std::vector<std::unique_ptr<TestConsole>> LogInMany(unsigned short port, int count, int offset) {
  std::vector<std::unique_ptr<TestConsole>> consoles(count);
  std::vector<std::thread> threads;
  std::atomic<int> failed{0};
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = t; i < count; i += 8) {
        consoles[i].reset(new TestConsole(port, Source(offset + i)));
        if (!consoles[i]->LogIn(2, kDigest)) ++failed;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  if (failed.load() > 0) std::printf("  (%d consoles could not log in)\n", failed.load());
  return consoles;
}

void ClosedLoop(unsigned short port, pid_t server) {
  std::printf("200 logged-in consoles, GET_RUNNING_STATUS in a closed loop for 5 s\n");
  std::vector<std::unique_ptr<TestConsole>> consoles = LogInMany(port, 200, 0);
  std::vector<std::vector<double>> latencies(consoles.size());
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (size_t i = 0; i < consoles.size(); ++i) {
    threads.emplace_back([&, i] {
      while (!stop.load()) {
        const auto sent = steady_clock::now();
        if (consoles[i]->Request("GET_RUNNING_STATUS", "", 10000).compare(0, 3, "OK\n") != 0) return;
        latencies[i].push_back(Ms(steady_clock::now() - sent));
      }
    });
  }
  const auto start = steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(5));
  stop = true;
  for (std::thread& thread : threads) thread.join();
  const double seconds = Ms(steady_clock::now() - start) / 1000;
  PrintUsage("at 200 sessions", ServerUsage(server));
  std::vector<double> all;
  for (auto& list : latencies) all.insert(all.end(), list.begin(), list.end());
  std::printf("  %.0f requests/s   p50 %.2f ms   p99 %.2f ms   max %.2f ms   (%zu requests)\n", all.size() / seconds,
              Percentile(all, 0.5), Percentile(all, 0.99), all.empty() ? 0 : *std::max_element(all.begin(), all.end()),
              all.size());
}

void ConnectStorm(unsigned short port) {
  std::printf("500 connects within 1 s (one every 2 ms), each then logging in\n");
  std::vector<std::unique_ptr<TestConsole>> consoles(500);
  std::vector<std::thread> threads;
  std::atomic<int> accepted{0};
  std::atomic<int> loggedIn{0};
  std::atomic<int> refused{0};
  std::atomic<int> closed{0};
  std::atomic<int> answeredIn5s{0};  // greeted or closed within 5 s of its connect
  std::mutex lock;
  steady_clock::time_point lastAccept, lastLogin;
  double slowestAnswerMs = 0;
  const auto start = steady_clock::now();
  for (int i = 0; i < 500; ++i) {
    std::this_thread::sleep_until(start + std::chrono::milliseconds(2 * i));
    threads.emplace_back([&, i] {
      const auto connecting = steady_clock::now();
      consoles[i].reset(new TestConsole(port, Source(i)));
      if (!consoles[i]->Connected()) {
        ++refused;
        return;
      }
      const bool ready = consoles[i]->WaitReady(30000);
      const bool answered = ready || consoles[i]->IsClosed();
      if (answered) {
        const double ms = Ms(steady_clock::now() - connecting);
        if (ms <= 5000) ++answeredIn5s;
        std::lock_guard<std::mutex> guard(lock);
        slowestAnswerMs = std::max(slowestAnswerMs, ms);
      }
      if (!ready) {
        if (consoles[i]->IsClosed()) ++closed;
        return;
      }
      {
        std::lock_guard<std::mutex> guard(lock);
        ++accepted;
        lastAccept = std::max(lastAccept, steady_clock::now());
      }
      if (consoles[i]->Verify().compare(0, 3, "OK\n") != 0) return;
      if (consoles[i]->Login("2", kDigest) != "OK\n2\n") return;
      std::lock_guard<std::mutex> guard(lock);
      ++loggedIn;
      lastLogin = std::max(lastLogin, steady_clock::now());
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::printf("  %d accepted in %.0f ms: %.0f accepts/s;   %d logged in in %.0f ms: %.0f logins/s\n", accepted.load(),
              Ms(lastAccept - start), accepted.load() / (Ms(lastAccept - start) / 1000), loggedIn.load(),
              Ms(lastLogin - start), loggedIn.load() / (Ms(lastLogin - start) / 1000));
  if (refused.load() > 0) std::printf("  %d connects failed on the client side\n", refused.load());
  if (closed.load() > 0) std::printf("  %d connections closed by the server before the greeting\n", closed.load());
  std::printf("  %d of 500 greeted or closed within 5 s of their connect (goal: all); slowest answer %.0f ms\n",
              answeredIn5s.load(), slowestAnswerMs);
  std::printf("  all settled after %.0f ms\n", Ms(steady_clock::now() - start));
}

// After a storm the event thread still pushes its connection notices to every
// logged-in console; a CHAT that comes back once they are out shows when the
// pushes are current again, so the push latencies below measure chat alone.
void WaitForCurrentPushes(unsigned short port) {
  const auto start = steady_clock::now();
  TestConsole probe(port, Source(499));
  if (!probe.LogIn(2, kDigest)) {
    std::printf("  (the probe console could not log in)\n");
    return;
  }
  probe.Send("CHAT", "probe");
  ConsoleFrame push;
  bool back = false;
  while (!back && probe.WaitPush("CHAT", &push, 60000)) back = push.body.find("\nprobe") != std::string::npos;
  std::printf("  pushes current again %.0f ms after the storm%s\n", Ms(steady_clock::now() - start),
              back ? "" : " (the probe never came back)");
}

void ChatPushes(unsigned short port, bool oneStopsReading) {
  std::printf("50 consoles receiving CHAT at 10/s for 3 s%s\n", oneStopsReading ? ", one of them not reading" : "");
  std::vector<std::unique_ptr<TestConsole>> consoles = LogInMany(port, 51, 300);
  if (oneStopsReading) consoles[1]->StopReading();
  TestConsole& sender = *consoles[0];
  const auto start = steady_clock::now();
  for (int i = 0; i < 30; ++i) {
    std::this_thread::sleep_until(start + std::chrono::milliseconds(100 * i));
    const long long now = std::chrono::duration_cast<std::chrono::microseconds>(steady_clock::now().time_since_epoch()).count();
    sender.Send("CHAT", "t=" + std::to_string(now));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  std::vector<double> latencies;
  for (size_t i = 1; i < consoles.size(); ++i) {
    if (oneStopsReading && i == 1) continue;
    for (const ConsoleFrame& push : consoles[i]->TakePushes()) {
      if (push.command != "CHAT") continue;
      const size_t at = push.body.find("\nt=");
      if (at == std::string::npos) continue;
      const long long sent = std::atoll(push.body.c_str() + at + 3);
      const long long received =
          std::chrono::duration_cast<std::chrono::microseconds>(push.received.time_since_epoch()).count();
      latencies.push_back((received - sent) / 1000.0);
    }
  }
  std::printf("  %zu pushes of %d   p50 %.2f ms   p99 %.2f ms\n", latencies.size(), 30 * 49 + (oneStopsReading ? 0 : 30),
              Percentile(latencies, 0.5), Percentile(latencies, 0.99));
}

}  // namespace

int main() {
  ::signal(SIGPIPE, SIG_IGN);
  const unsigned short port = FreePort();
  int input[2], ready[2];
  if (::pipe(input) != 0 || ::pipe(ready) != 0) return 1;
  const pid_t server = ::fork();
  if (server == 0) {
    ::dup2(input[0], 0);
    ::dup2(ready[1], 3);
    int devnull = ::open("/dev/null", O_WRONLY);
    ::dup2(devnull, 1);  // the transport's diagnostics
    ::close(input[1]);
    ::close(ready[0]);
    RunServer(port);
  }
  ::close(input[0]);
  ::close(ready[1]);
  char byte;
  if (::read(ready[0], &byte, 1) != 1) {
    std::printf("server did not start\n");
    return 1;
  }
  std::printf("AdminConsoleBenchmark: console server in process %d on 127.0.0.1:%u\n", server, port);
  const Usage idle = ServerUsage(server);
  PrintUsage("before any console", idle);
  ClosedLoop(port, server);
  ConnectStorm(port);
  WaitForCurrentPushes(port);
  ChatPushes(port, false);
  ChatPushes(port, true);
  // Goal: threads back to the idle count within 10 s of the last console
  // leaving.
  const auto left = steady_clock::now();
  while (ServerUsage(server).threads > idle.threads && steady_clock::now() - left < std::chrono::seconds(10)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const Usage after = ServerUsage(server);
  if (after.threads <= idle.threads) {
    std::printf("  server threads back to %ld (idle) %.0f ms after all left\n", after.threads,
                Ms(steady_clock::now() - left));
  }
  std::this_thread::sleep_until(left + std::chrono::seconds(10));
  PrintUsage("10 s after all left", ServerUsage(server));
  ::close(input[1]);
  int status = 0;
  ::waitpid(server, &status, 0);
  return 0;
}
