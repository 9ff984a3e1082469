#ifndef TARROW_TESTS_ALARM_SCRIPTEDSMTPSERVER_H
#define TARROW_TESTS_ALARM_SCRIPTEDSMTPSERVER_H

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tarrow_test {

// An SMTP server of the test's own on 127.0.0.1 and a free port, playing a
// fixed list of replies byte for byte: replies[0] is the greeting, and each
// line the client sends gets the next reply. After a reply beginning with
// "354" everything up to "\r\n.\r\n" counts as one line (the mail data).
// Once the list is used up the server only listens. Each accepted connection
// plays the list from its start; connections are served one at a time.
//
// A reply equal to SILENT makes the server stop answering on that
// connection (it still reads). A PAUSE byte inside a reply sends what came
// before it and waits 100 ms, so the client gets the reply in pieces.
class ScriptedSmtpServer {
 public:
  static const char* const SILENT;
  static const char PAUSE = '\x01';

  explicit ScriptedSmtpServer(std::vector<std::string> replies);
  // Stop().
  ~ScriptedSmtpServer();
  ScriptedSmtpServer(const ScriptedSmtpServer&) = delete;
  ScriptedSmtpServer& operator=(const ScriptedSmtpServer&) = delete;

  unsigned short Port() const { return port_; }
  // The lines received on all connections so far, without their CR LF
  // (the mail data as one entry, its inner CR LFs kept, without the final
  // ".\r\n").
  std::vector<std::string> Received();
  // Connections accepted so far.
  int Connections() const { return connections_.load(); }
  // Closes the listener and the open connection and ends the thread; later
  // connection attempts are refused.
  void Stop();

 private:
  void Serve();
  void Play(int fd);
  // One line (or the data up to the end mark) into text; false at the end
  // of the connection or on Stop.
  bool ReadUntil(int fd, const std::string& mark, std::string* text);
  void SendReply(int fd, const std::string& reply);
  void Record(const std::string& line);

  std::vector<std::string> replies_;
  int listener_ = -1;
  unsigned short port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::mutex lock_;  // guards received_, pending_ and current_
  std::vector<std::string> received_;
  std::string pending_;  // bytes read past the last line
  int current_ = -1;     // the connection being served
  std::thread thread_;
};

}  // namespace tarrow_test

#endif
