#ifndef TARROW_CONFIG_GLOBALCONFIG_H
#define TARROW_CONFIG_GLOBALCONFIG_H

#include <cstdint>
#include <string>
#include <vector>

#include "config/IConfig.h"
#include "framework/Mutex.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {

// The node-wide settings (configs/global_config.cfg). Eleven lines: console
// port, network test port, password digests of access levels 0, 1 and 2,
// flag, start delay (ms), takeover wait (ms), stop-failure action, quorum
// disk instance id, console text (the pairing text). Texts of nine or ten
// lines read with the missing last lines empty.
//
// Console threads change the record while the HA machine, trees and the
// console listener read it: every field is read and written under the
// record's own mutex.
class GlobalConfig : public IConfig {
 public:
  static const char* const DEFAULT_DIGEST;
  // The values the console accepts for the checked fields, in a file too.
  static const NumberRange CONSOLE_PORT_RANGE;      // 21-65535
  static const NumberRange START_DELAY_RANGE;       // 5000 ms and more
  static const NumberRange TAKEOVER_WAIT_RANGE;     // 10000 ms and more
  static const NumberRange STOP_FAIL_ACTION_RANGE;  // 0-2

  // The defaults; IsFromDefaults() is true.
  GlobalConfig();
  // Reads eleven lines; throws Exception* "FORM_ERR" when they run out.
  GlobalConfig(std::vector<std::string>* lines, unsigned int* index);
  // A whole text of 9, 10 or 11 lines; any other text gives the defaults
  // (IsFromDefaults() true). Throws nothing.
  explicit GlobalConfig(std::string text);
  GlobalConfig(const GlobalConfig&) = delete;
  GlobalConfig& operator=(const GlobalConfig&) = delete;
  ~GlobalConfig() override;

  std::string ToString() override;

  // Reads the eleven lines into this record (clears nothing else).
  void FromToken(std::vector<std::string>* lines, unsigned int* index);

  // Checks of a record handed in by a console; throws Exception* "FORM_ERR"
  // at the first bad value.
  void DoValidation();

  // True when the record holds built-in defaults instead of a text that was
  // read (the file was missing or unreadable, or a text had the wrong number
  // of lines). Digests of such a record are the public defaults, never a
  // console's passwords.
  bool IsFromDefaults() const;

  // ---- fields (each access under the record's lock) ----------------------
  uint16_t GetConsolePort() const;
  void SetConsolePort(uint16_t port);
  uint16_t GetNetTestPort() const;
  void SetNetTestPort(uint16_t port);
  // Lower-case hex MD5 of the console password of access level 0, 1 or 2;
  // "" for any other level.
  std::string GetDigest(int level) const;
  void SetDigest(int level, const std::string& digest);
  bool GetFlag() const;
  void SetFlag(bool flag);
  uint32_t GetStartDelay() const;  // ms
  void SetStartDelay(uint32_t ms);
  uint32_t GetTakeoverWait() const;  // ms
  void SetTakeoverWait(uint32_t ms);
  // 0 nothing, 1 restart the computer, 2 shut it down.
  uint16_t GetStopFailAction() const;
  void SetStopFailAction(uint16_t action);
  std::string GetQuorumDiskId() const;  // "" for none
  void SetQuorumDiskId(const std::string& id);
  // The console text, also called the pairing text.
  std::string GetConsoleText() const;
  void SetConsoleText(const std::string& text);

 private:
  void _SetDefaults();

  mutable Framework::Mutex _lock;
  bool _changed = true;  // set for defaults, cleared when a text was read
  uint16_t _consolePort = 0;
  uint16_t _netTestPort = 0;
  std::string _digests[3];
  bool _flag = false;
  uint32_t _startDelay = 0;
  uint32_t _takeoverWait = 0;
  uint16_t _stopFailAction = 0;
  std::string _quorumDiskId;
  std::string _consoleText;
};

}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
