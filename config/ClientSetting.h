#ifndef TARROW_CONFIG_CLIENTSETTING_H
#define TARROW_CONFIG_CLIENTSETTING_H

#include <cstdint>
#include <string>

#include "config/IConfig.h"
#include "framework/Mutex.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {

// Connection settings for two hosts (client_setting.cfg in the program
// directory). Six lines: first host's text, port, label, then the second
// host's. Fields are read and written under the record's own mutex.
class ClientSetting : public IConfig {
 public:
  // Empty texts, ports 18562, labels "host1" and "host2"; IsDefaults() true.
  ClientSetting();
  // A whole text of exactly six lines; any other text gives the defaults.
  explicit ClientSetting(std::string text);
  ClientSetting(const ClientSetting&) = delete;
  ClientSetting& operator=(const ClientSetting&) = delete;
  ~ClientSetting() override;

  std::string ToString() override;

  // True when the record holds the defaults rather than a text that was read.
  bool IsDefaults() const;

  std::string GetFirstHost() const;
  void SetFirstHost(const std::string& host);
  uint16_t GetFirstPort() const;
  void SetFirstPort(uint16_t port);
  std::string GetFirstLabel() const;
  void SetFirstLabel(const std::string& label);
  std::string GetSecondHost() const;
  void SetSecondHost(const std::string& host);
  uint16_t GetSecondPort() const;
  void SetSecondPort(uint16_t port);
  std::string GetSecondLabel() const;
  void SetSecondLabel(const std::string& label);

 private:
  void _SetDefaults();

  mutable Framework::Mutex _lock;
  bool _defaults;
  std::string _firstHost;
  std::string _secondHost;
  uint16_t _firstPort;
  uint16_t _secondPort;
  std::string _firstLabel;
  std::string _secondLabel;
};

}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
