#ifndef TARROW_CONFIG_CONFIGSTRINGFORMATOR_H
#define TARROW_CONFIG_CONFIGSTRINGFORMATOR_H

#include <string>
#include <vector>

#include "config/AliasResConfig.h"
#include "config/CustomResConfig.h"
#include "config/DiskVolumeResConfig.h"
#include "config/DrbdMirrorConfig.h"
#include "config/DrbdResConfig.h"
#include "config/FileShareResConfig.h"
#include "config/IPResourceConfig.h"
#include "config/ProgramResConfig.h"
#include "config/ResourceTreeConfig.h"
#include "config/ServiceResConfig.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {

// Builds the list of records of one kind from the text of its file: records
// back to back, each consuming its own number of lines. "" gives an empty
// list. A text that is not a whole number of records throws the record's
// Exception* ("FORM_ERR") and returns nothing (records already built are
// freed). The caller owns the returned list and its records.
class ConfigStringFormator {
 public:
  ConfigStringFormator() = delete;

  static std::vector<IPResourceConfig*>* MakeIPConfig(std::string text);
  static std::vector<ProgramResConfig*>* MakeProgramConfig(std::string text);
  static std::vector<ServiceResConfig*>* MakeServiceConfig(std::string text);
  static std::vector<CustomResConfig*>* MakeCustomConfig(std::string text);
  static std::vector<DiskVolumeResConfig*>* MakeDiskVolumeConfig(std::string text);
  static std::vector<FileShareResConfig*>* MakeFileShareConfig(std::string text);
  static std::vector<DrbdResConfig*>* MakeDrbdResConfig(std::string text);
  static std::vector<AliasResConfig*>* MakeAliasConfig(std::string text);
  static std::vector<ResourceTreeConfig*>* MakeResourceTreeConfig(std::string text);
  static std::vector<DrbdMirrorConfig*>* MakeDrbdMirrorConfig(std::string text);
  // The address records as values instead of pointers.
  static std::vector<IPResourceConfig>* MakeIPResourceConfig(std::string text);
};

}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
