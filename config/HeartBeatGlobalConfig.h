#ifndef TARROW_CONFIG_HEARTBEATGLOBALCONFIG_H
#define TARROW_CONFIG_HEARTBEATGLOBALCONFIG_H

#include <cstdint>
#include <string>
#include <vector>

#include "config/IConfig.h"
#include "framework/Mutex.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {

// The node's heartbeat settings: the first seven lines of configs/hb.cfg.
// Lines: heartbeat port, maximum failure count, beat interval (ms), beat
// reply time-out (ms), host-role flag, reference addresses (joined by '|'),
// reference test port.
//
// Link threads, the HA machine and console threads share the one record:
// every field is read and written under the record's own mutex.
class HeartBeatGlobalConfig : public IConfig {
 public:
  // The values each field may take, in a file as from a console.
  static const NumberRange PORT_RANGE;            // 1-65535
  static const NumberRange MAX_FAIL_COUNT_RANGE;  // 1-1000
  static const NumberRange BEAT_INTERVAL_RANGE;   // 100-60000 ms
  static const NumberRange BEAT_TIMEOUT_RANGE;    // 100-300000 ms
  static const NumberRange HOST_ROLE_RANGE;       // 0-1
  static const NumberRange REF_TEST_PORT_RANGE;   // 1-65535

  // 15538, 3, 2000, 4000, 0, one placeholder reference entry, 80.
  HeartBeatGlobalConfig();
  // Reads the next seven lines; throws Exception* "FORM_ERR" when they run out.
  HeartBeatGlobalConfig(std::vector<std::string>* lines, unsigned int* index);
  HeartBeatGlobalConfig(const HeartBeatGlobalConfig&) = delete;
  HeartBeatGlobalConfig& operator=(const HeartBeatGlobalConfig&) = delete;
  ~HeartBeatGlobalConfig() override;

  std::string ToString() override;
  // Checks of a record handed in by a console (the host-role flag, which the
  // console never sets this way, aside): throws Exception* "FORM_ERR" naming
  // the first field outside its range.
  void Validate() const;
  // Takes every field of other, the host-role flag included.
  void CopyOf(HeartBeatGlobalConfig& other);

  // ---- fields (each access under the record's lock) ----------------------
  uint32_t GetPort() const;  // only the low 16 bits are a port
  void SetPort(uint32_t port);
  uint16_t GetMaxFailCount() const;
  void SetMaxFailCount(uint16_t count);
  int32_t GetBeatInterval() const;  // ms
  void SetBeatInterval(int32_t ms);
  int32_t GetBeatTimeout() const;  // ms
  void SetBeatTimeout(int32_t ms);
  // 1: this node is the host side of the pair.
  uint16_t GetHostRole() const;
  void SetHostRole(uint16_t role);
  std::vector<std::string> GetRefAddresses() const;
  void SetRefAddresses(const std::vector<std::string>& addresses);
  uint16_t GetRefTestPort() const;
  void SetRefTestPort(uint16_t port);

 private:
  mutable Framework::Mutex _lock;
  uint32_t _port;
  uint16_t _maxFailCount;
  int32_t _beatInterval;
  int32_t _beatTimeout;
  uint16_t _hostRole;
  std::vector<std::string> _refAddresses;
  uint16_t _refTestPort;
};

}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
