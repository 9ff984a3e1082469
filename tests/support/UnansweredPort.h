#ifndef TARROW_TESTS_SUPPORT_UNANSWEREDPORT_H
#define TARROW_TESTS_SUPPORT_UNANSWEREDPORT_H

namespace tarrow_test {

// A port on 127.0.0.1 where connection attempts get no answer at all: a
// listener whose one-place backlog is already taken. Close() turns it into a
// port that refuses at once.
class UnansweredPort {
 public:
  UnansweredPort();
  ~UnansweredPort();
  UnansweredPort(const UnansweredPort&) = delete;
  UnansweredPort& operator=(const UnansweredPort&) = delete;

  unsigned short Port() const { return port_; }
  void Close();

 private:
  int listener_ = -1;
  int filler_ = -1;
  unsigned short port_ = 0;
};

}  // namespace tarrow_test

#endif
