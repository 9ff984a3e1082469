#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ConnectionTestSupport.h"
#include "framework/EventManager.h"
#include "framework/Exception.h"
#include "framework/MutexGuard.h"
#include "framework/FrameReader.h"
#include "protocol/IOXConnection.h"
#include "protocol/IOXReceiveThread.h"
#include "protocol/IOXSendThread.h"
#include "protocol/OXPack.h"
#include "protocol/SyncResponseCallBack.h"

using Oxbrindale::Velmora::Framework::EventManager;
using Oxbrindale::Velmora::Framework::MutexGuard;
using Oxbrindale::Velmora::Framework::FrameReader;
using Oxbrindale::Velmora::OXProctol::IOnConnectionDisconnected;
using Oxbrindale::Velmora::OXProctol::IOXConnection;
using Oxbrindale::Velmora::OXProctol::IOXReceiveThread;
using Oxbrindale::Velmora::OXProctol::IOXSendThread;
using Oxbrindale::Velmora::OXProctol::IPushPackProcessor;
using Oxbrindale::Velmora::OXProctol::IRequestPackProcessor;
using Oxbrindale::Velmora::OXProctol::IResponseCallBack;
using Oxbrindale::Velmora::OXProctol::OXPack;
using Oxbrindale::Velmora::OXProctol::SyncResponseCallBack;
using tarrow_test::Eventually;
using tarrow_test::MsSince;

namespace {

using Clock = tarrow_test::SteadyClock;

std::string CodeOf(const std::function<void()>& action, std::string* message = nullptr) {
  try {
    action();
  } catch (Exception* e) {
    std::string code = e->code;
    if (message) *message = e->message;
    delete e;
    return code;
  }
  return "";
}

// ---------------------------------------------------------------------------
// A test transport: one end of a socketpair, frames as on every transport.

class PipeConnection;

class PipeSendThread : public IOXSendThread {
 public:
  explicit PipeSendThread(PipeConnection* owner) : owner_(owner) {}

 protected:
  void _SendLogic(OXPack* pack) override;

 private:
  PipeConnection* owner_;
};

class PipeReceiveThread : public IOXReceiveThread {
 public:
  explicit PipeReceiveThread(PipeConnection* owner) : owner_(owner), reader_(FrameReader::TCP_TEXT_LIMIT) {}

 protected:
  OXPack* _ReceiveLogic() override;

 private:
  PipeConnection* owner_;
  FrameReader reader_;
};

class PipeConnection : public IOXConnection {
 public:
  PipeConnection(int fd, IPushPackProcessor* push, IRequestPackProcessor* request)
      : IOXConnection(push, request), fd_(fd) {
    _sendThread = new PipeSendThread(this);
    _receiveThread = new PipeReceiveThread(this);
  }
  ~PipeConnection() override {
    Disconnect();
    _StopThreads();
    ::close(fd_);
  }

  void Establish() {
    connected_.store(true);
    _OnConnectionEstablished();
  }
  // Connected, but the threads never start: queued packs stay queued.
  void MarkConnectedOnly() { connected_.store(true); }
  using IOXConnection::SendPack;
  void SendPack(OXPack* pack) override {
    sendCalls.fetch_add(1);
    IOXConnection::SendPack(pack);
  }
  bool IsConnected() override { return connected_.load(); }
  void Disconnect() override {
    connected_.store(false);
    ::shutdown(fd_, SHUT_RDWR);
  }
  std::string GetRemoteAddr() override { return "pipe"; }

  int fd() const { return fd_; }
  // Registers a call-back the way SendPack(pack, callBack) does, without sending.
  bool Register(const std::string& id, IResponseCallBack* callBack) { return _RegCallback(id, callBack); }

  std::atomic<int> processDisconnected{0};
  std::atomic<int> sendCalls{0};
  std::atomic<int> heartbeatsRead{0};
  std::atomic<int> framesWritten{0};
  std::atomic<bool> failWrites{false};
  // While closed, _SendLogic waits before writing.
  std::mutex gateLock;
  std::condition_variable gateChanged;
  bool gateOpen = true;
  std::atomic<int> waitingAtGate{0};

  void CloseGate() {
    std::lock_guard<std::mutex> hold(gateLock);
    gateOpen = false;
  }
  void OpenGate() {
    {
      std::lock_guard<std::mutex> hold(gateLock);
      gateOpen = true;
    }
    gateChanged.notify_all();
  }

 protected:
  void _ProcessDisconnected() override { processDisconnected.fetch_add(1); }

 private:
  int fd_;
  std::atomic<bool> connected_{false};
};

void PipeSendThread::_SendLogic(OXPack* pack) {
  {
    std::unique_lock<std::mutex> hold(owner_->gateLock);
    owner_->waitingAtGate.fetch_add(1);
    owner_->gateChanged.wait(hold, [this] { return owner_->gateOpen; });
    owner_->waitingAtGate.fetch_sub(1);
  }
  if (owner_->failWrites.load()) throw new Exception("IO", "test write failure");
  const std::string frame = pack->ToFrame();
  size_t sent = 0;
  while (sent < frame.size()) {
    const ssize_t n = ::send(owner_->fd(), frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw new Exception("IO", "test write failed");
    sent += static_cast<size_t>(n);
  }
  owner_->framesWritten.fetch_add(1);
}

OXPack* PipeReceiveThread::_ReceiveLogic() {
  for (;;) {
    std::string text = reader_.ReadFrame([this](char* buffer, size_t capacity) -> size_t {
      for (;;) {
        const ssize_t n = ::recv(owner_->fd(), buffer, capacity, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw new Exception("IO", "test stream closed");
        return static_cast<size_t>(n);
      }
    });
    OXPack* pack = OXPack::Parse(std::move(text));
    if (pack == nullptr) continue;
    if (pack->kind == OXPack::PackKind::HEARTBEAT) owner_->heartbeatsRead.fetch_add(1);
    return pack;
  }
}

// ---------------------------------------------------------------------------
// Processors used by the tests.

std::string Answer(const std::string& body) { return "RE:" + body; }

// Answers "ECHO" requests with Answer(body) from two worker threads in random
// order (so answers do not come back in request order), "LATE" ones after
// lateMs, and never "SILENT" ones. Counts pushes. Call Stop() before the
// connection goes.
class Server : public IRequestPackProcessor, public IPushPackProcessor {
 public:
  explicit Server(long lateMs = 0) : lateMs_(lateMs) {
    for (int i = 0; i < 2; ++i) workers_.emplace_back([this, i] { Work(i); });
  }
  ~Server() override { Stop(); }

  void OnReceivedRequestPack(IOXConnection* connection, OXPack* pack) override {
    requests.fetch_add(1);
    if (pack->command == "SILENT") return;
    const auto due = Clock::now() + std::chrono::milliseconds(pack->command == "LATE" ? lateMs_ : 0);
    {
      std::lock_guard<std::mutex> hold(lock_);
      pending_.push_back(Job{connection, pack->packId, pack->body, due});
    }
    changed_.notify_all();
  }
  void OnReceivedPushPack(IOXConnection*, OXPack* pack) override {
    std::lock_guard<std::mutex> hold(lock_);
    pushes.push_back(pack->body);
  }
  std::vector<std::string> Pushes() {
    std::lock_guard<std::mutex> hold(lock_);
    return pushes;
  }
  void Stop() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      stop_ = true;
    }
    changed_.notify_all();
    for (std::thread& t : workers_) t.join();
    workers_.clear();
  }

  std::atomic<int> requests{0};
  std::atomic<int> lateAnswersSent{0};
  std::vector<std::string> pushes;  // under lock_

 private:
  struct Job {
    IOXConnection* connection;
    std::string id;
    std::string body;
    Clock::time_point due;
  };
  void Work(int seed) {
    std::mt19937 random(seed);
    std::unique_lock<std::mutex> hold(lock_);
    while (!stop_) {
      if (pending_.empty()) {
        changed_.wait(hold);
        continue;
      }
      const size_t pick = random() % pending_.size();
      if (pending_[pick].due > Clock::now()) {
        changed_.wait_for(hold, std::chrono::milliseconds(5));
        continue;
      }
      Job job = pending_[pick];
      pending_.erase(pending_.begin() + static_cast<long>(pick));
      hold.unlock();
      job.connection->SendResponsePack("RET", Answer(job.body), job.id);
      if (job.due > Clock::time_point()) lateAnswersSent.fetch_add(lateMs_ > 0 ? 1 : 0);
      hold.lock();
    }
  }

  long lateMs_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<Job> pending_;
  bool stop_ = false;
  std::vector<std::thread> workers_;
};

class CountingListener : public IOnConnectionDisconnected {
 public:
  void OnConnectionDisconnected(IOXConnection* connection) override {
    calls.fetch_add(1);
    last.store(connection);
  }
  std::atomic<int> calls{0};
  std::atomic<IOXConnection*> last{nullptr};
};

class RecordingCallBack : public IResponseCallBack {
 public:
  void ResponseCallBack(IOXConnection*, OXPack* pack) override {
    calls.fetch_add(1);
    if (pack == nullptr) nullCalls.fetch_add(1);
  }
  std::atomic<int> calls{0};
  std::atomic<int> nullCalls{0};
};

// Two connected connections over a socketpair; client has no processors.
struct Pair {
  // clientKeepAliveMs: the client's keep-alive interval from its start (0: the default).
  explicit Pair(Server* server, long clientKeepAliveMs = 0) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) ADD_FAILURE() << "socketpair";
    client.reset(new PipeConnection(fds[0], nullptr, nullptr));
    if (clientKeepAliveMs > 0) client->SetKeepAliveInterval(clientKeepAliveMs);
    serverSide.reset(new PipeConnection(fds[1], server, server));
    serverSide->Establish();
    client->Establish();
  }
  std::unique_ptr<PipeConnection> client;
  std::unique_ptr<PipeConnection> serverSide;
};

class ConnectionCoreConcurrency : public testing::Test {
 protected:
  static void SetUpTestSuite() { EventManager::Instance(); }
};

}  // namespace

TEST_F(ConnectionCoreConcurrency, EightRequestersMatchedByPackId) {
  Server server;
  Pair pair(&server);
  const int kThreads = 8, kEach = 300;
  std::atomic<int> wrong{0}, answered{0};
  std::vector<std::thread> requesters;
  for (int t = 0; t < kThreads; ++t) {
    requesters.emplace_back([&, t] {
      std::mt19937 random(100 + t);
      for (int i = 0; i < kEach; ++i) {
        std::string body = std::to_string(t) + "/" + std::to_string(i) + "\n";
        const int extra = static_cast<int>(random() % 3000);
        for (int k = 0; k < extra; ++k) body += static_cast<char>("ab\n中x"[random() % 7]);
        try {
          std::unique_ptr<std::string> answer(pair.client->Request("ECHO", body, 20000));
          if (!answer || *answer != Answer(body)) wrong.fetch_add(1);
          answered.fetch_add(1);
        } catch (Exception* e) {
          ADD_FAILURE() << e->code << " " << e->message;
          delete e;
        }
      }
    });
  }
  for (std::thread& t : requesters) t.join();
  EXPECT_EQ(0, wrong.load());
  EXPECT_EQ(kThreads * kEach, answered.load());
  server.Stop();
}

TEST_F(ConnectionCoreConcurrency, RequestTimesOutWithSingleObj) {
  Server server;
  Pair pair(&server);
  const auto start = Clock::now();
  std::string message;
  EXPECT_EQ("SINGLE_OBJ", CodeOf([&] { delete pair.client->Request("SILENT", "x", 1000); }, &message));
  EXPECT_EQ("Wait Semaphore Timeout。", message);
  EXPECT_GE(MsSince(start), 900);
  EXPECT_LT(MsSince(start), 15000);
  // Under load the request may reach the server only after the time-out.
  EXPECT_TRUE(Eventually([&] { return server.requests.load() == 1; }));
  // The connection goes on working.
  std::unique_ptr<std::string> answer(pair.client->Request("ECHO", "after", 20000));
  ASSERT_TRUE(answer);
  EXPECT_EQ(Answer("after"), *answer);
  server.Stop();
}

TEST_F(ConnectionCoreConcurrency, ResponseAfterTimeOutIsIgnored) {
  Server server(600);
  Pair pair(&server);
  EXPECT_EQ("SINGLE_OBJ", CodeOf([&] { delete pair.client->Request("LATE", "late", 200); }));
  ASSERT_TRUE(Eventually([&] { return server.lateAnswersSent.load() == 1; }));
  // The late answer is on its way; the next request still gets its own.
  for (int i = 0; i < 5; ++i) {
    std::unique_ptr<std::string> answer(pair.client->Request("ECHO", "own" + std::to_string(i), 20000));
    ASSERT_TRUE(answer);
    EXPECT_EQ(Answer("own" + std::to_string(i)), *answer);
  }

  // A call-back that gave up (cancelled) is not called by its late response.
  RecordingCallBack gaveUp;
  ASSERT_TRUE(pair.client->Register("{GAVE-UP}", &gaveUp));
  pair.client->CancelCallback("{GAVE-UP}");
  pair.serverSide->SendResponsePack("RET", "too late", "{GAVE-UP}");
  std::unique_ptr<std::string> answer(pair.client->Request("ECHO", "sync", 20000));  // the late one was read first
  EXPECT_EQ(0, gaveUp.calls.load());
  server.Stop();
  pair.client->Disconnect();
  ASSERT_TRUE(Eventually([&] { return pair.client->processDisconnected.load() == 1; }));
  EXPECT_EQ(0, gaveUp.calls.load());  // not released either: it was no longer registered
}

TEST_F(ConnectionCoreConcurrency, PeerLossGivesExactlyOneNoticeAndReleasesRequests) {
  Server server;
  Pair pair(&server);
  CountingListener listener;
  pair.client->disconnectedListener = &listener;
  std::atomic<int> nullAnswers{0};
  std::vector<std::thread> waiting;
  for (int i = 0; i < 2; ++i) {
    waiting.emplace_back([&] {
      std::unique_ptr<std::string> answer(pair.client->Request("SILENT", "x", 20000));
      if (!answer) nullAnswers.fetch_add(1);
    });
  }
  ASSERT_TRUE(Eventually([&] { return server.requests.load() == 2; }));
  const auto start = Clock::now();
  server.Stop();
  pair.serverSide.reset();  // the peer goes away
  for (std::thread& t : waiting) t.join();
  EXPECT_LT(MsSince(start), 15000);
  EXPECT_EQ(2, nullAnswers.load());
  ASSERT_TRUE(Eventually([&] { return listener.calls.load() == 1; }));
  EXPECT_EQ(pair.client.get(), listener.last.load());
  EXPECT_EQ(1, pair.client->processDisconnected.load());
  EXPECT_EQ(nullptr, pair.client->disconnectedListener.load());
  // A lost connection refuses new requests at once.
  EXPECT_EQ("OXPROCTOL", CodeOf([&] { delete pair.client->Request("ECHO", "x", 20000); }));
  pair.client->Disconnect();
  pair.client.reset();
  EXPECT_EQ(1, listener.calls.load());
}

TEST_F(ConnectionCoreConcurrency, FailedWriteDisconnectsOnce) {
  Server server;
  Pair pair(&server);
  CountingListener listener;
  pair.client->disconnectedListener = &listener;
  std::atomic<bool> released{false};
  pair.client->failWrites.store(true);  // before the request: it must never be written
  std::thread waiting([&] {
    std::unique_ptr<std::string> answer(pair.client->Request("ECHO", "never written", 20000));
    released.store(answer == nullptr);
  });
  waiting.join();
  EXPECT_TRUE(released.load());
  ASSERT_TRUE(Eventually([&] { return listener.calls.load() == 1; }));
  EXPECT_FALSE(pair.client->IsConnected());
  EXPECT_EQ(1, pair.client->processDisconnected.load());
  // The peer sees the end of the stream too.
  ASSERT_TRUE(Eventually([&] { return pair.serverSide->processDisconnected.load() == 1; }));
  server.Stop();
  pair.client.reset();
  EXPECT_EQ(1, listener.calls.load());
}

TEST_F(ConnectionCoreConcurrency, DestructorWaitsForRequestsStillInside) {
  for (int round = 0; round < 20; ++round) {
    Server server;
    Pair pair(&server);
    PipeConnection* client = pair.client.get();
    std::atomic<int> nulls{0};
    std::vector<std::thread> waiting;
    for (int i = 0; i < 4; ++i) {
      waiting.emplace_back([&] {
        std::unique_ptr<std::string> answer(client->Request("SILENT", "x", 20000));
        if (!answer) nulls.fetch_add(1);
      });
    }
    ASSERT_TRUE(Eventually([&] { return server.requests.load() == 4; }));  // all four wait
    std::this_thread::sleep_for(std::chrono::microseconds(100 * (round % 4)));
    pair.client.reset();  // while they wait on it: they wake with null, nothing touches freed memory
    for (std::thread& t : waiting) t.join();
    EXPECT_EQ(4, nulls.load());
    server.Stop();
  }
  // No receive thread ran a disconnect notice: the destructor itself wakes the
  // waiting requests and must outlast them.
  for (int round = 0; round < 20; ++round) {
    int fds[2];
    ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
    ::close(fds[1]);
    PipeConnection* idle = new PipeConnection(fds[0], nullptr, nullptr);
    idle->MarkConnectedOnly();
    std::atomic<int> nulls{0};
    std::vector<std::thread> waiting;
    for (int i = 0; i < 4; ++i) {
      waiting.emplace_back([&] {
        std::unique_ptr<std::string> answer(idle->Request("SILENT", "x", 20000));
        if (!answer) nulls.fetch_add(1);
      });
    }
    ASSERT_TRUE(Eventually([&] { return idle->sendCalls.load() == 4; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    delete idle;
    for (std::thread& t : waiting) t.join();
    EXPECT_EQ(4, nulls.load());
  }
}

TEST_F(ConnectionCoreConcurrency, DestructorWaitsForBusyCount) {
  Server server;
  Pair pair(&server);
  {
    MutexGuard hold(pair.client->busyLock);
    pair.client->busyCount = 1;
  }
  std::atomic<bool> destroyed{false};
  PipeConnection* client = pair.client.release();
  std::thread destroyer([&] {
    delete client;
    destroyed.store(true);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(destroyed.load());
  {
    MutexGuard hold(client->busyLock);
    client->busyCount = 0;
  }
  destroyer.join();
  EXPECT_TRUE(destroyed.load());
  server.Stop();
}

TEST_F(ConnectionCoreConcurrency, FailedSendUnregistersTheCallBack) {
  Server server;
  Pair pair(&server);
  RecordingCallBack callBack;
  OXPack* forged = new OXPack("request", "ECHO", "a" + std::string(1, '\0') + "b");
  const std::string id = forged->packId;
  EXPECT_EQ("OXPROCTOL", CodeOf([&] { pair.client->SendPack(forged, &callBack); }));
  // Still registered, the call-back would be released (called with null) at
  // the disconnect; a Request's call-back would be freed memory by then.
  pair.client->Disconnect();
  ASSERT_TRUE(Eventually([&] { return pair.client->processDisconnected.load() == 1; }));
  EXPECT_EQ(0, callBack.calls.load());
  server.Stop();
}

TEST_F(ConnectionCoreConcurrency, ForgedPackRefusedAndConnectionKeepsWorking) {
  Server server;
  Pair pair(&server);
  const std::string nul(1, '\0');
  std::string message;
  EXPECT_EQ("OXPROCTOL", CodeOf([&] {
              pair.client->SendPack(new OXPack("push", "X", "hi" + nul + "request\nECHO\n{F}\nT\nforged"));
            }, &message));
  EXPECT_FALSE(message.empty());
  EXPECT_EQ("OXPROCTOL", CodeOf([&] { pair.client->SendPack(new OXPack("push", "X\nrequest", "b")); }));
  EXPECT_EQ("OXPROCTOL", CodeOf([&] { delete pair.client->Request("ECHO\nX", "b", 20000); }));
  pair.client->SendPack(new OXPack("push", "X", "multi\nline\nbody\n"));
  ASSERT_TRUE(Eventually([&] { return server.Pushes().size() == 1; }));
  EXPECT_EQ("multi\nline\nbody\n", server.Pushes()[0]);
  std::unique_ptr<std::string> answer(pair.client->Request("ECHO", "fine", 20000));
  ASSERT_TRUE(answer);
  EXPECT_EQ(Answer("fine"), *answer);
  EXPECT_EQ(1, server.requests.load());  // nothing forged arrived
  server.Stop();
}

TEST_F(ConnectionCoreConcurrency, ShortFramesDroppedConnectionStaysUp) {
  Server server;
  Pair pair(&server);
  const std::string raw = std::string("\0", 1) + std::string("a\nb\nc\0", 6) + std::string("push\nX\n{I}\nT\nafter\0", 20);
  ASSERT_EQ(static_cast<ssize_t>(raw.size()), ::send(pair.client->fd(), raw.data(), raw.size(), MSG_NOSIGNAL));
  ASSERT_TRUE(Eventually([&] { return server.Pushes().size() == 1; }));
  EXPECT_EQ("after", server.Pushes()[0]);
  EXPECT_TRUE(pair.serverSide->IsConnected());
  server.Stop();
}

TEST_F(ConnectionCoreConcurrency, FullQueueDropsTheTwentiethPack) {
  Server server;
  Pair pair(&server);
  pair.client->CloseGate();
  pair.client->SendPack(new OXPack("push", "N", "0"));
  ASSERT_TRUE(Eventually([&] { return pair.client->waitingAtGate.load() == 1; }));  // the writer is busy
  for (int i = 1; i <= 20; ++i) pair.client->SendPack(new OXPack("push", "N", std::to_string(i)));
  pair.client->OpenGate();
  ASSERT_TRUE(Eventually([&] { return server.Pushes().size() == 20; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const std::vector<std::string> got = server.Pushes();
  ASSERT_EQ(20u, got.size());
  for (int i = 0; i < 20; ++i) EXPECT_EQ(std::to_string(i), got[i]);  // "20" was dropped
  server.Stop();
}

TEST_F(ConnectionCoreConcurrency, KeepAliveAfterSilenceIsNotDispatched) {
  Server server;
  Pair pair(&server, 100);  // set before the send thread starts its first 20 s wait
  ASSERT_TRUE(Eventually([&] { return pair.serverSide->heartbeatsRead.load() >= 3; }));
  EXPECT_EQ(0, server.requests.load());
  EXPECT_TRUE(server.Pushes().empty());
  server.Stop();
}

TEST_F(ConnectionCoreConcurrency, ProcessorsReplaceableWhileRunning) {
  Server first, second;
  Pair pair(&first);
  pair.client->SendPack(new OXPack("push", "P", "one"));
  ASSERT_TRUE(Eventually([&] { return first.Pushes().size() == 1; }));
  pair.serverSide->SetPushProcessor(&second);
  pair.serverSide->SetRequestProcessor(&second);
  EXPECT_EQ(&second, pair.serverSide->GetPushProcessor());
  pair.client->SendPack(new OXPack("push", "P", "two"));
  std::unique_ptr<std::string> answer(pair.client->Request("ECHO", "three", 20000));
  ASSERT_TRUE(answer);
  ASSERT_TRUE(Eventually([&] { return second.Pushes().size() == 1; }));
  EXPECT_EQ("two", second.Pushes()[0]);
  EXPECT_EQ(1u, first.Pushes().size());
  EXPECT_EQ(1, second.requests.load());
  pair.serverSide->SetPushProcessor(nullptr);  // dropped, not crashed
  pair.client->SendPack(new OXPack("push", "P", "four"));
  answer.reset(pair.client->Request("ECHO", "five", 20000));
  ASSERT_TRUE(answer);
  EXPECT_EQ(1u, second.Pushes().size());
  first.Stop();
  second.Stop();
}

TEST_F(ConnectionCoreConcurrency, EstablishFailures) {
  int fds[2];
  ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
  ::close(fds[1]);
  PipeConnection never(fds[0], nullptr, nullptr);
  EXPECT_EQ(1, never.isUTF8.load());
  std::string message;
  // Not connected: nothing starts.
  EXPECT_EQ("OXPROCTOL", CodeOf([&] { never.SendPack(new OXPack("push", "X", "")); }, &message));
  EXPECT_EQ("连接已经断开，无法发送数据！", message);

  // Threads that cannot be created: the caller is told and the channel closed.
  int more[2];
  ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM, 0, more));
  ::close(more[1]);
  PipeConnection starved(more[0], nullptr, nullptr);
  pthread_attr_t original, huge;
  ASSERT_EQ(0, pthread_getattr_default_np(&original));
  pthread_attr_init(&huge);
  // No thread can get such a stack.
  pthread_attr_setstacksize(&huge, sizeof(size_t) >= 8 ? size_t(1) << 46 : size_t(0xF0000000u));
  ASSERT_EQ(0, pthread_setattr_default_np(&huge));
  const std::string code = CodeOf([&] { starved.Establish(); }, &message);
  pthread_setattr_default_np(&original);
  pthread_attr_destroy(&huge);
  pthread_attr_destroy(&original);
  EXPECT_EQ("OXPROCTOL", code);
  EXPECT_NE(std::string::npos, message.find("线程")) << message;
  EXPECT_FALSE(starved.IsConnected());
}

TEST(SyncResponseCallBack, WaitRules) {
  {
    SyncResponseCallBack early;  // answered before the wait: returned at once
    OXPack pack("response", "RET", "{I}", "OK\nbody");
    early.ResponseCallBack(nullptr, &pack);
    std::unique_ptr<std::string> body(early.WaitCallBack(0));
    ASSERT_TRUE(body);
    EXPECT_EQ("OK\nbody", *body);
  }
  {
    SyncResponseCallBack lost;  // released with null
    lost.ResponseCallBack(nullptr, nullptr);
    EXPECT_EQ(nullptr, lost.WaitCallBack(0));
  }
  {
    SyncResponseCallBack nothing;
    const auto start = Clock::now();
    std::string message;
    EXPECT_EQ("SINGLE_OBJ", CodeOf([&] { nothing.WaitCallBack(300); }, &message));
    EXPECT_EQ("Wait Semaphore Timeout。", message);
    EXPECT_GE(MsSince(start), 250);
    OXPack late("response", "RET", "{I}", "late");
    nothing.ResponseCallBack(nullptr, &late);  // kept until taken or destroyed
    std::unique_ptr<std::string> taken(nothing.TakeBody());
    ASSERT_TRUE(taken);
    EXPECT_EQ("late", *taken);
  }
}
