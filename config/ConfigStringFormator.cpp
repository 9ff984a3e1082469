#include "config/ConfigStringFormator.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {

namespace {

// Records back to back until the lines run out; on any failure the records
// built so far are freed and the exception passes on.
template <typename Record>
std::vector<Record*>* MakeList(const std::string& text) {
  std::vector<Record*>* list = new std::vector<Record*>();
  if (text.empty()) return list;
  std::vector<std::string> lines = IConfig::SplitLines(text);
  unsigned int index = 0;
  try {
    while (index < lines.size()) list->push_back(new Record(&lines, &index));
  } catch (...) {
    for (Record* record : *list) delete record;
    delete list;
    throw;
  }
  return list;
}

}  // namespace

std::vector<IPResourceConfig*>* ConfigStringFormator::MakeIPConfig(std::string text) {
  return MakeList<IPResourceConfig>(text);
}
std::vector<ProgramResConfig*>* ConfigStringFormator::MakeProgramConfig(std::string text) {
  return MakeList<ProgramResConfig>(text);
}
std::vector<ServiceResConfig*>* ConfigStringFormator::MakeServiceConfig(std::string text) {
  return MakeList<ServiceResConfig>(text);
}
std::vector<CustomResConfig*>* ConfigStringFormator::MakeCustomConfig(std::string text) {
  return MakeList<CustomResConfig>(text);
}
std::vector<DiskVolumeResConfig*>* ConfigStringFormator::MakeDiskVolumeConfig(std::string text) {
  return MakeList<DiskVolumeResConfig>(text);
}
std::vector<FileShareResConfig*>* ConfigStringFormator::MakeFileShareConfig(std::string text) {
  return MakeList<FileShareResConfig>(text);
}
std::vector<DrbdResConfig*>* ConfigStringFormator::MakeDrbdResConfig(std::string text) {
  return MakeList<DrbdResConfig>(text);
}
std::vector<AliasResConfig*>* ConfigStringFormator::MakeAliasConfig(std::string text) {
  return MakeList<AliasResConfig>(text);
}
std::vector<ResourceTreeConfig*>* ConfigStringFormator::MakeResourceTreeConfig(std::string text) {
  return MakeList<ResourceTreeConfig>(text);
}
std::vector<DrbdMirrorConfig*>* ConfigStringFormator::MakeDrbdMirrorConfig(std::string text) {
  return MakeList<DrbdMirrorConfig>(text);
}

std::vector<IPResourceConfig>* ConfigStringFormator::MakeIPResourceConfig(std::string text) {
  std::vector<IPResourceConfig*>* pointers = MakeList<IPResourceConfig>(text);
  std::vector<IPResourceConfig>* values = new std::vector<IPResourceConfig>();
  values->reserve(pointers->size());
  for (IPResourceConfig* record : *pointers) {
    values->push_back(*record);
    delete record;
  }
  delete pointers;
  return values;
}

}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale
