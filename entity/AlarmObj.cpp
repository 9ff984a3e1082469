#include "entity/AlarmObj.h"

#include <algorithm>
#include <cstdint>
#include <sstream>

namespace Oxbrindale {
namespace Velmora {
namespace Entity {

using Framework::DateTime;

namespace {

// A decimal number read as a stream reads one, kept in 32 bits; 0 when the
// text does not begin with a number.
int _ReadKind(const std::string& text) {
  std::istringstream in(text);
  long long value = 0;
  if (!(in >> value)) return 0;
  return static_cast<int>(static_cast<uint32_t>(static_cast<unsigned long long>(value)));
}

}  // namespace

AlarmObj::AlarmObj(int kind_, std::string text_, DateTime time_) : kind(kind_), text(std::move(text_)), time(time_) {}

AlarmObj::AlarmObj(std::string line) : kind(0), text(), time() {
  line.erase(std::remove(line.begin(), line.end(), '\r'), line.end());
  std::string::size_type first = line.find('|');
  if (first == std::string::npos) return;
  std::string::size_type second = line.find('|', first + 1);
  if (second == std::string::npos) return;

  DateTime parsed(line.substr(first + 1, second - first - 1));  // may throw "DATETIME"
  kind = _ReadKind(line.substr(0, first));
  time = parsed;
  text = line.substr(second + 1);
}

std::string AlarmObj::ToString() {
  std::ostringstream out;
  out << kind << '|' << time.ToString() << '|' << text;
  return out.str();
}

bool AlarmObj::operator<(const AlarmObj& other) const { return time < other.time; }

bool AlarmObj::operator>(const AlarmObj& other) const { return time > other.time; }

}  // namespace Entity
}  // namespace Velmora
}  // namespace Oxbrindale
