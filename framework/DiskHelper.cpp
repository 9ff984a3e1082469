#include "framework/DiskHelper.h"

#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <cerrno>

#include "framework/Env.h"
#include "framework/MutexGuard.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

namespace {

const char kAlreadyOpen[] = "the disk is already open!";
const char kNotOpen[] = "the disk is not open!";

std::string _ErrnoText(int code) {
  char buf[256];
  // GNU strerror_r: the text may or may not be in buf.
  return std::string(strerror_r(code, buf, sizeof(buf)));
}

}  // namespace

DiskHelper::DiskHelper() : _fd(-1), _lastErrorCode(0) {}

DiskHelper::~DiskHelper() { Close(); }

bool DiskHelper::IsOpened() {
  MutexGuard guard(_mutex);
  return _fd != -1;
}

bool DiskHelper::Open(const std::string& devicePath) {
  MutexGuard guard(_mutex);
  if (_fd != -1) {
    _SetError(-1, kAlreadyOpen);
    return false;
  }
  const std::string path = Env::Get()->SystemPath(devicePath);
  int fd;
  do {
    fd = open(path.c_str(), O_RDWR | O_DSYNC | O_DIRECT | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    const int code = errno;
    _SetError(code, _ErrnoText(code));
    return false;
  }
  _fd = fd;
  return true;
}

void DiskHelper::Close() {
  MutexGuard guard(_mutex);
  if (_fd == -1) return;
  close(_fd);
  _fd = -1;
}

void DiskHelper::Seek(int64_t offset) {
  MutexGuard guard(_mutex);
  if (_fd == -1) return;
  lseek(_fd, static_cast<off_t>(offset), SEEK_SET);
}

unsigned long DiskHelper::Read(void* buffer, uint64_t offset, unsigned long length) {
  return _Transfer(false, buffer, offset, length);
}

unsigned long DiskHelper::Write(const void* buffer, uint64_t offset, unsigned long length) {
  // _Transfer only reads from the buffer when it writes.
  return _Transfer(true, const_cast<void*>(buffer), offset, length);
}

unsigned long DiskHelper::_Transfer(bool write, void* buffer, uint64_t offset, unsigned long length) {
  MutexGuard guard(_mutex);
  if (_fd == -1) {
    _SetError(-1, kNotOpen);
    return 0;
  }
  char* p = static_cast<char*>(buffer);
  unsigned long done = 0;
  while (done < length) {
    const off_t at = static_cast<off_t>(offset + done);
    const size_t want = static_cast<size_t>(length - done);
    ssize_t n = write ? pwrite(_fd, p + done, want, at) : pread(_fd, p + done, want, at);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int code = errno;
      _SetError(code, _ErrnoText(code));
      return 0;
    }
    if (n == 0) break;  // end of the device
    done += static_cast<unsigned long>(n);
  }
  if (done < length) {
    _SetError(-1, std::string(write ? "short write: " : "short read: ") + std::to_string(done) + " of " +
                      std::to_string(length) + " bytes");
    return 0;
  }
  return length;
}

int DiskHelper::GetLastErrorCode() {
  MutexGuard guard(_mutex);
  return _lastErrorCode;
}

std::string DiskHelper::GetLastErrorText() {
  MutexGuard guard(_mutex);
  return _lastErrorText;
}

void DiskHelper::GetLastError(int& code, std::string& text) {
  MutexGuard guard(_mutex);
  code = _lastErrorCode;
  text = _lastErrorText;
}

void DiskHelper::_SetError(int code, const std::string& text) {
  _lastErrorCode = code;
  _lastErrorText = text;
}

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
