#ifndef TARROW_CONFIG_ICONFIG_H
#define TARROW_CONFIG_ICONFIG_H

#include <cstdint>
#include <string>
#include <vector>

#include "config/NumberRange.h"
#include "config/StrictReading.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {

// Base of every configuration record. A record's text is one field per line,
// lines joined by a single '\n', no '\n' after the last line, no escaping.
// Parsing constructors take the split lines and a running index and read
// their fields in order through MoveAndGet.
//
// The static helpers below are the one place that fixes how a line is read
// and written, so that every record kind behaves the same way:
// - numbers: read as a 64-bit decimal (leading blanks skipped, optional
//   sign, reading stops at the first non-digit, the rest of the line is
//   ignored) and narrowed to the field's width by keeping the low bits; a
//   line that holds no number reads as 0. Inside a StrictReading scope (the
//   store's file loads) such lines are refused instead;
// - booleans: written "true"/"false"; a line reads true exactly when it is
//   "true" (case counts);
// - lists in one line: elements joined by '|'; read back by splitting at '|'
//   keeping empty pieces; an empty line is an empty list.
class IConfig {
 public:
  virtual ~IConfig() = default;

  // The record's text.
  virtual std::string ToString() = 0;

  // Returns a copy of (*lines)[*index] and advances the index. Throws
  // Exception* "FORM_ERR" (index untouched) when the lines have run out.
  std::string MoveAndGet(std::vector<std::string>* lines, unsigned int* index);

  // ---- reading and writing of lines -------------------------------------

  // The number at the start of a line as a 64-bit value (modulo 2^64); 0
  // when the line does not start with a number.
  static int64_t ParseInt64(const std::string& line);

  // The line's number narrowed to T (the low bits of the 64-bit value).
  // Inside a StrictReading scope the line must instead be a decimal number
  // in range (the field's own range, or the whole range of T), else
  // Exception* "FORM_ERR".
  template <typename T>
  static T ReadNumber(const std::string& line) {
    return ReadNumber<T>(line, NumberRange::Of<T>());
  }
  template <typename T>
  static T ReadNumber(const std::string& line, const NumberRange& range) {
    if (StrictReading* strict = StrictReading::Current()) strict->Check(line, range, NumberRange::Of<T>());
    return static_cast<T>(static_cast<uint64_t>(ParseInt64(line)));
  }

  // Decimal text of a number of the field's own type (16-bit fields are
  // written as numbers, never as characters).
  template <typename T>
  static std::string NumberText(T value) {
    return std::to_string(+value);
  }

  static bool ReadBool(const std::string& line);
  static std::string BoolText(bool value);

  // Elements joined by '|' (each followed by '|', the last '|' dropped).
  static std::string JoinList(const std::vector<std::string>& elements);
  // Split at '|', empty pieces kept; "" gives an empty list.
  static std::vector<std::string> SplitList(const std::string& line);

  // A whole text split into lines at '\n' (every CR removed first), empty
  // lines kept, an empty last line after a final '\n' included.
  static std::vector<std::string> SplitLines(const std::string& text);

  // ---- checks of console input (never applied to records read from files) --
  // Each throws Exception* "FORM_ERR" with a message naming the field (label).

  // Refuses CR, LF or NUL: such a text would split the record's line.
  static void CheckText(const std::string& value, const std::string& label);
  // CheckText on every element, and refuses '|' inside an element.
  static void CheckListText(const std::vector<std::string>& elements, const std::string& label);
  // For texts written into /etc/drbd.conf or onto a DRBD command line:
  // CheckText, and refuses '"', '{', '}', ';', '|' and blanks (space, tab,
  // vertical tab, form feed).
  static void CheckDrbdText(const std::string& value, const std::string& label);

 protected:
  IConfig() = default;
  IConfig(const IConfig&) = default;
  IConfig& operator=(const IConfig&) = default;
};

}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
