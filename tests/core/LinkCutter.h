#ifndef TARROW_TESTS_CORE_LINKCUTTER_H
#define TARROW_TESTS_CORE_LINKCUTTER_H

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace core_test {

// A TCP relay on 127.0.0.1 between a node and the port of its peer: the
// test cuts the heartbeat (the relay stops listening and drops every
// connection) and restores it (it listens on the same port again).
class LinkCutter {
 public:
  explicit LinkCutter(unsigned short target);
  ~LinkCutter();

  // The port the node connects to.
  unsigned short Port() const { return port_; }
  void Cut();
  // false, with a test failure, when the port cannot be had again.
  bool Restore();

 private:
  bool _Listen(unsigned short port);
  void _Accept();
  void _Relay(int a, int b);

  const unsigned short target_;
  unsigned short port_ = 0;
  std::atomic<int> listener_{-1};
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::vector<int> sockets_;         // relayed connections, both ends
  std::vector<std::thread> threads_;  // the acceptor and the relays
};

}  // namespace core_test

#endif
