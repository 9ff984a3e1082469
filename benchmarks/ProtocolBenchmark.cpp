// Message protocol over loopback TCP, between two processes: request/response
// round trips (sequential and with 8 concurrent requesters) for 100 B, 4 KB
// and 16 000 B bodies, next to a plain blocking TCP ping-pong of the same
// frame bytes between the same two processes; memory and threads per idle
// connection for 200 connections; accept rate including the greeting.
//
// Not a test: it prints figures, it checks nothing. Arguments are ignored
// (scripts/bench passes the options of the other benchmarks).
#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "framework/Exception.h"
#include "protocol/IOXConnection.h"
#include "protocol/IRequestPackProcessor.h"
#include "protocol/OXPack.h"
#include "protocol/OXTcpListener.h"
#include "protocol/TcpOXConnection.h"

using Oxbrindale::Velmora::OXProctol::IOXConnection;
using Oxbrindale::Velmora::OXProctol::IRequestPackProcessor;
using Oxbrindale::Velmora::OXProctol::OXPack;
using Oxbrindale::Velmora::OXProctol::OXTcpListener;
using Oxbrindale::Velmora::OXProctol::TcpOXConnection;

namespace {

using Clock = std::chrono::steady_clock;

FILE* g_out = stdout;  // the report; the library's own lines go to /dev/null

const int kConcurrency = 8;
const int kIdleConnections = 200;
const int kAcceptRounds = 300;
const int kBlocks = 10;
const int kBlockRounds = 1000;

// ---------------------------------------------------------------- server side

class Echo : public IRequestPackProcessor {
 public:
  void OnReceivedRequestPack(IOXConnection* connection, OXPack* pack) override {
    connection->SendResponsePack("RET", pack->body, pack->packId);
  }
};

unsigned short BindAny(int fd) {
  struct sockaddr_in address;
  std::memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) != 0) return 0;
  socklen_t length = sizeof(address);
  ::getsockname(fd, reinterpret_cast<struct sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

bool WriteAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    const ssize_t n = ::send(fd, data, length, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

// Plain blocking echo of NUL-terminated frames, one thread per connection.
void PlainEchoConnection(int fd) {
  std::vector<char> buffer(65536);
  size_t filled = 0;
  for (;;) {
    const ssize_t n = ::recv(fd, buffer.data() + filled, buffer.size() - filled, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    filled += static_cast<size_t>(n);
    size_t start = 0;
    for (;;) {
      void* nul = std::memchr(buffer.data() + start, '\0', filled - start);
      if (nul == nullptr) break;
      const size_t end = static_cast<size_t>(static_cast<char*>(nul) - buffer.data()) + 1;
      if (!WriteAll(fd, buffer.data() + start, end - start)) {
        ::close(fd);
        return;
      }
      start = end;
    }
    std::memmove(buffer.data(), buffer.data() + start, filled - start);
    filled -= start;
  }
  ::close(fd);
}

[[noreturn]] void RunServer(int reportFd) {
  const int devNull = ::open("/dev/null", O_WRONLY);
  if (devNull >= 0) ::dup2(devNull, 1);

  const int plain = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const unsigned short plainPort = BindAny(plain);
  ::listen(plain, 64);
  std::thread([plain] {
    for (;;) {
      const int fd = ::accept(plain, nullptr, nullptr);
      if (fd < 0) continue;
      std::thread(PlainEchoConnection, fd).detach();
    }
  }).detach();

  static Echo echo;
  OXTcpListener* listener = nullptr;
  unsigned short port = 0;
  for (int attempt = 0; attempt < 100 && listener == nullptr; ++attempt) {
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    port = BindAny(probe);
    ::close(probe);
    listener = new OXTcpListener(port, nullptr, &echo);
    listener->SetMaxConnections(kIdleConnections + kAcceptRounds + 64);
    if (listener->StartListen() != 0 || !listener->IsListening()) {
      delete listener;
      listener = nullptr;
    }
  }
  const std::string report = std::to_string(listener != nullptr ? port : 0) + " " + std::to_string(plainPort) + "\n";
  if (::write(reportFd, report.data(), report.size()) < 0) _exit(2);
  ::close(reportFd);
  // Ends when the benchmark process closes its end of the pipe on stdin.
  char c;
  while (::read(0, &c, 1) > 0) {
  }
  _exit(0);
}

// ---------------------------------------------------------------- client side

struct Stats {
  double perSecond = 0;
  double p50 = 0;  // microseconds
  double p99 = 0;
};

// Latencies (microseconds) and the wall time they took, gathered over blocks.
struct Samples {
  std::vector<double> micros;
  double seconds = 0;
  void Add(const Samples& other) {
    micros.insert(micros.end(), other.micros.begin(), other.micros.end());
    seconds += other.seconds;
  }
};

Stats Summarise(std::vector<double> micros, double seconds) {
  Stats stats;
  if (micros.empty()) return stats;
  std::sort(micros.begin(), micros.end());
  stats.perSecond = static_cast<double>(micros.size()) / seconds;
  stats.p50 = micros[micros.size() / 2];
  stats.p99 = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
  return stats;
}

double MicrosSince(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

std::string Body(size_t size) {
  std::string body(size, 'x');
  for (size_t i = 0; i < size; ++i) body[i] = static_cast<char>('a' + i % 26);
  return body;
}

// Round trips timed one by one: threads requesters, rounds each. roundTrip
// does one and tells whether it worked; what failed is counted and said
// ("<what> round trips failed"). A requester whose round trip failed goes
// on, or stops there when stopOnFailure (that latency is not kept then).
template <class RoundTrip>
Samples TimedRoundTrips(const char* what, int threads, int rounds, bool stopOnFailure, RoundTrip roundTrip) {
  std::vector<std::vector<double>> latencies(static_cast<size_t>(threads));
  std::atomic<int> failures{0};
  const auto started = Clock::now();
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      std::vector<double>& mine = latencies[static_cast<size_t>(t)];
      mine.reserve(static_cast<size_t>(rounds));
      for (int i = 0; i < rounds; ++i) {
        const auto begin = Clock::now();
        if (!roundTrip()) {
          failures.fetch_add(1);
          if (stopOnFailure) break;
        }
        mine.push_back(MicrosSince(begin));
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  Samples samples;
  samples.seconds = std::chrono::duration<double>(Clock::now() - started).count();
  if (failures.load() > 0) std::fprintf(g_out, "  !! %d %s round trips failed\n", failures.load(), what);
  for (auto& part : latencies) samples.micros.insert(samples.micros.end(), part.begin(), part.end());
  return samples;
}

// Protocol round trips: threads requesters, rounds requests each.
Samples ProtocolRoundTrips(TcpOXConnection& connection, const std::string& body, int threads, int rounds) {
  return TimedRoundTrips("protocol", threads, rounds, false, [&] {
    try {
      std::unique_ptr<std::string> answer(connection.Request("ECHO", body, 30000));
      return answer != nullptr && answer->size() == body.size();
    } catch (Exception* e) {
      delete e;
      return false;
    }
  });
}

int PlainConnect(unsigned short port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in address;
  std::memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// One plain blocking connection to the echo server; requesters take turns:
// a plain socket cannot tell whose answer comes back.
class PlainLink {
 public:
  explicit PlainLink(unsigned short port) : _fd(PlainConnect(port)), _buffer(65536) {}
  ~PlainLink() {
    if (_fd >= 0) ::close(_fd);
  }
  bool Ok() const { return _fd >= 0; }

  // One ping-pong of frame; false when the connection failed.
  bool RoundTrip(const std::string& frame) {
    std::lock_guard<std::mutex> guard(_lock);
    if (!WriteAll(_fd, frame.data(), frame.size())) return false;
    size_t got = 0;
    for (;;) {
      const ssize_t n = ::recv(_fd, _buffer.data() + got, _buffer.size() - got, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      got += static_cast<size_t>(n);
      if (_buffer[got - 1] == '\0') return true;
    }
  }

 private:
  int _fd;
  std::vector<char> _buffer;
  std::mutex _lock;
};

// Plain blocking ping-pong of the same frame bytes: threads requesters,
// rounds each, on one connection.
Samples PlainRoundTrips(PlainLink& link, const std::string& frame, int threads, int rounds) {
  return TimedRoundTrips("plain", threads, rounds, true, [&] { return link.RoundTrip(frame); });
}

struct ProcessFigures {
  long rssKb = 0;
  long vmKb = 0;
  long threads = 0;
};

ProcessFigures ReadFigures(pid_t pid) {
  ProcessFigures figures;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  while (status >> key) {
    if (key == "VmRSS:") status >> figures.rssKb;
    if (key == "VmSize:") status >> figures.vmKb;
    if (key == "Threads:") status >> figures.threads;
  }
  return figures;
}

void PrintRow(const char* what, size_t size, const Stats& protocol, const Stats& plain) {
  std::fprintf(g_out, "%-12s %6zu B | %9.0f/s  p50 %7.1f us  p99 %7.1f us | %9.0f/s  p50 %7.1f us  p99 %7.1f us | %5.2fx %5.2fx\n",
               what, size, protocol.perSecond, protocol.p50, protocol.p99, plain.perSecond, plain.p50, plain.p99,
               plain.p50 > 0 ? protocol.p50 / plain.p50 : 0.0, plain.p99 > 0 ? protocol.p99 / plain.p99 : 0.0);
}

// Puts the calling process (before it starts any thread) on one CPU; -1: anywhere.
void PinTo(int cpu) {
  if (cpu < 0) return;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  ::sched_setaffinity(0, sizeof(set), &set);
}

// The server process, forked while this process has no thread.
struct Server {
  pid_t pid = -1;
  int lifeline = -1;  // closing it ends the server
  unsigned short protocolPort = 0;
  unsigned short plainPort = 0;

  bool Start(int cpu) {
    int report[2];
    int life[2];
    if (::pipe(report) != 0 || ::pipe(life) != 0) return false;
    pid = ::fork();
    if (pid == 0) {
      ::close(report[0]);
      ::close(life[1]);
      ::dup2(life[0], 0);
      PinTo(cpu);
      RunServer(report[1]);
    }
    ::close(report[1]);
    ::close(life[0]);
    lifeline = life[1];
    char line[64] = {0};
    size_t got = 0;
    while (got < sizeof(line) - 1) {
      const ssize_t n = ::read(report[0], line + got, 1);
      if (n <= 0 || line[got] == '\n') break;
      got += static_cast<size_t>(n);
    }
    ::close(report[0]);
    unsigned int a = 0;
    unsigned int b = 0;
    if (std::sscanf(line, "%u %u", &a, &b) != 2 || a == 0 || b == 0) return false;
    protocolPort = static_cast<unsigned short>(a);
    plainPort = static_cast<unsigned short>(b);
    return true;
  }

  void Stop() {
    if (lifeline >= 0) ::close(lifeline);
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
    pid = -1;
    lifeline = -1;
  }
};

// Runs work in a child process (pinned to cpu), so that every thread it
// starts is placed alike; waits for it.
template <typename Work>
void InChild(int cpu, Work work) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    PinTo(cpu);
    work();
    std::fflush(g_out);
    _exit(0);
  }
  if (pid > 0) ::waitpid(pid, nullptr, 0);
}

void RoundTrips(const Server& server) {
  TcpOXConnection connection(nullptr, nullptr);
  try {
    connection.Connect("127.0.0.1", server.protocolPort);
  } catch (Exception* e) {
    std::fprintf(g_out, "connect failed: %s %s\n", e->code.c_str(), e->message.c_str());
    delete e;
    return;
  }
  PlainLink plain(server.plainPort);
  if (!plain.Ok()) {
    std::fprintf(g_out, "plain connect failed\n");
    return;
  }
  for (size_t size : {static_cast<size_t>(100), static_cast<size_t>(4096), static_cast<size_t>(16000)}) {
    const std::string body = Body(size);
    const std::string frame = OXPack(OXPack::PackKind::REQUEST, "ECHO", body).ToFrame();
    for (int threads : {1, kConcurrency}) {
      ProtocolRoundTrips(connection, body, threads, 200);  // warm-up
      PlainRoundTrips(plain, frame, threads, 200);
      // Alternating blocks, so that both see the same machine.
      Samples protocol;
      Samples baseline;
      for (int block = 0; block < kBlocks; ++block) {
        protocol.Add(ProtocolRoundTrips(connection, body, threads, kBlockRounds / threads));
        baseline.Add(PlainRoundTrips(plain, frame, threads, kBlockRounds / threads));
      }
      PrintRow(threads == 1 ? "sequential" : "8 requesters", size, Summarise(protocol.micros, protocol.seconds),
               Summarise(baseline.micros, baseline.seconds));
    }
  }
}

void IdleConnections(const Server& server) {
  const ProcessFigures clientBefore = ReadFigures(::getpid());
  const ProcessFigures serverBefore = ReadFigures(server.pid);
  std::vector<std::unique_ptr<TcpOXConnection>> idle;
  for (int i = 0; i < kIdleConnections; ++i) {
    std::unique_ptr<TcpOXConnection> connection(new TcpOXConnection(nullptr, nullptr));
    try {
      connection->Connect("127.0.0.1", server.protocolPort);
      idle.push_back(std::move(connection));
    } catch (Exception* e) {
      std::fprintf(g_out, "  !! idle connection %d: %s\n", i, e->message.c_str());
      delete e;
      break;
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const ProcessFigures clientAfter = ReadFigures(::getpid());
  const ProcessFigures serverAfter = ReadFigures(server.pid);
  const double n = static_cast<double>(idle.empty() ? 1 : idle.size());
  std::fprintf(g_out, "idle connections: %zu\n", idle.size());
  std::fprintf(g_out, "  connecting side: %6.1f KiB RSS, %8.1f KiB virtual, %4.2f threads per connection\n",
               static_cast<double>(clientAfter.rssKb - clientBefore.rssKb) / n,
               static_cast<double>(clientAfter.vmKb - clientBefore.vmKb) / n,
               static_cast<double>(clientAfter.threads - clientBefore.threads) / n);
  std::fprintf(g_out, "  accepting side:  %6.1f KiB RSS, %8.1f KiB virtual, %4.2f threads per connection\n",
               static_cast<double>(serverAfter.rssKb - serverBefore.rssKb) / n,
               static_cast<double>(serverAfter.vmKb - serverBefore.vmKb) / n,
               static_cast<double>(serverAfter.threads - serverBefore.threads) / n);
}

void AcceptRate(const Server& server) {
  double connectSeconds = 0;
  int accepted = 0;
  const auto started = Clock::now();
  for (int i = 0; i < kAcceptRounds; ++i) {
    TcpOXConnection connection(nullptr, nullptr);
    const auto begin = Clock::now();
    try {
      connection.Connect("127.0.0.1", server.protocolPort);
      ++accepted;
    } catch (Exception* e) {
      delete e;
    }
    connectSeconds += std::chrono::duration<double>(Clock::now() - begin).count();
  }
  const double total = std::chrono::duration<double>(Clock::now() - started).count();
  std::fprintf(g_out, "accept rate: %d connections; %.0f/s connect-to-greeting, %.0f/s including the close\n",
               accepted, accepted / connectSeconds, accepted / total);
}

}  // namespace

int main() {
  // The report goes to the real standard output; the library's diagnostics
  // to /dev/null. This process itself starts no thread: the servers and the
  // clients are child processes.
  const int reportOut = ::dup(1);
  g_out = ::fdopen(reportOut, "w");
  std::setvbuf(g_out, nullptr, _IOLBF, 0);
  const int devNull = ::open("/dev/null", O_WRONLY);
  if (devNull >= 0) ::dup2(devNull, 1);

  std::fprintf(g_out, "ProtocolBenchmark: request/response over one loopback TCP connection between two processes\n");
  std::fprintf(g_out, "  (8 requesters share the one connection; on the plain one they take turns)\n");
  const long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
  struct Placement {
    const char* name;
    int clientCpu;
    int serverCpu;
  };
  std::vector<Placement> placements = {{"threads placed by the scheduler", -1, -1}};
  if (cpus >= 2) placements.push_back({"each process on a CPU of its own", 0, 1});
  for (const Placement& placement : placements) {
    Server server;
    if (!server.Start(placement.serverCpu)) {
      std::fprintf(g_out, "ProtocolBenchmark: the server process did not start\n");
      server.Stop();
      return 1;
    }
    std::fprintf(g_out, "\n%s\n", placement.name);
    std::fprintf(g_out, "%-12s %8s | %-46s | %-46s | %s\n", "mode", "body", "protocol (TcpOXConnection::Request)",
                 "plain blocking TCP ping-pong, same bytes", "ratio p50 p99");
    InChild(placement.clientCpu, [&] { RoundTrips(server); });
    server.Stop();
  }

  Server server;
  if (!server.Start(-1)) {
    std::fprintf(g_out, "ProtocolBenchmark: the server process did not start\n");
    server.Stop();
    return 1;
  }
  std::fprintf(g_out, "\n");
  InChild(-1, [&] { IdleConnections(server); });
  InChild(-1, [&] { AcceptRate(server); });
  server.Stop();
  return 0;
}
