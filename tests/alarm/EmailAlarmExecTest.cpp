#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <iconv.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "alarm/AlarmManager.h"
#include "entity/AlarmObj.h"
#include "alarm/Base64.h"
#include "alarm/CodeConvert.h"
#include "alarm/EmailAlarmExec.h"
#include "alarm/MailTestServer.h"
#include "alarm/ScriptedSmtpServer.h"
#include "alarm/SmtpDialogue.h"
#include "config/ConfigManager.h"
#include "config/SendEmailAlarmConfig.h"
#include "framework/DateTime.h"
#include "framework/Exception.h"
#include "framework/MachineController.h"
#include "support/SkipRule.h"
#include "support/TempDir.h"
#include "support/TestEnv.h"
#include "support/Thrown.h"
#include "support/UnansweredPort.h"

namespace {

using Oxbrindale::Velmora::Alarm::AlarmManager;
using Oxbrindale::Velmora::Entity::AlarmObj;
using Oxbrindale::Velmora::Alarm::Base64;
using Oxbrindale::Velmora::Alarm::EmailAlarmExec;
using Oxbrindale::Velmora::Alarm::SmtpDialogue;
using Oxbrindale::Velmora::Config::ConfigManager;
using Oxbrindale::Velmora::Config::SendEmailAlarmConfig;
using Oxbrindale::Velmora::Framework::DateTime;
using Oxbrindale::Velmora::Framework::MachineController;
using tarrow_test::MailTestServer;
using tarrow_test::ScriptedSmtpServer;
using tarrow_test::Thrown;
using Clock = std::chrono::steady_clock;

const char* const kUser = "alarm-sender";
const char* const kPassword = "s3cret-Pass";
const char* const kFrom = "alarm@node.test";
const char* const kFromName = "Tarrow告警";
const std::vector<std::string> kRecipients = {"ops@example.test", "dba@example.test"};
const char* const kTestSubject = "OXBRINDALE Tarrow 双机热备测试邮件";
const char* const kTestBody = "<strong>恭喜你，如果你收到了这封邮件，就代表您的Email发送设置已经配置好了！</strong>";

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

bool WaitUntil(const std::function<bool()>& cond, long ms) {
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (!cond()) {
    if (Clock::now() >= end) return cond();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

std::string Convert(const std::string& text, const char* from, const char* to) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return "<iconv unavailable>";
  std::string out(text.size() * 4 + 4, '\0');
  char* in = const_cast<char*>(text.data());
  size_t inLeft = text.size();
  char* o = &out[0];
  size_t outLeft = out.size();
  const size_t rc = iconv(cd, &in, &inLeft, &o, &outLeft);
  iconv_close(cd);
  if (rc == static_cast<size_t>(-1)) return "<not convertible>";
  out.resize(out.size() - outLeft);
  return out;
}

std::string GbToUtf8(const std::string& text) { return Convert(text, "gb2312", "utf-8"); }
std::string Utf8ToGb(const std::string& text) { return Convert(text, "utf-8", "gb2312"); }

// The header block of a mail (up to the first empty line), split in lines.
std::vector<std::string> HeaderLines(const std::string& content) {
  std::vector<std::string> lines;
  size_t begin = 0;
  for (;;) {
    const size_t end = content.find("\r\n", begin);
    if (end == std::string::npos || end == begin) return lines;
    lines.push_back(content.substr(begin, end - begin));
    begin = end + 2;
  }
}

// The values of every header line that begins with name.
std::vector<std::string> Headers(const std::string& content, const std::string& name) {
  std::vector<std::string> values;
  for (const std::string& line : HeaderLines(content)) {
    if (line.compare(0, name.size(), name) == 0) values.push_back(line.substr(name.size()));
  }
  return values;
}

std::string Subject(const std::string& content) {
  const std::vector<std::string> values = Headers(content, "Subject:");
  return values.size() == 1 ? values[0] : "<" + std::to_string(values.size()) + " subject lines>";
}

std::string Row(const std::string& name, const std::string& time, const std::string& text) {
  return "<tr><td>" + name + "</td><td>" + time + "</td><td>" + text + "</td></tr>";
}


class EmailAlarmExecTest : public ::testing::Test {
 protected:
  EmailAlarmExecTest() : env(dir.Path()) { dir.MakeDir("configs"); }

  void UseServer(unsigned short port, const std::string& user = kUser, const std::string& password = kPassword) {
    SendEmailAlarmConfig* settings = config.GetSendEmailAlarmConfig();
    settings->SetServer("127.0.0.1");
    settings->SetPort(port);
    settings->SetUser(user);
    settings->SetPassword(password);
    settings->SetFrom(kFrom);
    settings->SetFromName(kFromName);
    settings->SetRecipients(kRecipients);
  }

  // The replies of a server that accepts everything, in dialogue order:
  // greeting, EHLO, AUTH LOGIN, user, password, MAIL, RCPT, RCPT, DATA, end.
  static std::vector<std::string> GoodReplies() {
    return {"220 scripted ESMTP\r\n",
            "250-scripted\r\n250-AUTH LOGIN\r\n250 8BITMIME\r\n",
            "334 VXNlcm5hbWU6\r\n",
            "334 UGFzc3dvcmQ6\r\n",
            "235 2.7.0 Authentication successful\r\n",
            "250 2.1.0 OK\r\n",
            "250 2.1.5 OK\r\n",
            "250 2.1.5 OK\r\n",
            "354 End data with <CR><LF>.<CR><LF>\r\n",
            "250 2.0.0 queued\r\n"};
  }

  EmailAlarmExec& Exec() { return *manager.GetEmailAlarmExec(); }

  tarrow_test::TempDir dir;
  tarrow_test::TestEnv env;
  ConfigManager config;
  AlarmManager manager{&config};
};

// ---------------------------------------------------------------- real server

TEST_F(EmailAlarmExecTest, MailsABatchAsOneMessageWithEnvelopeSubjectAndRows) {
  MailTestServer server(kUser, kPassword);
  ASSERT_TRUE(server.Started()) << server.Log();
  UseServer(server.Port());

  std::vector<AlarmObj> batch = {
      AlarmObj(6, "链路 eth0 断开 & <down>", DateTime(2009, 3, 7, 8, 5, 9, 0)),
      AlarmObj(11, "系统启动运行！ Build 223", DateTime(2009, 3, 7, 8, 5, 10, 0)),
  };
  Exec().DoAlarm(batch);

  ASSERT_TRUE(server.WaitForMails(1, 10000)) << server.Log();
  const std::vector<MailTestServer::Mail> mails = server.Mails();
  ASSERT_EQ(1u, mails.size());
  const MailTestServer::Mail& mail = mails[0];
  EXPECT_EQ(kFrom, mail.from);
  EXPECT_EQ(kRecipients, mail.recipients);

  const std::string host = MachineController::GetHostName();
  EXPECT_EQ(host + " 双机热备：心跳连接状态变更，运行日志", GbToUtf8(Subject(mail.content)));
  EXPECT_EQ(std::vector<std::string>{std::string(kFromName) + "<" + kFrom + ">"}, Headers(mail.content, "From:"));
  EXPECT_EQ(kRecipients, Headers(mail.content, "To:"));
  EXPECT_EQ(std::vector<std::string>{" 1.0"}, Headers(mail.content, "MIME-Version:"));
  EXPECT_EQ(std::string::npos, mail.content.find("MIME_Version"));
  EXPECT_EQ(std::vector<std::string>{"multipart/mixed;Boundary=" + std::string(EmailAlarmExec::BOUNDARY)},
            Headers(mail.content, "Content-type:"));

  EXPECT_NE(std::string::npos, mail.content.find("<h2>" + host + "</h2>"));
  EXPECT_NE(std::string::npos,
            mail.content.find(Row("心跳连接状态变更", "2009-3-7 08:05:09", "链路 eth0 断开 &amp; &lt;down&gt;") +
                              "\r\n" + Row("运行日志", "2009-3-7 08:05:10", "系统启动运行！ Build 223")));
  const std::string end = "--" + std::string(EmailAlarmExec::BOUNDARY) + "--\r\n";
  ASSERT_GE(mail.content.size(), end.size());
  EXPECT_EQ(end, mail.content.substr(mail.content.size() - end.size()));
}

TEST_F(EmailAlarmExecTest, DotLinesAndOverlongLinesArriveIntact) {
  MailTestServer server(kUser, kPassword);
  ASSERT_TRUE(server.Started()) << server.Log();
  UseServer(server.Port());

  std::string longText;
  for (int i = 0; i < 700; ++i) longText += "长";  // 2100 bytes: more than one SMTP line holds
  std::vector<AlarmObj> batch = {
      AlarmObj(11, "first\n.\nlast", DateTime(2009, 3, 7, 8, 5, 9, 0)),
      AlarmObj(11, longText, DateTime(2009, 3, 7, 8, 5, 9, 0)),
  };
  Exec().DoAlarm(batch);

  ASSERT_TRUE(server.WaitForMails(1, 10000)) << server.Log();
  const std::string content = server.Mails()[0].content;
  EXPECT_NE(std::string::npos, content.find("<td>first\r\n.\r\nlast</td>"));
  std::string joined = content;
  for (size_t at; (at = joined.find("\r\n")) != std::string::npos;) joined.erase(at, 2);
  EXPECT_NE(std::string::npos, joined.find("<td>" + longText + "</td>"));
  EXPECT_NE(std::string::npos, content.find("--" + std::string(EmailAlarmExec::BOUNDARY) + "--"));
}

TEST_F(EmailAlarmExecTest, UserAndPasswordOf57BytesAndMoreAuthenticate) {
  const std::string user = "alarm-sender-with-a-rather-long-name@mail-gateway.example";  // 57 bytes
  const std::string password = "p@ssw0rd-that-is-also-long-enough-to-need-a-second-base64-line";
  ASSERT_EQ(57u, user.size());
  ASSERT_GT(password.size(), 57u);
  MailTestServer server(user, password);
  ASSERT_TRUE(server.Started()) << server.Log();
  UseServer(server.Port(), user, password);

  const auto failure = Thrown([&] { Exec().SendEmail(kTestSubject, kTestBody); });
  EXPECT_EQ("", failure.first) << failure.second;
  ASSERT_TRUE(server.WaitForMails(1, 10000)) << server.Log();
  EXPECT_EQ(kTestSubject, Subject(server.Mails()[0].content));  // the test mail keeps its UTF-8 subject
}

TEST_F(EmailAlarmExecTest, WrongPasswordIsReportedAndNothingIsSent) {
  MailTestServer server(kUser, kPassword);
  ASSERT_TRUE(server.Started()) << server.Log();
  UseServer(server.Port(), kUser, "wrong");

  const auto failure = Thrown([&] { Exec().SendEmail(kTestSubject, kTestBody); });
  EXPECT_EQ("SMTP", failure.first);
  EXPECT_EQ("密码错误", failure.second);
  EXPECT_TRUE(server.Mails().empty());
}

TEST_F(EmailAlarmExecTest, NoServerSetSendsNothingAndReportsNothing) {
  ScriptedSmtpServer server(GoodReplies());
  UseServer(server.Port());
  config.GetSendEmailAlarmConfig()->SetServer("");

  const auto failure = Thrown([&] { Exec().SendEmail(kTestSubject, kTestBody); });
  EXPECT_EQ("", failure.first);
  std::vector<AlarmObj> batch = {AlarmObj(6, "x", DateTime())};
  Exec().DoAlarm(batch);
  EXPECT_EQ(0, server.Connections());
}

class EmailAlarmExecConcurrency : public EmailAlarmExecTest {};

TEST_F(EmailAlarmExecConcurrency, TestMailAndAlarmMailAtOnceEachArriveWhole) {
  EmailAlarmExec& exec = Exec();
  MailTestServer server(kUser, kPassword);
  ASSERT_TRUE(server.Started()) << server.Log();
  UseServer(server.Port());

  const int rounds = 4;
  std::vector<std::string> consoleFailures;
  std::thread console([&] {
    for (int i = 0; i < rounds; ++i) {
      const auto failure = Thrown([&] { exec.SendEmail(kTestSubject, kTestBody); });
      if (!failure.first.empty()) consoleFailures.push_back(failure.second);
    }
  });
  for (int i = 0; i < rounds; ++i) {
    std::vector<AlarmObj> batch = {AlarmObj(6, "alarm " + std::to_string(i), DateTime())};
    exec.DoAlarm(batch);
  }
  console.join();
  EXPECT_TRUE(consoleFailures.empty()) << consoleFailures[0];

  ASSERT_TRUE(server.WaitForMails(2 * rounds, 10000)) << server.Mails().size() << " mails\n" << server.Log();
  int testMails = 0;
  int alarmMails = 0;
  for (const MailTestServer::Mail& mail : server.Mails()) {
    const std::string subject = Subject(mail.content);
    if (subject == kTestSubject) {
      ++testMails;
      EXPECT_NE(std::string::npos, mail.content.find(std::string(kTestBody) + "\r\n\r\n--"));
    } else {
      ++alarmMails;
      EXPECT_EQ(MachineController::GetHostName() + " 双机热备：心跳连接状态变更", GbToUtf8(subject));
      EXPECT_NE(std::string::npos, mail.content.find("</td><td>alarm "));
    }
  }
  EXPECT_EQ(rounds, testMails);
  EXPECT_EQ(rounds, alarmMails);
}

TEST_F(EmailAlarmExecConcurrency, RaisedBurstBecomesOneMail) {
  EmailAlarmExec& exec = Exec();
  MailTestServer server(kUser, kPassword);
  ASSERT_TRUE(server.Started()) << server.Log();
  UseServer(server.Port());
  SendEmailAlarmConfig* settings = config.GetSendEmailAlarmConfig();
  settings->SetFromName("");  // no display name
  settings->SetRecipients({"ops@example.test"});

  exec.SetDelay(2000);  // long enough that no stall of this thread splits the burst
  exec.Start();
  const DateTime time(2009, 3, 7, 8, 5, 9, 0);
  EXPECT_TRUE(exec.PutLog(3, "tree A", time));
  EXPECT_TRUE(exec.PutLog(4, "tree B", time));
  EXPECT_TRUE(exec.PutLog(11, "tree C", time));

  ASSERT_TRUE(server.WaitForMails(1, 10000)) << server.Log();
  const std::vector<MailTestServer::Mail> mails = server.Mails();
  ASSERT_EQ(1u, mails.size());
  EXPECT_EQ(MachineController::GetHostName() + " 双机热备：启动资源树失败，停止资源树失败，运行日志",
            GbToUtf8(Subject(mails[0].content)));
  EXPECT_NE(std::string::npos, mails[0].content.find(Row("启动资源树失败", "2009-3-7 08:05:09", "tree A") + "\r\n" +
                                                     Row("停止资源树失败", "2009-3-7 08:05:09", "tree B") + "\r\n" +
                                                     Row("运行日志", "2009-3-7 08:05:09", "tree C")));
  exec.CallExit();
}

// ------------------------------------------------------------ scripted server

TEST_F(EmailAlarmExecTest, DialogueOnTheWireWithSplitAndMultiLineReplies) {
  std::vector<std::string> replies = GoodReplies();
  const char pause = ScriptedSmtpServer::PAUSE;
  replies[0] = std::string("22") + pause + "0 scripted ESMTP\r\n";
  replies[1] =
      std::string("250-scripted\r\n250-AUTH") + pause + " LOGIN\r\n250-SIZE 1000\r" + pause + "\n250 8BITMIME\r\n";
  replies[9] = std::string("250 ") + pause + "queued\r\n";
  ScriptedSmtpServer server(replies);
  const std::string user = "a-user-name-of-exactly-fifty-seven-bytes@mail.example.com";
  ASSERT_EQ(57u, user.size());
  UseServer(server.Port(), user, kPassword);

  std::vector<AlarmObj> batch = {AlarmObj(14, "first\n.\nlast", DateTime(2009, 3, 7, 8, 5, 9, 0))};
  Exec().DoAlarm(batch);

  ASSERT_TRUE(WaitUntil([&] { return server.Received().size() >= 10; }, 10000));
  const std::vector<std::string> got = server.Received();
  const std::string encodedUser = Base64::Encode(user);
  EXPECT_EQ(76u, encodedUser.size());
  const std::vector<std::string> commands = {"EHLO 127.0.0.1",
                                             "AUTH LOGIN",
                                             encodedUser,
                                             Base64::Encode(std::string(kPassword)),
                                             "MAIL FROM:<alarm@node.test>",
                                             "RCPT To:<ops@example.test>",
                                             "RCPT To:<dba@example.test>",
                                             "DATA"};
  ASSERT_EQ(10u, got.size());
  EXPECT_EQ(commands, std::vector<std::string>(got.begin(), got.begin() + 8));
  EXPECT_EQ("QUIT", got[9]);

  const std::string host = MachineController::GetHostName();
  const std::string boundary = EmailAlarmExec::BOUNDARY;
  const std::string data = got[8];
  const std::string head = std::string("From:Tarrow告警<alarm@node.test>\r\n") +
                           "To:ops@example.test\r\n"
                           "To:dba@example.test\r\n"
                           "Subject:" +
                           Utf8ToGb(host + " 双机热备：镜像脑裂") +
                           "\r\n"
                           "MIME-Version: 1.0\r\n"
                           "X-Mailer: Smtp Client By Oxbrindale\r\n"
                           "Content-type:multipart/mixed;Boundary=" +
                           boundary +
                           "\r\n"
                           "\r\n"
                           "--" +
                           boundary +
                           "\r\n"
                           "Content-type:text/html;Charset=utf-8\r\n"
                           "Content-Transfer-Encoding:8bit\r\n"
                           "\r\n"
                           "<h2>" +
                           host + "</h2>";
  EXPECT_EQ(head, data.substr(0, head.size()));
  // The line "." travels as ".." and so does not end the data.
  EXPECT_NE(std::string::npos, data.find(Row("镜像脑裂", "2009-3-7 08:05:09", "first\r\n..\r\nlast") + "\r\n</table>"));
  const std::string tail = "</h3>\r\n\r\n--" + boundary + "--";
  ASSERT_GE(data.size(), tail.size());
  EXPECT_EQ(tail, data.substr(data.size() - tail.size()));
}

TEST_F(EmailAlarmExecTest, ServerWithoutEhloIsGreetedWithHelo) {
  std::vector<std::string> replies = GoodReplies();
  replies[1] = "502 5.5.1 Command not implemented\r\n";
  replies.insert(replies.begin() + 2, "250 scripted\r\n");
  ScriptedSmtpServer server(replies);
  UseServer(server.Port());

  const auto failure = Thrown([&] { Exec().SendEmail(kTestSubject, kTestBody); });
  EXPECT_EQ("", failure.first) << failure.second;
  const std::vector<std::string> got = server.Received();
  ASSERT_GE(got.size(), 3u);
  EXPECT_EQ("EHLO 127.0.0.1", got[0]);
  EXPECT_EQ("HELO 127.0.0.1", got[1]);
  EXPECT_EQ("AUTH LOGIN", got[2]);
}

struct StepFailure {
  const char* what;
  std::function<void(std::vector<std::string>&)> script;
  const char* message;
  const char* lastCommand;  // the last line the server receives ("" none)
};

TEST_F(EmailAlarmExecTest, EachRefusedOrSilentStepThrowsItsMessage) {
  const std::string silent = ScriptedSmtpServer::SILENT;
  const std::vector<StepFailure> cases = {
      {"greeting refused", [](std::vector<std::string>& r) { r[0] = "554 no service\r\n"; }, "连接服务器无响应", ""},
      {"server silent", [&](std::vector<std::string>& r) { r[0] = silent; }, "连接服务器无响应", ""},
      {"EHLO refused for now", [](std::vector<std::string>& r) { r[1] = "421 busy\r\n"; }, "请求服务器通信时无响应",
       "EHLO 127.0.0.1"},
      {"EHLO and HELO refused",
       [](std::vector<std::string>& r) {
         r[1] = "500 unknown\r\n";
         r.insert(r.begin() + 2, "501 no\r\n");
       },
       "请求服务器通信时无响应", "HELO 127.0.0.1"},
      {"AUTH refused", [](std::vector<std::string>& r) { r[2] = "504 5.5.4 Unrecognized authentication type\r\n"; },
       "请求登陆服务器时无响应", "AUTH LOGIN"},
      {"AUTH unanswered", [&](std::vector<std::string>& r) { r[2] = silent; }, "请求登陆服务器时无响应", "AUTH LOGIN"},
      {"bad user", [](std::vector<std::string>& r) { r[3] = "535 5.7.8 no such user\r\n"; }, "用户名不存在",
       "YWxhcm0tc2VuZGVy"},
      {"bad password", [](std::vector<std::string>& r) { r[4] = "535 5.7.8 Authentication credentials invalid\r\n"; },
       "密码错误", "czNjcmV0LVBhc3M="},
      {"sender refused", [](std::vector<std::string>& r) { r[5] = "553 5.7.1 sender refused\r\n"; }, "服务器无响应",
       "MAIL FROM:<alarm@node.test>"},
      {"second recipient refused", [](std::vector<std::string>& r) { r[7] = "550 5.1.1 no such mailbox\r\n"; },
       "服务器无响应", "RCPT To:<dba@example.test>"},
      {"DATA refused", [](std::vector<std::string>& r) { r[8] = "554 5.5.1 no valid recipients\r\n"; },
       "ResponseError!", "DATA"},
      {"end of data refused", [](std::vector<std::string>& r) { r[9] = "554 5.7.1 message rejected\r\n"; },
       "服务器拒绝接收邮件", nullptr},
      {"end of data unanswered", [&](std::vector<std::string>& r) { r[9] = silent; }, "服务器拒绝接收邮件", nullptr},
  };
  const long replyTimeoutMs = 2000;  // the scripted server thread must answer within it, also on a loaded machine
  Exec().SetTimeouts(5000, replyTimeoutMs);
  for (const StepFailure& step : cases) {
    SCOPED_TRACE(step.what);
    std::vector<std::string> replies = GoodReplies();
    step.script(replies);
    const bool silentStep = std::find(replies.begin(), replies.end(), silent) != replies.end();
    ScriptedSmtpServer server(replies);
    UseServer(server.Port());

    const auto start = Clock::now();
    const auto failure = Thrown([&] { Exec().SendEmail(kTestSubject, kTestBody); });
    const long long took = MsSince(start);
    EXPECT_EQ("SMTP", failure.first);
    EXPECT_EQ(step.message, failure.second);
    if (silentStep) {
      EXPECT_GE(took, replyTimeoutMs - 5);
    }

    // The dialogue stops at the failed step: no later command, never QUIT.
    server.Stop();
    const std::vector<std::string> got = server.Received();
    if (step.lastCommand == nullptr) {
      ASSERT_EQ(9u, got.size());  // eight commands and the data
    } else if (std::string(step.lastCommand).empty()) {
      EXPECT_TRUE(got.empty());
    } else {
      ASSERT_FALSE(got.empty());
      EXPECT_EQ(step.lastCommand, got.back());
    }
  }
}

// A dialogue whose reading of reply lines fails, once armed, with what the
// test chooses, as a reader running out of memory would.
class FailingReplyReader : public SmtpDialogue {
 public:
  FailingReplyReader() : SmtpDialogue(5000, 5000) {}
  std::function<void()> failure;  // throws; none: lines come from the server

 protected:
  std::string _ReceiveLine(const struct timespec& deadline) override {
    if (failure) failure();
    return SmtpDialogue::_ReceiveLine(deadline);
  }
};

// The reply check reads a failure of the socket (an Exception) as a refused
// reply; any other failure while reading becomes "SMTP" "服务器返回信息错误".
TEST_F(EmailAlarmExecTest, ReplyCheckTurnsForeignFailuresIntoAReplyError) {
  struct Case {
    const char* what;
    std::function<void()> failure;
    bool thrown;  // else CheckResponse answers false
  };
  const std::vector<Case> cases = {
      {"out of memory", [] { throw std::bad_alloc(); }, true},
      {"standard exception", [] { throw std::runtime_error("broken"); }, true},
      {"plain value", [] { throw 7; }, true},
      {"socket failure", [] { throw new Exception("SOCKET_ERR", "lost"); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedSmtpServer server(GoodReplies());
    FailingReplyReader smtp;
    smtp.Connect("127.0.0.1", server.Port(), "连接服务器无响应");
    ASSERT_TRUE(smtp.CheckResponse("220"));
    smtp.Send("EHLO 127.0.0.1\r\n");
    smtp.failure = c.failure;
    bool answer = true;
    const auto failure = Thrown([&] { answer = smtp.CheckResponse("250"); });
    if (c.thrown) {
      EXPECT_EQ("SMTP", failure.first);
      EXPECT_EQ("服务器返回信息错误", failure.second);
    } else {
      EXPECT_EQ("", failure.first);
      EXPECT_FALSE(answer);
    }
  }
}

TEST_F(EmailAlarmExecTest, ConnectionNeverAcceptedTimesOutAndRefusedOneFailsAtOnce) {
  tarrow_test::UnansweredPort silent;
  UseServer(silent.Port());
  Exec().SetTimeouts(1000, 1000);

  const auto start = Clock::now();
  const auto failure = Thrown([&] { Exec().SendEmail(kTestSubject, kTestBody); });
  const long long took = MsSince(start);
  EXPECT_EQ("SMTP", failure.first);
  EXPECT_EQ("连接服务器无响应", failure.second);
  EXPECT_GE(took, 995);
  silent.Close();

  // A refused connection is no time-out: the socket's own failure is reported.
  const auto refused = Thrown([&] { Exec().SendEmail(kTestSubject, kTestBody); });
  EXPECT_NE("", refused.first);
  EXPECT_NE("SMTP", refused.first);
}

TEST_F(EmailAlarmExecTest, LongSubjectIsCutOnACharacterBoundary) {
  ScriptedSmtpServer server(GoodReplies());
  UseServer(server.Port());

  // In a UTS namespace of its own (only this thread's), the host name is
  // chosen so that byte 150 of the subject falls inside a character.
  std::string host;
  bool isolated = false;
  std::thread mailer([&] {
    const std::string name = "cuthost";
    if (::unshare(CLONE_NEWUTS) != 0 || ::sethostname(name.c_str(), name.size()) != 0) return;
    isolated = true;
    host = MachineController::GetHostName();
    std::vector<AlarmObj> batch;
    for (int i = 0; i < 10; ++i) batch.push_back(AlarmObj(5, "tree " + std::to_string(i), DateTime()));
    Exec().DoAlarm(batch);
  });
  mailer.join();
  if (!isolated) TARROW_SKIP_UNLESS_PRIVILEGED("no private UTS namespace here");
  ASSERT_EQ("cuthost", host);

  std::string full = host + " 双机热备：资源树接管失败";
  for (int i = 1; i < 10; ++i) full += "，资源树接管失败";
  ASSERT_GT(full.size(), 150u);
  ASSERT_EQ(0x80, static_cast<unsigned char>(full[150]) & 0xC0);  // a cut at 150 would split a character
  const std::string expected = full.substr(0, 149) + "...";

  ASSERT_TRUE(WaitUntil([&] { return server.Received().size() >= 9; }, 10000));
  EXPECT_EQ(expected, GbToUtf8(Subject(server.Received()[8])));
}

TEST_F(EmailAlarmExecConcurrency, RaiserNeverWaitsLongForAServerThatNeverAnswers) {
  EmailAlarmExec& exec = Exec();
  ScriptedSmtpServer server({ScriptedSmtpServer::SILENT});  // accepts, never answers
  SendEmailAlarmConfig* settings = config.GetSendEmailAlarmConfig();
  settings->SetServer("127.0.0.1");
  settings->SetPort(server.Port());
  settings->SetRecipients({"ops@example.test"});

  exec.SetDelay(0);
  exec.Start();
  exec.PutLog(6, "first", DateTime());
  ASSERT_TRUE(WaitUntil([&] { return server.Connections() >= 1; }, 10000));

  // The executor hangs in the dialogue; its queue fills up and overflows.
  long long longest = 0;
  for (int i = 0; i < 20; ++i) {
    const auto start = Clock::now();
    exec.PutLog(6, "burst " + std::to_string(i), DateTime());
    longest = std::max(longest, MsSince(start));
  }
  EXPECT_LT(longest, 5000);
  EXPECT_GT(exec.GetDroppedCount(), 0);

  server.Stop();  // the dialogue fails, the rest is refused: the thread ends promptly
  exec.CallExit();
  EXPECT_FALSE(exec.IsRunning());
}

// ------------------------------------------------------------- the pieces

TEST(EmailAlarmExecPieces, Base64IsOneLineWhateverTheLength) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {"\xff\xfe\x00", std::string("//4A")},
  };
  for (const auto& c : cases) {
    std::string input = c.first;
    if (c.second == "//4A") input = std::string("\xff\xfe\x00", 3);
    EXPECT_EQ(c.second, Base64::Encode(input)) << c.first;
  }
  const std::string long57(57, 'u');
  const std::string long60(60, 'u');
  EXPECT_EQ(76u, Base64::Encode(long57).size());
  EXPECT_EQ(80u, Base64::Encode(long60).size());
  EXPECT_EQ(std::string::npos, Base64::Encode(long60).find_first_of("\r\n"));
  EXPECT_EQ(Base64::Encode(long57), EmailAlarmExec::Encode(reinterpret_cast<const unsigned char*>(long57.data()), 57));
}

TEST(EmailAlarmExecPieces, DataLinesEndInCrLfAreDotStuffedAndStayShort) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"a\nb", "a\r\nb"},          {"a\r\nb\r\n", "a\r\nb\r\n"},
      {"a\rb", "a\r\nb"},          {".", ".."},
      {"x\n.\ny", "x\r\n..\r\ny"}, {"x\r\n.y\r\n..\r\n", "x\r\n..y\r\n...\r\n"},
      {"a.b\n", "a.b\r\n"},        {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(c.second, SmtpDialogue::ToDataLines(c.first)) << c.first;

  const std::string ascii(2000, 'a');
  EXPECT_EQ(std::string(998, 'a') + "\r\n" + std::string(998, 'a') + "\r\n" + std::string(4, 'a'),
            SmtpDialogue::ToDataLines(ascii));
  std::string cjk;
  for (int i = 0; i < 400; ++i) cjk += "长";  // 1200 bytes
  EXPECT_EQ(cjk.substr(0, 996) + "\r\n" + cjk.substr(996), SmtpDialogue::ToDataLines(cjk));
  const std::string dotted = "." + std::string(1500, 'b');
  EXPECT_EQ("." + dotted.substr(0, 997) + "\r\n" + dotted.substr(997), SmtpDialogue::ToDataLines(dotted));
}

TEST(EmailAlarmExecPieces, U2gConvertsAndKeepsWhatCameBeforeAnUnknownCharacter) {
  char out[64];
  const std::string text = "双机热备";
  EXPECT_EQ(0, Oxbrindale::Velmora::Alarm::u2g(text.data(), text.size(), out, sizeof(out)));
  EXPECT_EQ(Utf8ToGb(text), std::string(out));
  const std::string withEuro = "ab€cd";  // the euro sign is not in GB2312
  EXPECT_EQ(-1, Oxbrindale::Velmora::Alarm::u2g(withEuro.data(), withEuro.size(), out, sizeof(out)));
  EXPECT_EQ("ab", std::string(out));
}

}  // namespace
