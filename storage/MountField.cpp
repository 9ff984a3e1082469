#include "storage/MountField.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

namespace {

bool _IsOctal(char c) { return c >= '0' && c <= '7'; }

}  // namespace

std::string MountField::Decode(const std::string& field) {
  std::string out;
  out.reserve(field.size());
  for (std::string::size_type i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && _IsOctal(field[i + 1]) && _IsOctal(field[i + 2]) &&
        _IsOctal(field[i + 3])) {
      int value = (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
      if (value <= 0xff) {
        out += static_cast<char>(value);
        i += 3;
        continue;
      }
    }
    out += field[i];
  }
  return out;
}

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
