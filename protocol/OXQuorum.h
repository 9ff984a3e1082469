#ifndef TARROW_PROTOCOL_OXQUORUM_H
#define TARROW_PROTOCOL_OXQUORUM_H

#include <atomic>
#include <cstdint>
#include <string>

#include "framework/DiskHelper.h"
#include "framework/Mutex.h"
#include "framework/NonCopyable.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

// Mailboxes on a shared block device (the quorum disk): two nodes exchange
// messages through it without any network.
//
// Layout (bytes from the start of the device): the host side owns the area
// 0 - 1048575, the other side 1048576 - 2097151. Inside an area (offsets
// from its base): 0 handshake sector (byte 0 of the host area is the
// handshake byte of both sides), 512 marker sector, 1024 bye sector (byte 0
// = 1 once the owner closed), 1536 mailbox sector (byte 0 = 1: a message
// waits; bytes 4-7 its length, little-endian), 2048 message data. The first
// 2048 bytes of an area are its command area. Bytes from 2 MiB on are never
// touched here.
//
// A node writes its own area, reads the peer's, and writes into the peer's
// area only the acknowledgement (the peer's mailbox sector, all zeros). One
// message is in flight per direction. Every transfer is whole 512-byte
// sectors from page-aligned buffers, unbuffered and synchronous (DiskHelper).
//
// One OXQuorum serves the send thread (Send) and the receive thread
// (Receive) of one connection at once; Close may come from any thread.
class OXQuorum : NonCopyable {
 public:
  enum {
    AREA_SIZE = 1048576,
    SECTOR = 512,
    CMD_AREA = 2048,
    MARKER_OFFSET = 512,
    BYE_OFFSET = 1024,
    MAILBOX_OFFSET = 1536,
    DATA_OFFSET = 2048,
    // Longest message Send takes before it even looks at the disk.
    MAX_SEND_LENGTH = 1048568,
    // Working buffer of Send and Receive: bounds one message.
    WORK_BUFFER = 131072,
    // Default wait between two looks at the disk while a side waits for a
    // message, a free mailbox or an acknowledgement.
    POLL_MS = 200,
    // Wait between two looks during the opening handshake.
    HANDSHAKE_POLL_MS = 500,
    // How long a handshake step and an acknowledgement may take.
    LIMIT_MS = 5000,
  };

  explicit OXQuorum(std::string devicePath);
  // Close.
  virtual ~OXQuorum();

  // Close, then replace the device path.
  void Init(std::string devicePath);
  bool IsOpened();
  // Opens the device and runs the handshake of the given side with the peer
  // (the host waits a little over 5 s for the other side to appear and again
  // for it to confirm; the other side a little over 5 s for the host).
  // false when the device cannot be opened (the handle stays closed) or the
  // handshake fails (closed again, bye flag written).
  bool Open(bool hostSide);
  // Under the close mutex: when open, writes the own bye flag and closes the
  // device. Harmless when closed.
  void Close();

  // Delivers one message and returns once the peer acknowledged it. Throws
  // Exception*: "CON_ERR" "Buffer is to big!" (length > 1048568; stays open),
  // "SOCKET_DISCONNECTED" (closed), "BUFF_OVER" "buffer overflow" (more than
  // the working buffer), "CON_ERR"/"BUFF_OVER" on disk failures, and
  // "CON_TIMEOUT" "send timeout!" when no acknowledgement came within 5 s
  // (the message is withdrawn). Every failure but the first closes.
  void Send(const char* data, unsigned long length);
  // Waits (without limit) for the peer's next message, copies it into buffer
  // and returns its length. Throws Exception* (and closes): "CON_ERR" when
  // closed, on a disk failure, or when the peer said bye; "BUFF_OVER" when
  // the message does not fit size or the working buffer. When the
  // acknowledgement cannot be written the message is still returned, once,
  // and the quorum is closed.
  unsigned long Receive(char* buffer, unsigned long size);

  // The first page boundary after buffer (an aligned buffer gives buffer +
  // page size); *offset gets buffer mod page size. Callers reserve one page
  // more than they transfer.
  char* GetAlignedPointer(char* buffer, unsigned long* offset);

  // Wait between two looks at the disk outside the handshake (POLL_MS by
  // default; tests shorten it). Any thread, any time.
  void SetPollInterval(unsigned int ms) { _pollMs.store(ms == 0 ? 1 : ms); }

 private:
  uint32_t _GetOffset(int offset) const { return _areaBase + static_cast<uint32_t>(offset); }
  // Zeroes 2048 bytes of buffer and writes them over the own command area.
  bool _ClearCmdArea(char* buffer);
  // Byte 1 and 511 zero bytes over the own bye sector.
  bool _WriteByeFlag(char* buffer);
  bool _OpenHostSide();
  // One step of the host's handshake: writes mark as the handshake byte (the
  // rest of sector goes along), then waits until the other side answers with
  // awaited. False on a disk failure, on any other value, or after LIMIT_MS.
  bool _HostHandshakeStep(char* sector, char mark, char awaited);
  bool _OpenSlaveSide();
  // "(<code>)(<text>)" of the disk's last failure.
  std::string _LastError();

  uint32_t _areaBase = 0;
  int _pageSize;
  bool _hostSide = false;
  DiskHelper _disk;
  std::string _devicePath;
  Mutex _closeMutex;
  std::atomic<unsigned int> _pollMs{POLL_MS};
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
