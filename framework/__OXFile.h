#ifndef TARROW_FRAMEWORK_OXFILE_H
#define TARROW_FRAMEWORK_OXFILE_H

#include <string>

#include "framework/DateTime.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

// One directory entry as Convert::ListFile lists it. Text form: name "|" time.
class __OXFile {
 public:
  __OXFile(std::string fullPath, std::string name, DateTime time);
  // Parses the text form; a bad time throws Exception* "DATETIME".
  explicit __OXFile(std::string text);

  std::string ToString() const;
  bool operator<(const __OXFile& other) const;
  bool operator>(const __OXFile& other) const;

  std::string fullPath;
  std::string name;
  DateTime time;
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
