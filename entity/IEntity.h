#ifndef TARROW_ENTITY_IENTITY_H
#define TARROW_ENTITY_IENTITY_H

#include <cstdint>
#include <string>
#include <vector>

namespace Oxbrindale {
namespace Velmora {
namespace Entity {

// Base of every status record the console reads. A record's text holds one
// field per line, joined by '\n', without a final newline. Parsing
// constructors take the split lines and a running index and read with
// MoveAndGet, leaving the index on the first line they did not read.
class IEntity {
 public:
  virtual std::string ToString() = 0;
  virtual ~IEntity() = default;

  // Copy of lines[*index], then advances *index. Throws Exception* "FORM_ERR"
  // (index unchanged) when the lines have run out.
  static std::string MoveAndGet(std::vector<std::string>* lines, unsigned* index);

 protected:
  // A number line read as a stream reads a 64-bit integer (leading blanks
  // skipped, stops at the first character that cannot continue it); 0 when
  // the line does not start with a number. Callers keep the low bits of
  // their field's width.
  static int64_t _ReadNumber(const std::string& line);
};

}  // namespace Entity
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
