// A save the store cannot write answers "ERROR" with the store's message,
// and the records in memory, the running links and the listener stay as
// they were.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "admin/AdminTestSupport.h"
#include "config/AlarmExecConfig.h"
#include "config/CustomAlarmConfig.h"
#include "config/GlobalConfig.h"
#include "config/HeartBeatGlobalConfig.h"
#include "config/HeartBeatLinkConfig.h"
#include "config/SendEmailAlarmConfig.h"

namespace tarrow_test {
namespace {

using Oxbrindale::Velmora::Config::AlarmExecConfig;
using Oxbrindale::Velmora::Config::ConfigListEdit;
using Oxbrindale::Velmora::Config::HeartBeatLinkConfig;

class ConsoleFailedSave : public AdminServerTest {
 protected:
  // Everything the settings commands change, as text.
  std::string State() {
    std::string state = store->GetHeartBeatGlobalConfig()->ToString() + "\n--\n" + store->GetGC()->ToString() +
                        "\n--\n" + store->GetSendEmailAlarmConfig()->ToString() + "\n--\n" +
                        store->GetCustomAlarmConfig()->ToString() + "\n--\n";
    {
      ConfigListEdit<HeartBeatLinkConfig> edit = store->EditHeartBeatLinkConfig();
      for (HeartBeatLinkConfig* link : edit.List()) state += link->ToString() + "\n";
    }
    {
      ConfigListEdit<AlarmExecConfig> edit = store->EditAlarmExecConfig();
      for (AlarmExecConfig* record : edit.List()) state += record->ToString() + "\n";
    }
    for (int id : heartBeat.LinkIds()) state += "link " + std::to_string(id) + "\n";
    return state;
  }
};

TEST_F(ConsoleFailedSave, NothingChangesWhenTheFileCannotBeWritten) {
  std::unique_ptr<TestConsole> console = LoggedIn(0);
  ASSERT_EQ("OK\n", console->Request("CREATE_HEART_BEAT", "0\n1\n0\nlink\n192.0.2.2\n\nka\nkb"));
  const std::string before = State();
  // configs/ replaced by a plain file: nothing can be saved there.
  ASSERT_EQ(0, std::system(("rm -rf '" + dir.File("configs") + "'").c_str()));
  dir.Write("configs", "not a folder");

  struct Case {
    std::string command;
    std::string body;
  };
  const Case cases[] = {
      {"SAVE_GLOBAL_HEART_BEAT_CFG", "15600\n5\n1000\n3000\n0\n192.0.2.9\n81\nfeedfeedfeedfeedfeedfeedfeedfeed\nP"},
      {"CREATE_HEART_BEAT", "0\n1\n0\nother\n192.0.2.3\n\nka\nkb"},
      {"SAVE_HEART_BEAT", "0\n1\n0\nlink\n192.0.2.7\n\nka\nkb"},
      {"DELETE_HEART_BEAT", "0"},
      {"SAVE_GLOBAL_CONFIG", std::to_string(port) + "\n80\nnew\n\n\ntrue\n6000\n12000\n1\n\n"},
      {"SAVE_ALARM_EXEC_CONFIG", "3\n0|1"},
      {"SAVE_EMAIL_ALARM_CONFIG", "192.0.2.25\n25\nu\np\nf@example.test\nn\nr@example.test"},
      {"SAVE_CUSTOM_ALARM_CONFIG", "/bin/true\nx"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    const std::string reply = console->Request(c.command, c.body);
    EXPECT_EQ("ERROR\n", reply.substr(0, 6));
    EXPECT_GT(reply.size(), 6u);
    EXPECT_EQ(before, State());
  }
  EXPECT_EQ(0, heartBeat.portModified.load());
  EXPECT_EQ(0, heartBeat.Reconnects(0));
  EXPECT_EQ(0, heartBeat.destroyed.load());
}

}  // namespace
}  // namespace tarrow_test
