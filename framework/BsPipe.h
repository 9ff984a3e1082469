#ifndef TARROW_FRAMEWORK_BSPIPE_H
#define TARROW_FRAMEWORK_BSPIPE_H

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "framework/NonCopyable.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

// The named pipe that carries DRBD split-brain notices from the watcher
// (`tarrowguard BS_NOTIFY <resource>`, the writer) to tarrowd (the reader).
//
// The reader creates the FIFO with kMode and reads it; one notice is
// "BS_NOTIFY" LF "oxbrindale" LF <resource> NUL, sent in one write.
//
// The writer never waits for ever: it opens the pipe without blocking and
// retries while no reader has it open, for a limited time; it refuses a path
// that is not a FIFO owned by root (a file or FIFO planted in /tmp by someone
// else), and a reader that goes away gives a write failure, not SIGPIPE (the
// programs ignore SIGPIPE, MachineController::SetupProcess).
class BsPipe : NonCopyable {
 public:
  // Results of the writer, also the watcher's exit values.
  enum { NOTIFY_OK = 0, NOTIFY_NO_PIPE = -2, NOTIFY_WRITE_FAILED = -3 };

  static const char kPath[];                // "/tmp/ox_bs_watcher"
  static constexpr mode_t kMode = 0300;     // owner write and execute
  static constexpr uid_t kOwner = 0;        // the pipe belongs to root's tarrowd
  static const char kNotifyWord[];          // "BS_NOTIFY", first line
  static const char kMarker[];              // "oxbrindale", second line
  static constexpr size_t kReadSize = 255;  // one read of the reader

  // How long the writer waits for a reader (milliseconds).
  struct Timing {
    long retryMs = 100;     // between two attempts while no reader has the pipe open
    long limitMs = 10000;   // then it gives up
  };

  // The pipe's path on this machine (Env::SystemPath of kPath).
  static std::string Path();

  // The bytes of one notice for resource name, terminating NUL included.
  static std::string Message(const std::string& name);

  // The reader's rule for the bytes of one read (at most kReadSize): the text
  // up to the first NUL, CRs removed, split at LF; accepted when the first
  // field is kNotifyWord, the second kMarker and a third exists, which is
  // the resource name (stored in name). Further fields are ignored.
  static bool Accept(const char* data, size_t length, std::string& name);

  BsPipe();
  explicit BsPipe(const Timing& timing);
  // Closes the pipe when open.
  ~BsPipe();

  // Opens the pipe for writing: NOTIFY_OK, or NOTIFY_NO_PIPE when it does not
  // exist, is not a FIFO owned by kOwner, or no reader opened it within the
  // time limit.
  int Open();
  // One write of Message(name): NOTIFY_OK, or NOTIFY_WRITE_FAILED (not open,
  // no reader any more, or no room in the pipe within the time limit).
  int Write(const std::string& name);
  void Close();

  // Open, Write, Close: the watcher's "BS_NOTIFY". When the reader closed its
  // end between the open and the write, all three again (within the time
  // limit).
  int Notify(const std::string& name);

 private:
  long long _NowMs() const;

  Timing _timing;
  int _fd = -1;
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
