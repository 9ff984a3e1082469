#include "alarm/EmailAlarmExec.h"

#include <cstdio>

#include "alarm/AlarmManager.h"
#include "alarm/AlarmType.h"
#include "alarm/Base64.h"
#include "alarm/CodeConvert.h"
#include "alarm/SmtpDialogue.h"
#include "config/ConfigManager.h"
#include "config/SendEmailAlarmConfig.h"
#include "framework/Exception.h"
#include "framework/MachineController.h"

namespace Oxbrindale {
namespace Velmora {
namespace Alarm {

using Entity::AlarmObj;
using Config::ConfigManager;
using Config::SendEmailAlarmConfig;
using Framework::MachineController;

const char* const EmailAlarmExec::BOUNDARY = "OxTarrowAlarmMail_";

namespace {

void Print(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

// The longest prefix of text of at most limit bytes that does not end inside
// a UTF-8 character.
std::string Utf8Prefix(const std::string& text, size_t limit) {
  if (text.size() <= limit) return text;
  size_t cut = limit;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return text.substr(0, cut);
}

// '&', '<' and '>' as HTML character references.
std::string EscapeHtml(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

}  // namespace

EmailAlarmExec::EmailAlarmExec(ConfigManager* config, AlarmManager* manager)
    : AlarmExec(DELAY_MS), _config(config), _manager(manager) {
  SetPutWait(PUT_WAIT_MS);
}

EmailAlarmExec::~EmailAlarmExec() { CallExit(); }

ConfigManager* EmailAlarmExec::_Config() { return _config != nullptr ? _config : ConfigManager::Instance(); }

std::string EmailAlarmExec::_KindName(int kind) {
  if (kind < 0 || kind >= Entity::AlarmType::KIND_COUNT) return "N/A";
  AlarmManager* manager = _manager != nullptr ? _manager : AlarmManager::Instance();
  return manager->GetAlarmTypeList()[kind].name;
}

void EmailAlarmExec::SetTimeouts(long connectMs, long replyMs) {
  _connectTimeoutMs.store(connectMs);
  _replyTimeoutMs.store(replyMs);
}

std::string EmailAlarmExec::Encode(const unsigned char* data, int length) { return Base64::Encode(data, length); }

void EmailAlarmExec::DoAlarm(std::vector<AlarmObj>& batch) {
  const std::string host = MachineController::GetHostName();

  std::string subject = host + " 双机热备：";
  std::string rows;
  for (size_t i = 0; i < batch.size(); ++i) {
    const AlarmObj& alarm = batch[i];
    const std::string name = _KindName(alarm.kind);
    if (i > 0) subject += "，";
    subject += name;
    rows += "<tr><td>" + name + "</td><td>" + alarm.time.ToString() + "</td><td>" + EscapeHtml(alarm.text) +
            "</td></tr>\r\n";
  }
  if (subject.size() > SUBJECT_LIMIT) subject = Utf8Prefix(subject, SUBJECT_CUT) + "...";

  // One table row per line: SMTP limits the length of a line, and a batch
  // of alarms in one line would exceed it.
  const std::string body =
      "<h2>" + host +
      "</h2><br/><h2>你好，双机热备系统在运行过程中检测到异常，并已经做出响应，下面列出详细的警报信息：</h2><hr/>"
      "<table><tr><td>警报名称</td><td>时间</td><td>描述</td></tr>\r\n" +
      rows + "</table><hr/><h3>请尽快登录双机热备管理终端查看详细情况并处理，以避免系统冗机造成损失！</h3>";

  // GB2312 never takes more bytes than UTF-8 for the same text; the
  // conversion stops at a character GB2312 lacks and keeps what came before.
  std::vector<char> converted(subject.size() + 1, 0);
  u2g(subject.data(), subject.size(), converted.data(), converted.size());
  const std::string gbSubject(converted.data());

  try {
    SendEmail(gbSubject, body);
  } catch (Exception* e) {
    Print(e->message);
    delete e;
  }
}

void EmailAlarmExec::SendEmail(const std::string& subject, const std::string& body) {
  SendEmailAlarmConfig* settings = _Config()->GetSendEmailAlarmConfig();
  if (settings == nullptr) return;
  const std::string server = settings->GetServer();
  if (server.empty()) return;
  const unsigned short port = settings->GetPort();
  const std::string user = settings->GetUser();
  const std::string password = settings->GetPassword();
  const std::string from = settings->GetFrom();
  const std::string fromName = settings->GetFromName();
  const std::vector<std::string> recipients = settings->GetRecipients();

  Print("*******************8 Start Send Email*******************\n");
  SmtpDialogue smtp(_connectTimeoutMs.load(), _replyTimeoutMs.load());
  smtp.Connect(server, port, "连接服务器无响应");
  if (!smtp.CheckResponse("220")) throw new Exception("SMTP", "连接服务器无响应");

  // AUTH needs the extended greeting; a server that knows only HELO answers
  // EHLO with a 5xx reply and is greeted again the old way.
  smtp.Send("EHLO " + server + "\r\n");
  if (!smtp.CheckResponse("250")) {
    if (smtp.GetReply().empty() || smtp.GetReply()[0] != '5') {
      throw new Exception("SMTP", "请求服务器通信时无响应");
    }
    smtp.Command("HELO " + server, "250", "请求服务器通信时无响应");
  }
  smtp.Command("AUTH LOGIN", "334", "请求登陆服务器时无响应");
  smtp.Command(Base64::Encode(user), "334", "用户名不存在");
  smtp.Command(Base64::Encode(password), "235", "密码错误");
  smtp.Command("MAIL FROM:<" + from + ">", "250", "服务器无响应");
  for (const std::string& recipient : recipients) {
    smtp.Command("RCPT To:<" + recipient + ">", "250", "服务器无响应");
  }
  smtp.Command("DATA", "354", "ResponseError!");

  std::string header = "From:" + fromName + "<" + from + ">\r\n";
  for (const std::string& recipient : recipients) header += "To:" + recipient + "\r\n";
  header += "Subject:" + subject + "\r\n";
  header += "MIME-Version: 1.0\r\n";
  header += "X-Mailer: Smtp Client By Oxbrindale\r\n";
  header += std::string("Content-type:multipart/mixed;Boundary=") + BOUNDARY + "\r\n";
  header += "\r\n";
  smtp.Send(SmtpDialogue::ToDataLines(header));

  const std::string part = std::string("--") + BOUNDARY +
                           "\r\n"
                           "Content-type:text/html;Charset=utf-8\r\n"
                           "Content-Transfer-Encoding:8bit\r\n"
                           "\r\n" +
                           body + "\r\n\r\n";
  smtp.Send(SmtpDialogue::ToDataLines(part));

  smtp.Send(std::string("--") + BOUNDARY + "--\r\n.\r\n");
  if (!smtp.CheckResponse("250")) throw new Exception("SMTP", "服务器拒绝接收邮件");

  // The mail is accepted; a server that hangs up before QUIT changes nothing.
  try {
    smtp.Send("QUIT\r\n");
  } catch (Exception* e) {
    delete e;
  }
  smtp.Disconnect();
}

}  // namespace Alarm
}  // namespace Velmora
}  // namespace Oxbrindale
