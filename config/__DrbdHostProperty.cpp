#include "config/__DrbdHostProperty.h"

#include <vector>

#include "config/IConfig.h"
#include "framework/Convert.h"
#include "framework/Exception.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {

using Framework::Convert;

__DrbdHostProperty::__DrbdHostProperty(std::string line) {
  std::vector<std::string> fields = Convert::tokenize(line, "|", false, "");
  if (fields.size() < 7) throw new Exception("", "The DRBD Property config is invalid.");
  hostName = fields[0];
  disk = fields[1];
  address = fields[2];
  port = IConfig::ReadNumber<int32_t>(fields[3]);
  metaDiskMode = static_cast<int16_t>(IConfig::ReadNumber<uint16_t>(fields[4]));
  metaDisk = fields[5];
  metaDiskIndex = IConfig::ReadNumber<int64_t>(fields[6]);
}

std::string __DrbdHostProperty::ToString() const {
  return hostName + "|" + disk + "|" + address + "|" + IConfig::NumberText(port) + "|" +
         IConfig::NumberText(metaDiskMode) + "|" + metaDisk + "|" +
         IConfig::NumberText(static_cast<uint64_t>(metaDiskIndex));
}

std::string __DrbdHostProperty::ToDrbdConfigString(int minor) const {
  std::string text;
  text += "\ton " + hostName + "{\n";
  text += "\t\tdevice\t/dev/drbd" + IConfig::NumberText(minor) + ";\n";
  text += "\t\tdisk\t" + diskPath + ";\n";
  text += "\t\taddress\t" + address + ":" + IConfig::NumberText(port) + ";\n";
  text += "\t\tmeta-disk\t";
  if (metaDiskMode == 0) {
    text += "internal";
  } else {
    text += metaDiskPath + "[" + IConfig::NumberText(static_cast<uint64_t>(metaDiskIndex)) + "]";
  }
  text += ";\n\t}";
  return text;
}

void __DrbdHostProperty::Verify(const std::string& which) const {
  IConfig::CheckDrbdText(hostName, "主机" + which + "的主机名");
  IConfig::CheckDrbdText(address, "主机" + which + "的地址");
  IConfig::CheckDrbdText(disk, "主机" + which + "的数据卷");
  IConfig::CheckDrbdText(metaDisk, "主机" + which + "的元数据卷");
}

}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale
