#include "framework/ProcessTable.h"

#include <unistd.h>

#include "framework/Convert.h"
#include "framework/Env.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

std::vector<int> ProcessTable::PidsOf(const std::string& path, bool skipSelf) {
  std::vector<int> pids;
  const int self = static_cast<int>(getpid());
  const std::string deleted = path + " (deleted)";
  for (const auto& entry : Convert::ListFile(Env::Get()->SystemPath("/proc"), "*")) {
    if (entry.fullPath.empty() || !Convert::IsInteger(entry.name)) continue;
    const int pid = Convert::StringToInt(entry.name);
    if (pid < 1 || (skipSelf && pid == self)) continue;
    const std::string exe = Convert::ReadLink(entry.fullPath + "/exe");
    if (!exe.empty() && (exe == path || exe == deleted)) pids.push_back(pid);
  }
  return pids;
}

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
