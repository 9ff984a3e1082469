#ifndef TARROW_TESTS_SUPPORT_TESTCONSOLE_H
#define TARROW_TESTS_SUPPORT_TESTCONSOLE_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tarrow_test {

// One frame as the test console received it.
struct ConsoleFrame {
  std::string kind;
  std::string command;
  std::string packId;
  std::string time;
  std::string body;
  std::chrono::steady_clock::time_point received;
};

// A console of the administration protocol for tests and benchmarks, with a
// frame reader and writer of its own (kind LF command LF id LF time LF body
// NUL), so it checks the server's framing instead of sharing it.
//
// A reader thread takes every frame: "heartbeat" frames are dropped, the
// "SERVICE_READY" push marks the session ready, responses are kept by pack
// id, other pushes are queued with their time of receipt. Raw mode: any
// bytes can be written (partial, oversized, pipelined frames), and the
// reader can stop reading altogether.
class TestConsole {
 public:
  // Connects from source (a 127.0.0.x address) to 127.0.0.1:port; reads
  // from then on unless read is false.
  TestConsole(unsigned short port, const std::string& source = "127.0.0.1", bool read = true);
  ~TestConsole();
  TestConsole(const TestConsole&) = delete;
  TestConsole& operator=(const TestConsole&) = delete;

  bool Connected() const { return _fd >= 0; }
  // Waits for the "SERVICE_READY" push.
  bool WaitReady(long ms = 20000);
  // Waits until the server has closed the connection.
  bool WaitClosed(long ms = 20000);
  bool IsClosed();

  // Sends a request; answers its pack id.
  std::string Send(const std::string& command, const std::string& body);
  // Waits for the reply to packId; false when none came in time.
  bool WaitReply(const std::string& packId, std::string* body, long ms = 20000);
  // Send and WaitReply: the reply body, or "<no reply>".
  std::string Request(const std::string& command, const std::string& body, long ms = 20000);
  // The reply must be "ERROR\n" + text.
  bool ExpectError(const std::string& command, const std::string& body, const std::string& text);

  // "DoVerifyVersion" with body; keeps the challenge (fourth reply line) of
  // a successful check.
  std::string Verify(const std::string& body = "3.5|utf-8");
  const std::string& Challenge() const { return _challenge; }
  // MD5 hex of stored digest followed by the challenge text, verbatim.
  static std::string Answer(const std::string& storedDigest, const std::string& challenge);
  // "Login" answering the last challenge with the stored digest of level.
  std::string Login(const std::string& level, const std::string& storedDigest);
  // "Login" with a bare answer.
  std::string LoginWithAnswer(const std::string& level, const std::string& answer);
  // WaitReady, Verify and Login; true when the reply is "OK\n<level>\n".
  bool LogIn(int level, const std::string& storedDigest);

  // Waits for a push of command (any when empty) that was not taken yet and
  // takes it (the oldest first).
  bool WaitPush(const std::string& command, ConsoleFrame* frame, long ms = 20000);
  // true when no push of command arrives within ms.
  bool NoPush(const std::string& command, long ms);
  // Takes every queued push.
  std::vector<ConsoleFrame> TakePushes();

  // Pack ids of the replies in the order they arrived.
  std::vector<std::string> ReplyOrder();

  // Raw mode.
  void SendRaw(const std::string& bytes);
  static std::string Frame(const std::string& kind, const std::string& command, const std::string& packId,
                           const std::string& body);
  std::string NewPackId();
  // The reader stops taking bytes (after the read in progress).
  void StopReading();
  // Closes the connection.
  void Close();

 private:
  void _ReadLoop();
  void _Take(const std::string& frame);

  int _fd = -1;
  std::string _challenge;
  std::atomic<unsigned> _nextId{0};
  std::mutex _lock;
  std::condition_variable _changed;
  bool _ready = false;
  bool _closed = false;
  bool _stopReading = false;
  std::map<std::string, std::string> _replies;
  std::vector<std::string> _replyOrder;
  std::deque<ConsoleFrame> _pushes;
  std::thread _reader;
};

}  // namespace tarrow_test

#endif
