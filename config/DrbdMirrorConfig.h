#ifndef TARROW_CONFIG_DRBDMIRRORCONFIG_H
#define TARROW_CONFIG_DRBDMIRRORCONFIG_H

#include <cstdint>
#include <string>
#include <vector>

#include "config/IConfig.h"
#include "config/__DrbdHostProperty.h"
#include "framework/Mutex.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {

// Configuration record of one DRBD mirror. Text, ten lines: protocol, rate,
// shared secret, minor, name, split-brain policy, split-brain flag, data
// stamp, host A line, host B line.
//
// Split-brain threads, the storage subsystem and console threads use the same
// record: every field is read and written under the record's own mutex.
class DrbdMirrorConfig : public IConfig {
 public:
  // Empty texts, zero numbers, empty hosts.
  DrbdMirrorConfig();
  // Reads the ten lines; "FORM_ERR" when they run out, the host line's own
  // exception when a host line has fewer than seven fields.
  DrbdMirrorConfig(std::vector<std::string>* lines, unsigned int* index);
  DrbdMirrorConfig(const DrbdMirrorConfig& other);
  DrbdMirrorConfig& operator=(const DrbdMirrorConfig&) = delete;
  ~DrbdMirrorConfig() override;

  std::string ToString() override;
  // The record's "resource" section of /etc/drbd.conf (no final newline).
  std::string ToDrbdConfigString();
  // Checks of a record handed in by a console (never of one read from a
  // file); throws Exception* "FORM_ERR" at the first bad value: no CR, LF or
  // NUL anywhere; no quote, brace, semicolon, '|' or blank in the name,
  // protocol, shared secret, host names and addresses; no '|' in the disks.
  void VerifyConfig();

  // Milliseconds since the epoch, full 64 bits, of the wall clock: the value
  // for the data stamp (compared across the nodes, so it must not wrap).
  static uint64_t CurrentDataStamp();

  // ---- fields (each access under the record's lock) ----------------------
  std::string GetProtocol();
  void SetProtocol(const std::string& protocol);
  int32_t GetRate();  // M per second
  void SetRate(int32_t rate);
  std::string GetSharedSecret();
  void SetSharedSecret(const std::string& secret);
  int32_t GetMinor();  // the device is /dev/drbd<minor>
  void SetMinor(int32_t minor);
  std::string GetName();
  void SetName(const std::string& name);
  // 0 by hand; 1/2 newer/older data stamp; 3/4 larger/smaller data size.
  uint16_t GetSplitBrainPolicy();
  void SetSplitBrainPolicy(uint16_t policy);
  uint32_t GetSplitBrainFlag();
  void SetSplitBrainFlag(uint32_t flag);
  uint64_t GetDataStamp();
  void SetDataStamp(uint64_t stamp);
  __DrbdHostProperty GetHostA();
  void SetHostA(const __DrbdHostProperty& host);
  __DrbdHostProperty GetHostB();
  void SetHostB(const __DrbdHostProperty& host);
  // Sets the device paths of both hosts (not part of the text) in one step.
  void SetHostPaths(const std::string& diskPathA, const std::string& metaDiskPathA, const std::string& diskPathB,
                    const std::string& metaDiskPathB);

 private:
  mutable Framework::Mutex _lock;
  std::string _protocol;
  int32_t _rate;
  std::string _sharedSecret;
  int32_t _minor;
  std::string _name;
  uint16_t _splitBrainPolicy;
  uint32_t _splitBrainFlag;
  uint64_t _dataStamp;
  __DrbdHostProperty _hostA;
  __DrbdHostProperty _hostB;
};

}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
