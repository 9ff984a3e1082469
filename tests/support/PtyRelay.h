#ifndef TARROW_TESTS_SUPPORT_PTYRELAY_H
#define TARROW_TESTS_SUPPORT_PTYRELAY_H

#include <string>
#include <thread>

#include "support/PtyPair.h"

namespace tarrow_test {

// A serial line between two "nodes" on one machine: two pseudo terminals
// whose masters a thread of the relay joins, byte for byte in both
// directions. Each node opens its end (PathA(), PathB()) like a serial device.
// The ends do not echo, as the end of a real line nobody has opened yet says
// nothing; otherwise they keep the kernel's default settings.
class PtyRelay {
 public:
  PtyRelay();
  // Cut.
  ~PtyRelay();
  PtyRelay(const PtyRelay&) = delete;
  PtyRelay& operator=(const PtyRelay&) = delete;

  bool Ok() const { return a_.Ok() && b_.Ok() && wake_ >= 0; }
  const std::string& PathA() const { return a_.SlavePath(); }
  const std::string& PathB() const { return b_.SlavePath(); }

  // Stops copying and closes both masters: both ends hang up. Idempotent.
  void Cut();

 private:
  void Run();

  PtyPair a_;
  PtyPair b_;
  int wake_ = -1;  // eventfd that ends the thread
  std::thread thread_;
};

}  // namespace tarrow_test

#endif
