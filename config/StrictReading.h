#ifndef TARROW_CONFIG_STRICTREADING_H
#define TARROW_CONFIG_STRICTREADING_H

#include <string>

#include "config/NumberRange.h"
#include "framework/NonCopyable.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {

// While an object of this class lives on a thread, the records parsed on
// that thread read their number lines strictly: a number line must hold one
// decimal number (blanks around it allowed, a '-' only where the field is
// signed) that lies in the field's range; anything else makes the parse
// throw Exception* "FORM_ERR" naming the line (counted from 1 in the lines
// being parsed) and its text. Outside such a scope numbers read as they
// always have (see IConfig).
//
// The store opens one around every configuration file it reads, so that a
// garbled number never runs as some other value; the console opens one
// around the bodies whose numbers must not wrap into another value.
// Scopes nest; the innermost one counts.
class StrictReading : Framework::NonCopyable {
 public:
  // fieldRanges: hold each field to the range its record gives it (a file);
  // false: only to the range of the field's type (a console body, whose
  // record then checks its ranges with messages of its own).
  explicit StrictReading(bool fieldRanges = true);
  ~StrictReading();

  // The innermost scope of the calling thread; null outside any.
  static StrictReading* Current();

  // Called by IConfig::MoveAndGet with the index of the line it hands out.
  void NoteLine(unsigned int index) { _line = index + 1; }
  // Throws Exception* "FORM_ERR" unless text is a decimal number in range
  // (the field's range, or typeRange when this scope checks types only).
  void Check(const std::string& text, const NumberRange& range, const NumberRange& typeRange);
  // True once Check refused a number in this scope.
  bool Refused() const { return _refused; }

 private:
  StrictReading* _outer;
  bool _fieldRanges;
  bool _refused = false;
  unsigned int _line = 0;
};

}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
