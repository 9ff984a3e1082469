#ifndef TARROW_RESOURCE_NETADAPTORENTITY_H
#define TARROW_RESOURCE_NETADAPTORENTITY_H

#include <string>
#include <vector>

#include "entity/IEntity.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

// One network interface as the console lists it: name, description, display
// name and its address texts. Text: the three names, one per line, then the
// addresses joined by '|'.
class NetAdaptorEntity : public Entity::IEntity {
 public:
  NetAdaptorEntity() = default;
  NetAdaptorEntity(std::string name, std::string description, std::string displayName,
                   std::vector<std::string> addresses);
  // Parses the text form, split into lines; Exception* "FORM_ERR" when lines run out.
  NetAdaptorEntity(std::vector<std::string>* lines, unsigned* index);

  std::string ToString() override;

  std::string name;
  std::string description;
  std::string displayName;
  std::vector<std::string> addresses;
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
