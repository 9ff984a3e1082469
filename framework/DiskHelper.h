#ifndef TARROW_FRAMEWORK_DISKHELPER_H
#define TARROW_FRAMEWORK_DISKHELPER_H

#include <cstdint>
#include <string>

#include "framework/Mutex.h"
#include "framework/NonCopyable.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

// Raw handle on a shared block device (the quorum disk): unbuffered,
// synchronous access (O_RDWR | O_DSYNC | O_DIRECT), one mutex around every
// call, and the last failure kept as a code and a text. Never throws.
//
// Paths: the device path handed to Open is a system path ("/dev/sdb"); it is
// opened at Env::Get()->SystemPath(path), so the default opens the path
// itself and a test environment may map it under a fixture root.
//
// Direct I/O: the buffer address, the offset and the length of every Read
// and Write must be multiples of the device's logical block size (512 on
// the disks we use). Callers allocate one page more than they transfer and
// use the first page boundary inside the buffer. A misaligned call fails in
// the kernel (EINVAL) and is reported like any other failure.
//
// Offsets are 64-bit (positioned pread/pwrite, no shared file position).
// The send and receive threads of one quorum connection share one handle;
// the mutex makes every transfer, Open and Close one step.
//
// Layout of the quorum disk, for the record (bytes from the start of the
// device): 0 - 1048575 host-side message area and 1048576 - 2097151 other-side
// message area (quorum transport); 2097664 and 2098176 the two arbitration
// sectors; 2101248 (0x201000, 512 bytes) the identity stamp that keeps the
// disk findable by its disk ID once the transport has changed its first
// 32 KiB (see LinuxDisk::GetQuorumDiskPathByDiskID). Nothing else writes
// the stamp sector.
class DiskHelper : NonCopyable {
 public:
  DiskHelper();
  // Close, then the mutex goes.
  virtual ~DiskHelper();

  // True while a device is open.
  bool IsOpened();

  // Opens the device. Already open: code -1, "the disk is already open!",
  // false, the open device untouched. A failed open keeps errno and its
  // strerror text and leaves the handle closed.
  bool Open(const std::string& devicePath);

  // Closes the device when open; nothing otherwise. Waits for a transfer
  // that another thread has in progress, so a descriptor is never closed
  // (and reused by the process) under a running Read or Write.
  void Close();

  // Moves the descriptor's file position (kept for callers that read with
  // plain read(2) on their own; Read and Write do not use it).
  void Seek(int64_t offset);

  // Transfers exactly length bytes at offset. Result: length on success, 0
  // on any failure: closed handle (code -1, "the disk is not open!"), a
  // failed system call (errno, strerror text), or a transfer that ended
  // early, at the end of the device for instance (code -1, "short read: n of
  // length bytes" / "short write: ..."). Interrupted calls are resumed.
  unsigned long Read(void* buffer, uint64_t offset, unsigned long length);
  unsigned long Write(const void* buffer, uint64_t offset, unsigned long length);

  // The most recent failure (a successful call does not clear it): code 0 and
  // "" until the first failure, -1 for the handle's own refusals, else errno.
  int GetLastErrorCode();
  std::string GetLastErrorText();
  // Both at once, as one consistent pair.
  void GetLastError(int& code, std::string& text);

 private:
  // Records a failure; the caller holds _mutex.
  void _SetError(int code, const std::string& text);
  unsigned long _Transfer(bool write, void* buffer, uint64_t offset, unsigned long length);

  int _fd;
  Mutex _mutex;
  int _lastErrorCode;
  std::string _lastErrorText;
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
