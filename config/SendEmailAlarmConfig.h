#ifndef TARROW_CONFIG_SENDEMAILALARMCONFIG_H
#define TARROW_CONFIG_SENDEMAILALARMCONFIG_H

#include <cstdint>
#include <string>
#include <vector>

#include "config/IConfig.h"
#include "framework/Mutex.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {

// The SMTP account of alarm e-mails: the first seven lines of
// configs/alarm.cfg. Lines: server, port, user, password, from, from name,
// recipients joined by '|'. An empty server switches e-mail alarms off.
//
// The e-mail executor reads it while console threads copy new values in:
// every field is read and written under the record's own mutex.
class SendEmailAlarmConfig : public IConfig {
 public:
  // Empty texts, port 0, no recipients.
  SendEmailAlarmConfig();
  // Reads the next seven lines; throws Exception* "FORM_ERR" when they run out.
  SendEmailAlarmConfig(std::vector<std::string>* lines, unsigned int* index);
  SendEmailAlarmConfig(const SendEmailAlarmConfig&) = delete;
  SendEmailAlarmConfig& operator=(const SendEmailAlarmConfig&) = delete;
  ~SendEmailAlarmConfig() override;

  std::string ToString() override;
  // Takes all seven fields of other.
  void CopyOf(SendEmailAlarmConfig& other);

  std::string GetServer() const;
  void SetServer(const std::string& server);
  uint16_t GetPort() const;
  void SetPort(uint16_t port);
  std::string GetUser() const;
  void SetUser(const std::string& user);
  std::string GetPassword() const;
  void SetPassword(const std::string& password);
  std::string GetFrom() const;  // sender address
  void SetFrom(const std::string& from);
  std::string GetFromName() const;  // sender display name
  void SetFromName(const std::string& name);
  std::vector<std::string> GetRecipients() const;
  void SetRecipients(const std::vector<std::string>& recipients);

 private:
  mutable Framework::Mutex _lock;
  std::string _server;
  uint16_t _port;
  std::string _user;
  std::string _password;
  std::string _from;
  std::string _fromName;
  std::vector<std::string> _recipients;
};

}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
