#ifndef TARROW_CONFIG_NUMBERRANGE_H
#define TARROW_CONFIG_NUMBERRANGE_H

#include <cstdint>
#include <limits>
#include <string>

namespace Oxbrindale {
namespace Velmora {
namespace Config {

// The values a number field of a record may take, both ends included. A
// record defines the range of each of its fields once; the same range is
// applied when the record is read from its file and when a console hands it
// in.
struct NumberRange {
  int64_t min;
  uint64_t max;

  // The whole range of the field's type.
  template <typename T>
  static constexpr NumberRange Of() {
    return NumberRange{static_cast<int64_t>(std::numeric_limits<T>::min()),
                       static_cast<uint64_t>(std::numeric_limits<T>::max())};
  }

  // A value of a field of at most 32 bits (or any signed 64-bit value).
  bool Contains(int64_t value) const {
    return value >= min && (value < 0 || static_cast<uint64_t>(value) <= max);
  }
  // A number given as its sign and magnitude (so that every 64-bit value fits).
  bool Contains(bool negative, uint64_t magnitude) const {
    if (negative) {
      if (min >= 0) return magnitude == 0 && min == 0;
      return magnitude <= static_cast<uint64_t>(-(min + 1)) + 1u;
    }
    return magnitude <= max && (min <= 0 || magnitude >= static_cast<uint64_t>(min));
  }
  // "min～max".
  std::string Text() const { return std::to_string(min) + "～" + std::to_string(max); }
};

}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
