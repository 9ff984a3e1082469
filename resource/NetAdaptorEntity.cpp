#include "resource/NetAdaptorEntity.h"

#include "framework/Convert.h"
#include "framework/Exception.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

NetAdaptorEntity::NetAdaptorEntity(std::string name_, std::string description_, std::string displayName_,
                                   std::vector<std::string> addresses_)
    : name(std::move(name_)),
      description(std::move(description_)),
      displayName(std::move(displayName_)),
      addresses(std::move(addresses_)) {}

NetAdaptorEntity::NetAdaptorEntity(std::vector<std::string>* lines, unsigned* index) {
  try {
    name = MoveAndGet(lines, index);
    description = MoveAndGet(lines, index);
    displayName = MoveAndGet(lines, index);
    std::string list = MoveAndGet(lines, index);
    addresses = Convert::tokenize(list, "|", true, "");
  } catch (Exception* e) {
    delete e;
    throw new Exception("FORM_ERR", "存储结构数据错误，无法从序列化数据中反序列化存储数据!");
  }
}

std::string NetAdaptorEntity::ToString() {
  std::string text = name + "\n" + description + "\n" + displayName + "\n";
  for (size_t i = 0; i < addresses.size(); ++i) text += (i == 0 ? "" : "|") + addresses[i];
  return text;
}

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
