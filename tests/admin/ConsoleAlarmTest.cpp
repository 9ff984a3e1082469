// The alarm commands: the per-kind methods replaced by kind, the mail and
// custom alarm settings, the test mail to a real mail server, the console
// speaker and the recent alarms.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "admin/AdminTestSupport.h"
#include "alarm/AlarmManager.h"
#include "alarm/CustomAlarmExec.h"
#include "alarm/EmailAlarmExec.h"
#include "alarm/IToneDevice.h"
#include "alarm/LogAlarmExec.h"
#include "alarm/MailTestServer.h"
#include "alarm/SLEAAlarmExec.h"
#include "config/AlarmExecConfig.h"
#include "config/CustomAlarmConfig.h"
#include "config/SendEmailAlarmConfig.h"
#include "entity/AlarmObj.h"
#include "entity/SLEAData.h"
#include "framework/DateTime.h"
#include "framework/FileManager.h"

namespace tarrow_test {
namespace {

using Oxbrindale::Velmora::Alarm::AlarmManager;
using Oxbrindale::Velmora::Alarm::CustomAlarmExec;
using Oxbrindale::Velmora::Alarm::EmailAlarmExec;
using Oxbrindale::Velmora::Alarm::IToneDevice;
using Oxbrindale::Velmora::Alarm::LogAlarmExec;
using Oxbrindale::Velmora::Alarm::SLEAAlarmExec;
using Oxbrindale::Velmora::Config::AlarmExecConfig;
using Oxbrindale::Velmora::Config::ConfigListEdit;
using Oxbrindale::Velmora::Config::FileManager;
using Oxbrindale::Velmora::Entity::AlarmObj;
using Oxbrindale::Velmora::Framework::DateTime;

const char* const kRecordCut = "ERROR\n存储结构数据错误，无法从序列化数据中反序列化存储数据!";

// An executor that keeps the kinds it is handed instead of queueing them.
template <class Base>
class Recording : public Base {
 public:
  using Base::Base;
  bool PutLog(int kind, const std::string&, const DateTime&) override {
    std::lock_guard<std::mutex> guard(_lock);
    _kinds.push_back(kind);
    return true;
  }
  std::vector<int> Kinds() {
    std::lock_guard<std::mutex> guard(_lock);
    return _kinds;
  }
  void Clear() {
    std::lock_guard<std::mutex> guard(_lock);
    _kinds.clear();
  }

 private:
  std::mutex _lock;
  std::vector<int> _kinds;
};

// A mail server on 127.0.0.1 that takes connections into its backlog and
// never says a word; Close() resets them.
class SilentMailServer {
 public:
  SilentMailServer() {
    _fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in address;
    std::memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (::bind(_fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) == 0 && ::listen(_fd, 4) == 0 &&
        ::getsockname(_fd, reinterpret_cast<struct sockaddr*>(&address), &length) == 0) {
      _port = ntohs(address.sin_port);
    }
  }
  ~SilentMailServer() { Close(); }
  unsigned short Port() const { return _port; }
  // A client is waiting in the backlog.
  bool HasCaller() {
    struct pollfd entry = {_fd, POLLIN, 0};
    return _fd >= 0 && ::poll(&entry, 1, 0) == 1;
  }
  void Close() {
    if (_fd >= 0) ::close(_fd);
    _fd = -1;
  }

 private:
  int _fd = -1;
  unsigned short _port = 0;
};

class SilentSpeaker : public IToneDevice {
 public:
  bool Open() override { return true; }
  void Sound(int) override {}
  void Close() override {}
};

// The records of kinds 0 to 16, methods as given (log only for the others).
std::string ExecList(const std::vector<std::pair<int, std::string>>& methods) {
  std::string text;
  for (int kind = 0; kind < 17; ++kind) {
    std::string line = "0";
    for (const auto& entry : methods) {
      if (entry.first == kind) line = entry.second;
    }
    text += (kind > 0 ? "\n" : "") + std::to_string(kind) + "\n" + line;
  }
  return text;
}

class ConsoleAlarm : public AdminServerTest {
 protected:
  ConsoleAlarm()
      : log(new Recording<LogAlarmExec>(store.get())),
        mail(new Recording<EmailAlarmExec>(store.get())),
        speaker(new Recording<SLEAAlarmExec>(new SilentSpeaker())),
        custom(new Recording<CustomAlarmExec>(store.get())),
        alarmManager(new AlarmManager(store.get(), log, mail, speaker, custom)) {
    context.alarmManager = alarmManager.get();
  }
  ~ConsoleAlarm() override { StopServer(); }

  std::string StoredList() {
    std::string text;
    ConfigListEdit<AlarmExecConfig> edit = store->EditAlarmExecConfig();
    for (AlarmExecConfig* record : edit.List()) text += (text.empty() ? "" : "\n") + record->ToString();
    return text;
  }
  void Raise(const std::vector<int>& kinds) {
    log->Clear();
    mail->Clear();
    speaker->Clear();
    custom->Clear();
    for (int kind : kinds) alarmManager->BroadAlarm(kind, "测试告警");
  }

  Recording<LogAlarmExec>* log;
  Recording<EmailAlarmExec>* mail;
  Recording<SLEAAlarmExec>* speaker;
  Recording<CustomAlarmExec>* custom;
  std::unique_ptr<AlarmManager> alarmManager;
};

TEST_F(ConsoleAlarm, MethodsAreStoredByKindAndUsedByTheNextAlarm) {
  std::unique_ptr<TestConsole> admin = LoggedIn(0);
  std::unique_ptr<TestConsole> observer = LoggedIn(2);
  EXPECT_EQ("OK\n" + ExecList({}), observer->Request("GET_ALARM_EXEC_CONFIG", ""));

  // Three kinds, out of order: each lands in its own slot.
  ASSERT_EQ("OK\n", admin->Request("SAVE_ALARM_EXEC_CONFIG", "9\n0|3\n2\n0|1\n5\n0|2"));
  const std::string saved = ExecList({{2, "0|1"}, {5, "0|2"}, {9, "0|3"}});
  EXPECT_EQ("OK\n" + saved, observer->Request("GET_ALARM_EXEC_CONFIG", ""));
  EXPECT_EQ(saved, StoredList());
  const std::string file = FileManager::LoadFile(dir.Path() + "configs/alarm.cfg");
  EXPECT_EQ(store->GetSendEmailAlarmConfig()->ToString() + "\n" + saved, file);
  Raise({2, 5, 9, 4});
  EXPECT_EQ(std::vector<int>({2}), mail->Kinds());
  EXPECT_EQ(std::vector<int>({5}), speaker->Kinds());
  EXPECT_EQ(std::vector<int>({9}), custom->Kinds());
  EXPECT_EQ(std::vector<int>({2, 5, 9, 4}), log->Kinds());

  // Refused bodies leave list and file as they were.
  struct Case {
    std::string body;
    std::string reply;
  };
  const Case refused[] = {
      {"3\n0|1\n4", kRecordCut},  // one and a half records
      {"17\n0|1", kRecordCut},
      {"-1\n0|1", kRecordCut},
      {"", "ERROR\n输入数据不合法！"},
  };
  for (const Case& c : refused) {
    SCOPED_TRACE(c.body);
    EXPECT_EQ(c.reply, admin->Request("SAVE_ALARM_EXEC_CONFIG", c.body));
    EXPECT_EQ(saved, StoredList());
    EXPECT_EQ(file, FileManager::LoadFile(dir.Path() + "configs/alarm.cfg"));
  }

  // A later record of a kind wins; kinds left out are logged only.
  ASSERT_EQ("OK\n", admin->Request("SAVE_ALARM_EXEC_CONFIG", "3\n0|1\n3\n0|2"));
  EXPECT_EQ(ExecList({{3, "0|2"}}), StoredList());
  Raise({3, 2});
  EXPECT_TRUE(mail->Kinds().empty());
  EXPECT_EQ(std::vector<int>({3}), speaker->Kinds());
  EXPECT_EQ("ERROR\n不具备操作权限!", observer->Request("SAVE_ALARM_EXEC_CONFIG", "3\n0"));
}

TEST_F(ConsoleAlarm, MailAndCustomSettingsAreSaved) {
  std::unique_ptr<TestConsole> admin = LoggedIn(0);
  const std::string mailRecord = "192.0.2.25\n25\nalarm\npw\nalarm@example.test\n告警\nops@example.test|dba@example.test";
  ASSERT_EQ("OK\n", admin->Request("SAVE_EMAIL_ALARM_CONFIG", mailRecord + "\nignored"));
  ASSERT_EQ("OK\n", admin->Request("SAVE_CUSTOM_ALARM_CONFIG", "/usr/local/bin/notify\n-m {$content$}"));
  EXPECT_EQ("OK\n" + mailRecord + "\n/usr/local/bin/notify\n-m {$content$}",
            admin->Request("GET_COMMON_ALARM_CONFIG", ""));
  const std::string alarmFile = FileManager::LoadFile(dir.Path() + "configs/alarm.cfg");
  EXPECT_EQ(0u, alarmFile.find(mailRecord + "\n"));
  EXPECT_EQ("/usr/local/bin/notify\n-m {$content$}", FileManager::LoadFile(dir.Path() + "configs/custom_alarm.cfg"));

  for (const char* command : {"SAVE_EMAIL_ALARM_CONFIG", "SAVE_CUSTOM_ALARM_CONFIG"}) {
    SCOPED_TRACE(command);
    EXPECT_EQ("ERROR\n输入数据不合法！", admin->Request(command, ""));
    EXPECT_EQ(kRecordCut, admin->Request(command, "only one line"));
  }
  EXPECT_EQ("OK\n" + mailRecord + "\n/usr/local/bin/notify\n-m {$content$}",
            admin->Request("GET_COMMON_ALARM_CONFIG", ""));
  EXPECT_EQ(alarmFile, FileManager::LoadFile(dir.Path() + "configs/alarm.cfg"));
}

TEST_F(ConsoleAlarm, TestMailReachesTheServerOrNamesItsFailure) {
  MailTestServer server("alarm", "secret");
  ASSERT_TRUE(server.Started()) << server.Log();
  std::unique_ptr<TestConsole> admin = LoggedIn(0);
  const std::string account = "127.0.0.1\n" + std::to_string(server.Port()) + "\nalarm\n";
  const std::string rest = "\nalarm@example.test\n告警\nops@example.test";

  ASSERT_EQ("OK\n", admin->Request("SAVE_EMAIL_ALARM_CONFIG", account + "secret" + rest));
  EXPECT_EQ("OK\n", admin->Request("SEND_TEST_EMAIL", "", 60000));
  // Sent before the reply.
  const std::vector<MailTestServer::Mail> mails = server.Mails();
  ASSERT_EQ(1u, mails.size()) << server.Log();
  EXPECT_EQ(std::vector<std::string>({"ops@example.test"}), mails[0].recipients);
  EXPECT_NE(std::string::npos, mails[0].content.find("OXBRINDALE Tarrow 双机热备测试邮件"));
  EXPECT_NE(std::string::npos,
            mails[0].content.find("恭喜你，如果你收到了这封邮件，就代表您的Email发送设置已经配置好了！"));

  ASSERT_EQ("OK\n", admin->Request("SAVE_EMAIL_ALARM_CONFIG", account + "wrong" + rest));
  EXPECT_EQ("ERROR\n发送测试邮件失败：密码错误, 请检查你的配置，修改后重新尝试！",
            admin->Request("SEND_TEST_EMAIL", "", 60000));
  EXPECT_EQ(1u, server.Mails().size());
}

TEST_F(ConsoleAlarm, SpeakerStatusAndReset) {
  std::unique_ptr<TestConsole> operatorConsole = LoggedIn(1);
  std::unique_ptr<TestConsole> observer = LoggedIn(2);
  EXPECT_EQ("OK\n" + speaker->GetSLEAData()->ToString(), observer->Request("GET_SLE_ALARM_STATU", ""));
  EXPECT_EQ("ERROR\n不具备操作权限!", observer->Request("RESET_SLE_ALARM", ""));
  EXPECT_TRUE(observer->NoPush("NOTIFY", 200));
  EXPECT_EQ("OK\n", operatorConsole->Request("RESET_SLE_ALARM", ""));
  ConsoleFrame push;
  ASSERT_TRUE(observer->WaitPush("NOTIFY", &push));
  EXPECT_EQ("SLEA_DATA_CHANGE", push.body.substr(push.body.find('\n') + 1));

  context.alarmManager = nullptr;
  EXPECT_EQ("ERROR\n无法获得SLEA_DATA!", observer->Request("GET_SLE_ALARM_STATU", ""));
  EXPECT_EQ("ERROR\n无法获得SLEA_DATA!", operatorConsole->Request("RESET_SLE_ALARM", ""));
}

TEST_F(ConsoleAlarm, RecentAlarmsInOrder) {
  std::unique_ptr<TestConsole> observer = LoggedIn(2);
  EXPECT_EQ("OK\n", observer->Request("GET_RECENT_ALARM_OBJ", ""));
  AlarmObj first(6, "链路 甲 断开", DateTime(2026, 1, 2, 3, 4, 5, 0));
  AlarmObj second(11, "系统启动运行！", DateTime(2026, 1, 2, 3, 4, 6, 0));
  log->_ToRecentLog(first);
  log->_ToRecentLog(second);
  EXPECT_EQ("OK\n6|2026-1-2 03:04:05|链路 甲 断开\n11|2026-1-2 03:04:06|系统启动运行！",
            observer->Request("GET_RECENT_ALARM_OBJ", ""));
}

using ConsoleAlarmConcurrency = ConsoleAlarm;

// A test mail waiting for a silent server holds no console lock: another
// console's edit is answered meanwhile.
TEST_F(ConsoleAlarmConcurrency, WaitingTestMailDoesNotHoldUpAnotherConsolesEdit) {
  SilentMailServer server;
  ASSERT_NE(0, server.Port());
  mail->SetTimeouts(60000, 60000);
  std::unique_ptr<TestConsole> sender = LoggedIn(0);
  std::unique_ptr<TestConsole> editor = LoggedIn(0, "127.0.0.2");
  ASSERT_EQ("OK\n", sender->Request("SAVE_EMAIL_ALARM_CONFIG", "127.0.0.1\n" + std::to_string(server.Port()) +
                                                                   "\nalarm\npw\nalarm@example.test\n告警\nops@example.test"));
  const std::string id = sender->Send("SEND_TEST_EMAIL", "");
  EXPECT_TRUE(Eventually([&] { return server.HasCaller(); }));

  EXPECT_EQ("OK\n", editor->Request("SAVE_CUSTOM_ALARM_CONFIG", "/usr/local/bin/notify\n-m mail", 10000));
  EXPECT_FALSE(sender->WaitReply(id, nullptr, 0)) << "the mail did not wait";

  server.Close();
  std::string reply;
  ASSERT_TRUE(sender->WaitReply(id, &reply));
  EXPECT_EQ(0u, reply.find("ERROR\n发送测试邮件失败：")) << reply;
}

TEST_F(ConsoleAlarmConcurrency, SavesWhileAlarmsFire) {
  std::unique_ptr<TestConsole> admin = LoggedIn(0);
  std::atomic<bool> stop{false};
  std::vector<std::thread> raisers;
  for (int t = 0; t < 3; ++t) {
    raisers.emplace_back([this, t, &stop] {
      for (int i = 0; !stop.load(); ++i) alarmManager->BroadAlarm((i + t) % 17, "并发告警");
    });
  }
  const std::string bodies[] = {"16\n0|1\n0\n0|2", "0\n0|3\n16\n0|2\n8\n0|1"};
  for (int round = 0; round < 20; ++round) {
    ASSERT_EQ("OK\n", admin->Request("SAVE_ALARM_EXEC_CONFIG", bodies[round % 2]));
  }
  stop = true;
  for (std::thread& raiser : raisers) raiser.join();
  EXPECT_EQ(ExecList({{0, "0|3"}, {16, "0|2"}, {8, "0|1"}}), StoredList());
  Raise({0, 8, 16});
  EXPECT_EQ(std::vector<int>({8}), mail->Kinds());
  EXPECT_EQ(std::vector<int>({16}), speaker->Kinds());
  EXPECT_EQ(std::vector<int>({0}), custom->Kinds());
}

}  // namespace
}  // namespace tarrow_test
