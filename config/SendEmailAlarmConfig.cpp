#include "config/SendEmailAlarmConfig.h"

#include "framework/MutexGuard.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {

using Framework::MutexGuard;

SendEmailAlarmConfig::SendEmailAlarmConfig() : _port(0) {}

SendEmailAlarmConfig::SendEmailAlarmConfig(std::vector<std::string>* lines, unsigned int* index) : _port(0) {
  _server = MoveAndGet(lines, index);
  _port = ReadNumber<uint16_t>(MoveAndGet(lines, index));
  _user = MoveAndGet(lines, index);
  _password = MoveAndGet(lines, index);
  _from = MoveAndGet(lines, index);
  _fromName = MoveAndGet(lines, index);
  _recipients = SplitList(MoveAndGet(lines, index));
}

SendEmailAlarmConfig::~SendEmailAlarmConfig() = default;

std::string SendEmailAlarmConfig::ToString() {
  MutexGuard guard(_lock);
  return _server + "\n" + NumberText(_port) + "\n" + _user + "\n" + _password + "\n" + _from + "\n" + _fromName + "\n" +
         JoinList(_recipients);
}

void SendEmailAlarmConfig::CopyOf(SendEmailAlarmConfig& other) {
  if (&other == this) return;
  std::string server, user, password, from, fromName;
  uint16_t port;
  std::vector<std::string> recipients;
  {
    MutexGuard guard(other._lock);
    server = other._server;
    port = other._port;
    user = other._user;
    password = other._password;
    from = other._from;
    fromName = other._fromName;
    recipients = other._recipients;
  }
  MutexGuard guard(_lock);
  _server.swap(server);
  _port = port;
  _user.swap(user);
  _password.swap(password);
  _from.swap(from);
  _fromName.swap(fromName);
  _recipients.swap(recipients);
}

std::string SendEmailAlarmConfig::GetServer() const {
  MutexGuard guard(_lock);
  return _server;
}

void SendEmailAlarmConfig::SetServer(const std::string& server) {
  MutexGuard guard(_lock);
  _server = server;
}

uint16_t SendEmailAlarmConfig::GetPort() const {
  MutexGuard guard(_lock);
  return _port;
}

void SendEmailAlarmConfig::SetPort(uint16_t port) {
  MutexGuard guard(_lock);
  _port = port;
}

std::string SendEmailAlarmConfig::GetUser() const {
  MutexGuard guard(_lock);
  return _user;
}

void SendEmailAlarmConfig::SetUser(const std::string& user) {
  MutexGuard guard(_lock);
  _user = user;
}

std::string SendEmailAlarmConfig::GetPassword() const {
  MutexGuard guard(_lock);
  return _password;
}

void SendEmailAlarmConfig::SetPassword(const std::string& password) {
  MutexGuard guard(_lock);
  _password = password;
}

std::string SendEmailAlarmConfig::GetFrom() const {
  MutexGuard guard(_lock);
  return _from;
}

void SendEmailAlarmConfig::SetFrom(const std::string& from) {
  MutexGuard guard(_lock);
  _from = from;
}

std::string SendEmailAlarmConfig::GetFromName() const {
  MutexGuard guard(_lock);
  return _fromName;
}

void SendEmailAlarmConfig::SetFromName(const std::string& name) {
  MutexGuard guard(_lock);
  _fromName = name;
}

std::vector<std::string> SendEmailAlarmConfig::GetRecipients() const {
  MutexGuard guard(_lock);
  return _recipients;
}

void SendEmailAlarmConfig::SetRecipients(const std::vector<std::string>& recipients) {
  std::vector<std::string> copy(recipients);
  MutexGuard guard(_lock);
  _recipients.swap(copy);
}

}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale
