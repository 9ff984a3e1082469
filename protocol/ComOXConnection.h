#ifndef TARROW_PROTOCOL_COMOXCONNECTION_H
#define TARROW_PROTOCOL_COMOXCONNECTION_H

#include <string>

#include "protocol/IOXConnection.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {
class OXCom;
}
namespace OXProctol {

// A message connection over a serial line (OXCom): one pack per frame
// (five fields joined by LF, then a NUL). Created unconnected; Connect opens
// the port, runs the carriage-return handshake with the far end and starts
// the send and receive threads. Connected once; to connect again its owner
// deletes it and creates a new one.
class ComOXConnection : public IOXConnection {
 protected:
  void _ProcessDisconnected() override {}

 public:
  ComOXConnection(IPushPackProcessor* pushProcessor, IRequestPackProcessor* requestProcessor);
  // Disconnects (which wakes both threads at once), stops and joins the
  // threads, then frees the port. Never run on one of its own threads.
  ~ComOXConnection() override;

  // Opens devicePath (such as "/dev/ttyS0") at baudRate and runs the
  // handshake: blocks at least 2 s, at most about 17 s. Failure:
  // Exception* "COM_ERR", "打开串口失败！".
  void Connect(const std::string& devicePath, unsigned int baudRate);

  bool IsConnected() override;
  // Closes the port; the threads notice at once. Any thread, any number of times.
  void Disconnect() override;
  // Always "COM".
  std::string GetRemoteAddr() override { return "COM"; }

 private:
  Framework::OXCom* _com;  // owned
};

}  // namespace OXProctol
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
