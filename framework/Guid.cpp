#include "framework/Guid.h"

#include <uuid/uuid.h>

#include <cstdio>
#include <cstring>

static_assert(sizeof(_GUID) == sizeof(uuid_t), "a GUID is 16 bytes");

namespace Oxbrindale {

_GUID CreateGuid() {
  uuid_t bytes;
  uuid_generate(bytes);
  _GUID guid;
  memcpy(&guid, bytes, sizeof(guid));
  return guid;
}

std::string GuidToString(const _GUID& guid) {
  char text[64];
  snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.Data1,
           static_cast<unsigned>(guid.Data2), static_cast<unsigned>(guid.Data3), guid.Data4[0], guid.Data4[1],
           guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return text;
}

}  // namespace Oxbrindale
