#ifndef TARROW_FRAMEWORK_OXDEBUG_H
#define TARROW_FRAMEWORK_OXDEBUG_H

#include <string>

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

// Debug hook; debug texts are dropped.
void OXDebug(std::string text);

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
