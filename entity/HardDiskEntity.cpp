#include "entity/HardDiskEntity.h"

#include <cctype>
#include <sstream>

#include "framework/Convert.h"

namespace Oxbrindale {
namespace Velmora {
namespace Entity {

using Framework::Convert;

HardDiskEntity::HardDiskEntity() : number(0), fromConfig(false), size(0) {}

HardDiskEntity::HardDiskEntity(const HardDiskEntity& other) = default;

HardDiskEntity& HardDiskEntity::operator=(const HardDiskEntity& other) = default;

HardDiskEntity::HardDiskEntity(std::vector<std::string>* lines, unsigned* index)
    : number(0), fromConfig(false), size(0) {
  diskId = MoveAndGet(lines, index);
  devicePath = MoveAndGet(lines, index);
  number = static_cast<uint32_t>(_ReadNumber(MoveAndGet(lines, index)));
  fromConfig = MoveAndGet(lines, index) == "1";
  identity = MoveAndGet(lines, index);
  size = _ReadNumber(MoveAndGet(lines, index));
  std::string relationLine = MoveAndGet(lines, index);
  for (const std::string& item : Convert::tokenize(relationLine, ",", true, "")) {
    VolumeMountPointRelation relation;
    std::string::size_type quote = item.find('"');
    relation.mountPoint = item.substr(0, quote);
    if (quote != std::string::npos) relation.devicePath = item.substr(quote + 1);
    relations.push_back(relation);
  }
}

HardDiskEntity::~HardDiskEntity() = default;

std::string HardDiskEntity::ToString() {
  std::ostringstream out;
  out << diskId << '\n'
      << devicePath << '\n'
      << number << '\n'
      << (fromConfig ? "1" : "0") << '\n'
      << identity << '\n'
      << size << '\n';
  for (size_t i = 0; i < relations.size(); ++i) {
    if (i > 0) out << ',';
    out << relations[i].mountPoint << '"' << relations[i].devicePath;
  }
  return out.str();
}

std::string HardDiskEntity::GetCompareString() {
  std::string upper = identity;
  for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  std::string::size_type at = upper.find("TARGET");
  return at == std::string::npos ? upper : upper.substr(at);
}

}  // namespace Entity
}  // namespace Velmora
}  // namespace Oxbrindale
