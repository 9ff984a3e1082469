#ifndef TARROW_ADMIN_ASYNCDELETEHBLMAT_H
#define TARROW_ADMIN_ASYNCDELETEHBLMAT_H

#include <functional>

#include "framework/IOXThreadPoolExec.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {
class HeartBeatLinkConfig;
}
namespace Core {

class IAdminEvents;

// Thread-pool job that destroys a heartbeat link and its configuration
// record after both left the heartbeat manager and the store, then tells
// the consoles that the links changed ("HB_CHANGED\t4294967295").
class AsyncDeleteHBLMat : public Framework::IOXThreadPoolExec {
 public:
  // destroyLink deletes the link (empty: no link); config may be null. The
  // job owns both from here on; events is not owned.
  AsyncDeleteHBLMat(std::function<void()> destroyLink, Config::HeartBeatLinkConfig* config, IAdminEvents* events);
  // Frees what Run did not (a job that never ran).
  ~AsyncDeleteHBLMat() override;

  void Run() override;

 private:
  std::function<void()> _destroyLink;
  Config::HeartBeatLinkConfig* _config;
  IAdminEvents* _events;
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
