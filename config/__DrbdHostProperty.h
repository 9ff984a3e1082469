#ifndef TARROW_CONFIG_DRBDHOSTPROPERTY_H
#define TARROW_CONFIG_DRBDHOSTPROPERTY_H

#include <cstdint>
#include <string>

namespace Oxbrindale {
namespace Velmora {
namespace Config {

// One node of a DRBD mirror. Text: host name|disk|address|port|meta-disk
// mode|meta disk|meta-disk index. diskPath and metaDiskPath are not part of
// the text: the drbd.conf writer fills them before it renders the section.
struct __DrbdHostProperty {
  __DrbdHostProperty() = default;
  // Parses a host line; fewer than seven fields throw Exception* with an
  // empty code and "The DRBD Property config is invalid."; fields after the
  // seventh are ignored.
  explicit __DrbdHostProperty(std::string line);

  std::string ToString() const;
  // The host block of the drbd.conf resource section for device minor.
  std::string ToDrbdConfigString(int minor) const;
  // Console-input checks (Exception* "FORM_ERR"); which names the host in
  // the messages ("A" or "B").
  void Verify(const std::string& which) const;

  std::string hostName;
  std::string disk;  // volume identifier of the data volume
  std::string address;
  int32_t port = 0;
  int16_t metaDiskMode = 0;  // 0: internal meta data
  std::string metaDisk;      // volume identifier of the meta-data volume
  int64_t metaDiskIndex = 0;  // written unsigned
  std::string diskPath;
  std::string metaDiskPath;
};

}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
