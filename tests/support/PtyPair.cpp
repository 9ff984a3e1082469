#include "support/PtyPair.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace tarrow_test {

namespace {

long long NowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

PtyPair::PtyPair() {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  char name[128];
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 || ::ptsname_r(master, name, sizeof(name)) != 0) {
    ADD_FAILURE() << "cannot make a pseudo terminal: errno " << errno;
    if (master >= 0) ::close(master);
    return;
  }
  slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_ < 0) {
    ADD_FAILURE() << "cannot open " << name << ": errno " << errno;
    ::close(master);
    return;
  }
  master_ = master;
  slavePath_ = name;
}

PtyPair::~PtyPair() {
  CloseMaster();
  if (slave_ >= 0) ::close(slave_);
}

bool PtyPair::Write(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool PtyPair::ReadSome(int ms) {
  if (master_ < 0) return false;
  struct pollfd p = {master_, POLLIN, 0};
  const int rc = ::poll(&p, 1, ms < 0 ? 0 : ms);
  if (rc <= 0 || (p.revents & POLLIN) == 0) return false;
  char buffer[4096];
  const ssize_t n = ::read(master_, buffer, sizeof(buffer));
  if (n <= 0) return false;
  kept_.append(buffer, static_cast<size_t>(n));
  return true;
}

std::string PtyPair::ReadUntil(char stop, int ms) {
  const long long deadline = NowMs() + ms;
  for (;;) {
    const size_t at = kept_.find(stop);
    if (at != std::string::npos) {
      std::string head = kept_.substr(0, at + 1);
      kept_.erase(0, at + 1);
      return head;
    }
    const long long left = deadline - NowMs();
    if (left <= 0) break;
    ReadSome(static_cast<int>(left));
  }
  std::string all;
  all.swap(kept_);
  return all;
}

std::string PtyPair::ReadFor(int ms) {
  const long long deadline = NowMs() + ms;
  for (;;) {
    const long long left = deadline - NowMs();
    if (left <= 0) break;
    ReadSome(static_cast<int>(left));
  }
  std::string all;
  all.swap(kept_);
  return all;
}

void PtyPair::CloseMaster() {
  if (master_ >= 0) ::close(master_);
  master_ = -1;
}

}  // namespace tarrow_test
