#ifndef TARROW_ADMIN_IADMINALARMS_H
#define TARROW_ADMIN_IADMINALARMS_H

#include <string>

namespace Oxbrindale {
namespace Velmora {
namespace Core {

// Raises alarms for the console service (OXAlarm in the daemon).
class IAdminAlarms {
 public:
  virtual ~IAdminAlarms() = default;
  // Queues an alarm of kind 0..16. Never called while a ConfigListEdit is
  // open: the alarm manager reads the store.
  virtual void Raise(int kind, const std::string& text) = 0;
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
