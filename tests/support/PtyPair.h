#ifndef TARROW_TESTS_SUPPORT_PTYPAIR_H
#define TARROW_TESTS_SUPPORT_PTYPAIR_H

#include <string>

namespace tarrow_test {

// A pseudo terminal standing in for a serial line: the code under test opens
// SlavePath() like a serial device, the test plays the far end on the master.
// The slave keeps the kernel's default (cooked) line settings until the code
// under test changes them. The pair holds one slave descriptor of its own (it
// never reads it), so the master keeps working while the code under test has
// the slave closed.
class PtyPair {
 public:
  PtyPair();
  // Closes both descriptors.
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  // false when no pseudo terminal could be made (the test has failed then).
  bool Ok() const { return master_ >= 0; }
  const std::string& SlavePath() const { return slavePath_; }
  int MasterFd() const { return master_; }

  // Writes all bytes to the master: the slave's reader receives them.
  bool Write(const std::string& bytes);
  // The bytes the slave's writer sent, up to and including the first stop
  // byte; what came after it is kept for the next read. Returns what arrived
  // when ms milliseconds pass without the stop byte.
  std::string ReadUntil(char stop, int ms);
  // Everything that arrives within ms milliseconds (and whatever was kept).
  std::string ReadFor(int ms);
  // Closes the master: the slave side hangs up, as a line whose far end is gone.
  void CloseMaster();

 private:
  // Reads what arrives within ms into kept_; false when nothing came.
  bool ReadSome(int ms);

  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
  std::string kept_;
};

}  // namespace tarrow_test

#endif
