#include "framework/OXDebug.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

void OXDebug(std::string) {}

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
