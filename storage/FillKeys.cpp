#include "storage/FillKeys.h"

#include <string.h>

#include <string>

#include "framework/MachineController.h"
#include "framework/OXDebug.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

void FillKeys(unsigned char* keys, unsigned long length) {
  memset(keys, 0, length);
  const std::string name = MachineController::GetHostName();
  OXDebug("FillKeys:" + name);
  memcpy(keys, name.data(), name.size() < length ? name.size() : length);
}

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
