#ifndef TARROW_ADMIN_IADMINHEARTBEAT_H
#define TARROW_ADMIN_IADMINHEARTBEAT_H

namespace Oxbrindale {
namespace Velmora {
namespace Core {

// What the console service asks of the heartbeat link manager.
class IAdminHeartBeat {
 public:
  virtual ~IAdminHeartBeat() = default;
  // The heartbeat settings changed (port or host role): the manager creates,
  // moves or keeps its heartbeat listener accordingly.
  virtual void OnHBListenPortModified() = 0;
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
