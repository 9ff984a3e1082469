#ifndef TARROW_ADMIN_IADMINCONSOLELISTENER_H
#define TARROW_ADMIN_IADMINCONSOLELISTENER_H

namespace Oxbrindale {
namespace Velmora {
namespace Core {

// The console listener as handlers see it (a new console port).
class IAdminConsoleListener {
 public:
  virtual ~IAdminConsoleListener() = default;
  // true when consoles can connect now.
  virtual bool IsListening() = 0;
  // Moves the listener to port: true when it listens there now, false when
  // the port cannot be bound (the old port stays in service).
  virtual bool ResetListenPort(unsigned short port) = 0;
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
