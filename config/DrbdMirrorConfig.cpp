#include "config/DrbdMirrorConfig.h"

#include "framework/Env.h"
#include "framework/Exception.h"
#include "framework/MutexGuard.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {

using Framework::Env;
using Framework::MutexGuard;

DrbdMirrorConfig::DrbdMirrorConfig()
    : _rate(0), _minor(0), _splitBrainPolicy(0), _splitBrainFlag(0), _dataStamp(0) {}

DrbdMirrorConfig::DrbdMirrorConfig(std::vector<std::string>* lines, unsigned int* index) : DrbdMirrorConfig() {
  _protocol = MoveAndGet(lines, index);
  _rate = ReadNumber<int32_t>(MoveAndGet(lines, index));
  _sharedSecret = MoveAndGet(lines, index);
  _minor = ReadNumber<int32_t>(MoveAndGet(lines, index));
  _name = MoveAndGet(lines, index);
  _splitBrainPolicy = ReadNumber<uint16_t>(MoveAndGet(lines, index));
  _splitBrainFlag = ReadNumber<uint32_t>(MoveAndGet(lines, index));
  _dataStamp = ReadNumber<uint64_t>(MoveAndGet(lines, index));
  _hostA = __DrbdHostProperty(MoveAndGet(lines, index));
  _hostB = __DrbdHostProperty(MoveAndGet(lines, index));
}

DrbdMirrorConfig::DrbdMirrorConfig(const DrbdMirrorConfig& other) : IConfig() {
  MutexGuard guard(other._lock);
  _protocol = other._protocol;
  _rate = other._rate;
  _sharedSecret = other._sharedSecret;
  _minor = other._minor;
  _name = other._name;
  _splitBrainPolicy = other._splitBrainPolicy;
  _splitBrainFlag = other._splitBrainFlag;
  _dataStamp = other._dataStamp;
  _hostA = other._hostA;
  _hostB = other._hostB;
}

DrbdMirrorConfig::~DrbdMirrorConfig() = default;

std::string DrbdMirrorConfig::ToString() {
  MutexGuard guard(_lock);
  std::string text;
  text += _protocol + "\n";
  text += NumberText(_rate) + "\n";
  text += _sharedSecret + "\n";
  text += NumberText(_minor) + "\n";
  text += _name + "\n";
  text += NumberText(static_cast<int16_t>(_splitBrainPolicy)) + "\n";
  text += NumberText(_splitBrainFlag) + "\n";
  text += NumberText(_dataStamp) + "\n";
  text += _hostA.ToString() + "\n";
  text += _hostB.ToString();
  return text;
}

std::string DrbdMirrorConfig::ToDrbdConfigString() {
  MutexGuard guard(_lock);
  std::string text;
  text += "resource " + _name + "{\n";
  text += "\tprotocol " + _protocol + ";\n";
  text += "\tsyncer {rate " + NumberText(_rate) + "M;}\n";
  text += "\thandlers {split-brain \"/usr/local/tarrow/tarrowguard BS_NOTIFY " + _name + "\";}\n";
  text += "\tnet{\n";
  text += "\t\tcram-hmac-alg sha1;\n\t\tshared-secret \"" + _sharedSecret + "\";\n\t}\n";
  text += _hostA.ToDrbdConfigString(_minor) + "\n" + _hostB.ToDrbdConfigString(_minor) + "\n}";
  return text;
}

void DrbdMirrorConfig::VerifyConfig() {
  MutexGuard guard(_lock);
  CheckDrbdText(_name, "DRBD资源名称");
  CheckDrbdText(_protocol, "DRBD协议");
  CheckDrbdText(_sharedSecret, "共享密钥");
  _hostA.Verify("A");
  _hostB.Verify("B");
}

uint64_t DrbdMirrorConfig::CurrentDataStamp() {
  struct timespec now = Env::Get()->WallClock();
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec / 1000000);
}

#define TARROW_MIRROR_ACCESS(Type, Arg, Name, field) \
  Type DrbdMirrorConfig::Get##Name() {               \
    MutexGuard guard(_lock);                         \
    return field;                                    \
  }                                                  \
  void DrbdMirrorConfig::Set##Name(Arg value) {      \
    MutexGuard guard(_lock);                         \
    field = value;                                   \
  }

TARROW_MIRROR_ACCESS(std::string, const std::string&, Protocol, _protocol)
TARROW_MIRROR_ACCESS(int32_t, int32_t, Rate, _rate)
TARROW_MIRROR_ACCESS(std::string, const std::string&, SharedSecret, _sharedSecret)
TARROW_MIRROR_ACCESS(int32_t, int32_t, Minor, _minor)
TARROW_MIRROR_ACCESS(std::string, const std::string&, Name, _name)
TARROW_MIRROR_ACCESS(uint16_t, uint16_t, SplitBrainPolicy, _splitBrainPolicy)
TARROW_MIRROR_ACCESS(uint32_t, uint32_t, SplitBrainFlag, _splitBrainFlag)
TARROW_MIRROR_ACCESS(uint64_t, uint64_t, DataStamp, _dataStamp)
TARROW_MIRROR_ACCESS(__DrbdHostProperty, const __DrbdHostProperty&, HostA, _hostA)
TARROW_MIRROR_ACCESS(__DrbdHostProperty, const __DrbdHostProperty&, HostB, _hostB)
#undef TARROW_MIRROR_ACCESS

void DrbdMirrorConfig::SetHostPaths(const std::string& diskPathA, const std::string& metaDiskPathA,
                                    const std::string& diskPathB, const std::string& metaDiskPathB) {
  MutexGuard guard(_lock);
  _hostA.diskPath = diskPathA;
  _hostA.metaDiskPath = metaDiskPathA;
  _hostB.diskPath = diskPathB;
  _hostB.metaDiskPath = metaDiskPathB;
}

}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale
