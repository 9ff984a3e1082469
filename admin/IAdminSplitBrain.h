#ifndef TARROW_ADMIN_IADMINSPLITBRAIN_H
#define TARROW_ADMIN_IADMINSPLITBRAIN_H

#include <string>

namespace Oxbrindale {
namespace Velmora {
namespace Core {

// The split-brain watcher as the console reaches it.
class IAdminSplitBrain {
 public:
  virtual ~IAdminSplitBrain() = default;
  // Starts the manual split-brain recovery of the mirror named name on a
  // thread of its own and returns (side 1 keeps this node's data, 0 drops
  // it). Throws Exception* "DRBD" "无法根据指定的包名查找到镜像包。" when no
  // mirror has that name, and Exception* "DRBD" with the reason when no
  // recovery starts (one of that mirror's device runs already, its thread
  // cannot start).
  virtual void BeginSetResumeBS(const std::string& name, int side) = 0;
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
