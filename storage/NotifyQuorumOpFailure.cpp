#include "storage/NotifyQuorumOpFailure.h"

#include <string.h>

#include <cerrno>
#include <string>

#include "framework/OXDebug.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

void NotifyQuorumOpFailure(bool read) {
  const int code = errno;
  char buf[256];
  std::string text = strerror_r(code, buf, sizeof(buf));
  OXDebug(std::string(read ? "read" : "write") + " quorum disk failure, " + std::to_string(code) + "," + text);
}

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
