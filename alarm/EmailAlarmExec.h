#ifndef TARROW_ALARM_EMAILALARMEXEC_H
#define TARROW_ALARM_EMAILALARMEXEC_H

#include <atomic>
#include <string>
#include <vector>

#include "alarm/AlarmExec.h"
#include "config/AlarmExecConfig.h"
#include "entity/AlarmObj.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {
class ConfigManager;
}
namespace Alarm {

class AlarmManager;

// Mails each batch of alarms as one HTML message to every configured
// recipient, through an SMTP server with AUTH LOGIN. The thread waits
// DELAY_MS after the first alarm of a batch so that a burst of alarms shares
// one mail; a raiser that finds the queue full waits at most a short moment
// and the alarm is then dropped (the mail server may be hanging).
//
// Subject: host name, " 双机热备：" and the names of the batch's alarms,
// converted to GB2312. Body: a UTF-8 HTML table, one row per alarm.
//
// Every mail, and the console's test mail, runs its own SMTP dialogue on a
// connection of its own, so the two never share a socket. Each wait of the
// dialogue is bounded (connect and reply time-outs): a silent server fails
// the mail with the message of the step it did not answer.
class EmailAlarmExec : public AlarmExec {
 public:
  enum { DELAY_MS = 5000 };
  // Raisers wait at most this long for a free slot.
  enum { PUT_WAIT_MS = 100 };
  enum { CONNECT_TIMEOUT_MS = 20000, REPLY_TIMEOUT_MS = 20000 };
  // A subject longer than SUBJECT_LIMIT bytes is cut to at most
  // SUBJECT_CUT bytes (on a character boundary) and "..." appended.
  enum { SUBJECT_LIMIT = 149, SUBJECT_CUT = 150 };

  // The fixed MIME boundary token (18 characters).
  static const char* const BOUNDARY;

  // config: where the mail settings are read (the daemon's store when null);
  // manager: whose alarm type table names the alarms (the daemon's when null).
  explicit EmailAlarmExec(Config::ConfigManager* config = nullptr, AlarmManager* manager = nullptr);
  ~EmailAlarmExec() override;

  int ExecMethod() const override { return Config::ALARM_EXEC_EMAIL; }
  // Mails the batch; a failure is written to standard output and the batch
  // is dropped (no retry).
  void DoAlarm(std::vector<Entity::AlarmObj>& batch) override;

  // One SMTP dialogue: one mail to all recipients, with the settings read
  // now. Nothing when no server is set. Throws Exception* "SMTP" with the
  // message of the step that failed, or the socket's exception when the
  // connection fails. Safe to call from several threads at once.
  void SendEmail(const std::string& subject, const std::string& body);

  // Base64 text of the bytes, in one line.
  static std::string Encode(const unsigned char* data, int length);

  // Time-outs of the dialogue: connecting (counted in whole seconds, at
  // least one) and each whole reply, in ms.
  void SetTimeouts(long connectMs, long replyMs);

 private:
  Config::ConfigManager* _Config();
  std::string _KindName(int kind);

  Config::ConfigManager* _config;
  AlarmManager* _manager;
  std::atomic<long> _connectTimeoutMs{CONNECT_TIMEOUT_MS};
  std::atomic<long> _replyTimeoutMs{REPLY_TIMEOUT_MS};
};

}  // namespace Alarm
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
