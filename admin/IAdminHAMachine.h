#ifndef TARROW_ADMIN_IADMINHAMACHINE_H
#define TARROW_ADMIN_IADMINHAMACHINE_H

#include "entity/RunningStatusEntity.h"

namespace Oxbrindale {
namespace Velmora {
namespace Core {

// What the console service asks of the HA machine.
class IAdminHAMachine {
 public:
  virtual ~IAdminHAMachine() = default;
  // True once the machine's end was requested: consoles are then refused.
  virtual bool IsEndRequested() = 0;
  // A copy of the machine's running status.
  virtual Entity::RunningStatusEntity GetRunningStatus() = 0;
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
