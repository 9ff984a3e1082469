#include "protocol/ConnectionTrace.h"

#include <cstdio>

namespace Oxbrindale {
namespace Velmora {
namespace OXProctol {

void PrintConnectionTrace(const std::string& text, const void* connection) {
  std::printf("%s %p\n", text.c_str(), connection);
  std::fflush(stdout);
}

}  // namespace OXProctol
}  // namespace Velmora
}  // namespace Oxbrindale
