#ifndef TARROW_FRAMEWORK_PROCESSTABLE_H
#define TARROW_FRAMEWORK_PROCESSTABLE_H

#include <string>
#include <vector>

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

// The running processes of one executable file, as /proc shows them (the
// executable path is a daemon's identity on this node).
class ProcessTable {
 public:
  ProcessTable() = delete;

  // Pids of the running processes whose executable is path ("<path>
  // (deleted)" too: a program whose file was replaced), in /proc order,
  // without this process when skipSelf. Zombies have no executable and are
  // left out.
  static std::vector<int> PidsOf(const std::string& path, bool skipSelf);
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
