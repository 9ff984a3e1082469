#include "framework/BsPipe.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <vector>

#include "framework/Convert.h"
#include "framework/Env.h"
#include "framework/Sleep.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

const char BsPipe::kPath[] = "/tmp/ox_bs_watcher";
const char BsPipe::kNotifyWord[] = "BS_NOTIFY";
const char BsPipe::kMarker[] = "oxbrindale";

namespace {

bool _IsOurPipe(const struct stat& st) { return S_ISFIFO(st.st_mode) && st.st_uid == BsPipe::kOwner; }

}  // namespace

std::string BsPipe::Path() { return Env::Get()->SystemPath(kPath); }

std::string BsPipe::Message(const std::string& name) {
  std::string message = std::string(kNotifyWord) + "\n" + kMarker + "\n" + name;
  message.push_back('\0');
  return message;
}

bool BsPipe::Accept(const char* data, size_t length, std::string& name) {
  if (length > kReadSize) length = kReadSize;
  size_t end = 0;
  while (end < length && data[end] != '\0') ++end;
  std::string text(data, end);
  std::vector<std::string> fields = Convert::tokenize(text, "\n", false, "");
  if (fields.size() <= 2 || fields[0] != kNotifyWord || fields[1] != kMarker) return false;
  name = fields[2];
  return true;
}

BsPipe::BsPipe() : BsPipe(Timing()) {}

BsPipe::BsPipe(const Timing& timing) : _timing(timing) {}

BsPipe::~BsPipe() { Close(); }

long long BsPipe::_NowMs() const {
  struct timespec ts;
  clock_gettime(Env::Get()->WaitClock(), &ts);
  return static_cast<long long>(ts.tv_sec) * 1000LL + ts.tv_nsec / 1000000L;
}

int BsPipe::Open() {
  Close();
  const std::string path = Path();
  // Look before opening: a planted device or file is never opened at all.
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || !_IsOurPipe(st)) return NOTIFY_NO_PIPE;

  const long long deadline = _NowMs() + _timing.limitMs;
  int fd = -1;
  for (;;) {
    fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) break;
    if (errno == EINTR) continue;
    // ENXIO: the FIFO has no reader now (tarrowd not running, or between two
    // opens of its reader).
    if (errno != ENXIO || _NowMs() >= deadline) return NOTIFY_NO_PIPE;
    Sleep(static_cast<unsigned int>(_timing.retryMs));
  }
  // What was opened is what counts: the path may have been replaced meanwhile.
  if (fstat(fd, &st) != 0 || !_IsOurPipe(st)) {
    close(fd);
    return NOTIFY_NO_PIPE;
  }
  _fd = fd;
  return NOTIFY_OK;
}

int BsPipe::Write(const std::string& name) {
  if (_fd < 0) return NOTIFY_WRITE_FAILED;
  const std::string message = Message(name);
  const long long deadline = _NowMs() + _timing.limitMs;
  for (;;) {
    // Up to PIPE_BUF bytes go in whole or not at all.
    ssize_t n = write(_fd, message.data(), message.size());
    if (n > 0) return NOTIFY_OK;
    if (n < 0 && errno == EINTR) continue;
    // EAGAIN: the pipe is full because the reader is not reading.
    if (n < 0 && errno == EAGAIN && _NowMs() < deadline) {
      Sleep(static_cast<unsigned int>(_timing.retryMs));
      continue;
    }
    // EPIPE: the reader closed the pipe (SIGPIPE is ignored).
    return NOTIFY_WRITE_FAILED;
  }
}

void BsPipe::Close() {
  if (_fd >= 0) {
    close(_fd);
    _fd = -1;
  }
}

int BsPipe::Notify(const std::string& name) {
  const long long deadline = _NowMs() + _timing.limitMs;
  for (;;) {
    int result = Open();
    if (result != NOTIFY_OK) return result;
    result = Write(name);
    const bool readerLeft = result == NOTIFY_WRITE_FAILED && errno == EPIPE;
    Close();
    // The reader closes its end when every writer has gone and opens the
    // pipe again: a writer that opened just before that close finds no
    // reader, and nothing of its notice was written. It goes again, to the
    // reader's next open.
    if (!readerLeft || _NowMs() >= deadline) return result;
  }
}

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
