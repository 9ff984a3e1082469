#ifndef TARROW_PROTOCOL_OXCOM_H
#define TARROW_PROTOCOL_OXCOM_H

#include <string>
#include <vector>

#include "framework/Mutex.h"
#include "framework/NonCopyable.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

// One serial port ("/dev/ttyS<n>"), the channel of a serial heartbeat link.
//
// Open puts the line into raw mode (no echo, no canonical input, no CR/LF
// translation, no flow control, no output processing), 8 data bits, 2 stop
// bits, even parity with input parity checking, applies the configured speed
// when it is a standard one, and runs the carriage-return handshake with the
// far end. After that bytes move in both directions: Send writes a whole
// frame, ReceiveUntilChar collects the bytes up to a stop byte.
//
// The device path goes through Env::SystemPath, so tests and a test harness
// can point "/dev/ttyS0" at a pseudo terminal.
//
// Two threads may use one port at the same time, one sending and one
// receiving, while any thread may Close it. Close wakes both at once; the
// descriptor itself is closed only after every Send or Receive has left, so a
// number the kernel hands out again is never read or written by a late user.
// A hang-up of the line (the far end of a pseudo terminal closed, carrier
// lost) closes the port instead of reading nothing forever.
class OXCom : NonCopyable {
 public:
  // How long one Receive (and the handshake) waits for a byte.
  enum { READ_WAIT_MS = 15000 };
  // Longest text ReceiveUntilChar accepts before its stop byte: a frame of
  // at most 65536 bytes with its NUL, as on the quorum disk.
  enum { MAX_UNTIL_CHAR_LENGTH = 65535 };

  OXCom(std::string deviceName, unsigned int baudRate);
  // Close.
  ~OXCom();

  // Close, then replace the device name and the rate.
  void Init(std::string deviceName, unsigned int baudRate);
  bool IsOpened();
  // Opens and configures the port and runs the handshake (about 2 s with a
  // far end present, about 16 s without). false, with the port closed, when
  // the device cannot be opened or configured or the handshake fails.
  bool Open();
  // Closes the port; wakes a Send or Receive in progress. Harmless when
  // already closed; any thread.
  void Close();

  // Writes all length bytes. Closed port: Exception* "SOCKET_DISCONNECTED",
  // "串口没有打开！". A failing write closes the port and returns without an
  // exception (the frame is lost; the next Send throws).
  void Send(const char* data, unsigned long length);
  // Reads at least one and at most size bytes, waiting up to READ_WAIT_MS;
  // 0 when nothing came in time, or when the port failed or hung up (it is
  // then closed and the next call throws). Closed port: Exception* "COM_ERR",
  // "串口没有打开！".
  unsigned long Receive(char* buffer, unsigned long size);
  // The bytes before the next stop byte, without it and without any CR.
  // Waits through idle periods. Bytes after the stop byte are kept for the
  // next call. Throws what Receive throws; more than MAX_UNTIL_CHAR_LENGTH
  // bytes without a stop byte close the port and throw Exception* "COM_ERR",
  // "封包太大！".
  std::string ReceiveUntilChar(char stop);

 private:
  class _Use;

  // Waits up to ms (-1: without limit) for events on fd or for Close.
  // 1: fd reported (revents set), 0: time-out, -1: closed meanwhile or poll failed.
  int _Wait(int fd, int wakeFd, short events, int ms, short* revents);
  // Writes all bytes to fd (non-blocking), waiting for room; false on a
  // write error or when the port was closed meanwhile (errno kept).
  bool _WriteAll(int fd, int wakeFd, const char* data, unsigned long length);
  // Configures the open descriptor; false on failure.
  bool _Configure(int fd);
  // Handshake after the configuration; false on failure (port closed).
  bool _Handshake();
  void _ReleaseUse();
  void _CloseLocked();

  std::string _deviceName;    // guarded by _lock
  unsigned int _baudRate;     // guarded by _lock
  int _fd = -1;               // -1: closed; guarded by _lock
  int _wakeFd = -1;           // eventfd signalled by Close; guarded by _lock
  Mutex _lock;                // guards the fields above, _users and _closing
  int _users = 0;             // Send/Receive calls inside
  std::vector<int> _closing;  // descriptors to close when _users drops to 0
  // Bytes read past a stop byte; only the receiving thread touches them.
  std::string _in;
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
