#include "entity/IEntity.h"

#include <sstream>

#include "framework/Exception.h"

namespace Oxbrindale {
namespace Velmora {
namespace Entity {

std::string IEntity::MoveAndGet(std::vector<std::string>* lines, unsigned* index) {
  if (*index >= lines->size()) {
    throw new Exception("FORM_ERR", "存储结构数据错误，无法从序列化数据中反序列化存储数据!");
  }
  std::string line = (*lines)[*index];
  ++*index;
  return line;
}

int64_t IEntity::_ReadNumber(const std::string& line) {
  std::istringstream in(line);
  int64_t value = 0;
  in >> value;
  return value;
}

}  // namespace Entity
}  // namespace Velmora
}  // namespace Oxbrindale
