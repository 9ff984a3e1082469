#ifndef TARROW_FRAMEWORK_GUID_H
#define TARROW_FRAMEWORK_GUID_H

#include <cstdint>
#include <string>

// 16 bytes; the fields are a view onto them in host byte order.
struct _GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  unsigned char Data4[8];
};

namespace Oxbrindale {

// A new random GUID (libuuid).
_GUID CreateGuid();
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case hexadecimal.
std::string GuidToString(const _GUID& guid);

}  // namespace Oxbrindale

#endif
