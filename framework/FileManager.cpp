#include "framework/FileManager.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>

#include "framework/Exception.h"
#include "framework/Mutex.h"
#include "framework/MutexGuard.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {

using Framework::Mutex;
using Framework::MutexGuard;

namespace {

// Owns one file descriptor; closes it when the scope is left any way other
// than through Close() (an early return, an exception, a cancelled thread).
class _Fd {
 public:
  explicit _Fd(int fd) : fd_(fd) {}
  ~_Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  _Fd(const _Fd&) = delete;
  _Fd& operator=(const _Fd&) = delete;

  int Get() const { return fd_; }
  bool IsOpen() const { return fd_ >= 0; }
  // Closes now and tells whether the close reported success (a delayed write
  // error can surface here).
  bool Close() {
    int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

// The lock that serialises the saves of one path inside this process. The
// map and its mutexes are never freed, so a save running while the process
// exits never meets a destroyed lock.
Mutex& _PathLock(const std::string& path) {
  static Mutex* mapLock = new Mutex();
  static std::map<std::string, Mutex*>* locks = new std::map<std::string, Mutex*>();
  MutexGuard guard(*mapLock);
  Mutex*& lock = (*locks)[path];
  if (lock == nullptr) lock = new Mutex();
  return *lock;
}

std::string _DirectoryOf(const std::string& path) {
  std::string::size_type slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Permission bits the new file gets: those of the file it replaces, or
// owner-only for a new file (the files hold passwords and keys, and the
// daemon runs with umask 0).
mode_t _ModeFor(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return st.st_mode & 07777;
  if (::stat((path + ".complete").c_str(), &st) == 0 && S_ISREG(st.st_mode)) return st.st_mode & 07777;
  return 0600;
}

bool _WriteAll(int fd, const std::string& content) {
  const char* data = content.data();
  size_t left = content.size();
  while (left > 0) {
    ssize_t written = ::write(fd, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (written == 0) {
      errno = EIO;
      return false;
    }
    data += written;
    left -= static_cast<size_t>(written);
  }
  return true;
}

bool _SyncDirectory(const std::string& dir) {
  _Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.IsOpen()) return false;
  // EINVAL: the file system cannot sync a directory, its entries are as
  // durable as it makes them.
  if (::fsync(fd.Get()) != 0 && errno != EINVAL) return false;
  return true;
}

// Reads the file to its end without trusting its reported size (files under
// /proc report 0). False when it cannot be opened or read.
bool _ReadWhole(const std::string& path, std::string& content) {
  content.clear();
  _Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.IsOpen()) return false;
  char buffer[65536];
  for (;;) {
    ssize_t got = ::read(fd.Get(), buffer, sizeof(buffer));
    if (got < 0) {
      if (errno == EINTR) continue;
      content.clear();
      return false;
    }
    if (got == 0) return true;
    content.append(buffer, static_cast<size_t>(got));
  }
}

Exception* _Missing(const std::string& path) {
  return new Exception("IO", "您要找的配置文件'" + path + "'不存在！");
}

}  // namespace

// The new content is written to P.pending and made durable before it
// replaces P with one rename, so P exists at every moment and always holds
// either the old or the new content whole. P.complete is no longer written:
// it is only removed here, and recovered by LoadFile when an earlier save
// crashed between removing P and renaming P.complete into its place.
bool FileManager::SaveFile(const std::string& path, const std::string& content) {
  MutexGuard guard(_PathLock(path));
  const std::string pending = path + ".pending";
  const std::string complete = path + ".complete";
  const mode_t mode = _ModeFor(path);

  // A fresh pending file, never a leftover nor whatever a leftover name
  // points to.
  ::unlink(pending.c_str());
  _Fd fd(::open(pending.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd.IsOpen()) return false;

  bool written = ::fchmod(fd.Get(), mode) == 0 && _WriteAll(fd.Get(), content) && ::fsync(fd.Get()) == 0;
  bool closed = fd.Close();
  if (!written || !closed) {
    ::unlink(pending.c_str());
    return false;
  }

  // A leftover P.complete must be gone before P is replaced: otherwise a
  // LoadFile that found P missing could move it over the new P.
  if (::unlink(complete.c_str()) != 0 && errno != ENOENT) {
    ::unlink(pending.c_str());
    return false;
  }
  if (::rename(pending.c_str(), path.c_str()) != 0) {
    ::unlink(pending.c_str());
    return false;
  }
  // The new content is in place now; a failed directory sync means the
  // replacement may not survive a power loss, which is reported as failure.
  return _SyncDirectory(_DirectoryOf(path));
}

std::string FileManager::LoadFile(const std::string& path) {
  if (::access(path.c_str(), F_OK) != 0) {
    const std::string complete = path + ".complete";
    MutexGuard guard(_PathLock(path));
    if (::access(path.c_str(), F_OK) != 0 && ::access(complete.c_str(), F_OK) == 0) {
      ::rename(complete.c_str(), path.c_str());
    }
  }
  return ReadFile(path);
}

std::string FileManager::ReadFile(const std::string& path) {
  std::string content;
  if (!_ReadWhole(path, content) || content.empty()) throw _Missing(path);
  return content;
}

std::string FileManager::SimpleLoadFile(const std::string& path) {
  std::string content;
  if (!_ReadWhole(path, content)) return "";
  return content;
}

}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale
