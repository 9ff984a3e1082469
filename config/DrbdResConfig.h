#ifndef TARROW_CONFIG_DRBDRESCONFIG_H
#define TARROW_CONFIG_DRBDRESCONFIG_H

#include <cstdint>
#include <string>
#include <vector>

#include "config/IResourceConfig.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {

// DRBD mirror used in a resource tree (kind 8). Own lines: 15 mirror name
// (a DRBD mirror record's name), 16 mount point ("" : not mounted).
class DrbdResConfig : public IResourceConfig {
 public:
  DrbdResConfig(std::vector<std::string>* lines, unsigned int* index);
  DrbdResConfig(const DrbdResConfig& other);
  DrbdResConfig& operator=(const DrbdResConfig&) = delete;
  ~DrbdResConfig() override;

  std::string ToString() override;
  void CopyOf(IResourceConfig& other) override;
  // Key fields: lines 15 and 16.
  bool IsKeyConfigChanged(IResourceConfig& other) override;

  std::string GetMirrorName();
  void SetMirrorName(const std::string& name);
  std::string GetMountPoint();
  void SetMountPoint(const std::string& path);

 protected:
  void _CheckOwnTexts() const override;

 private:
  std::string _mirrorName;
  std::string _mountPoint;
};

}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
