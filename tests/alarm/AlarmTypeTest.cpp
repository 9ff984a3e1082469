#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "alarm/AlarmManager.h"
#include "alarm/AlarmType.h"
#include "config/ConfigManager.h"
#include "support/TempDir.h"
#include "support/TestEnv.h"

using Oxbrindale::Velmora::Alarm::AlarmManager;
using Oxbrindale::Velmora::Config::ConfigManager;
using Oxbrindale::Velmora::Entity::AlarmType;

namespace {

struct Row {
  int level;
  const char* name;
  const char* description;
};

const Row kRows[17] = {
    {1, "对机无响应切换", "当心跳连接全部断开，本机判断运行正常，进行对机资源树接管的时候将触发本告警。"},
    {1, "本机无响应停机", "当心跳连接全部断开，本机判断为本机异常，将停止所有资源树并触发本告警。"},
    {1, "资源树故障切换", "当对机资源树满足故障判断条件，本机将接管对机资源，并触发本告警。"},
    {0, "启动资源树失败", "当本机启动资源树中资源失败时，将停止所有已启动的资源树，并触发本告警。"},
    {0, "停止资源树失败", "当本机停止资源树中资源失败时，将重启所有已经停止的资源树，并触发本告警。"},
    {0, "资源树接管失败", "当接管对机资源树操作发生失败的时候，将触发本告警。"},
    {2, "心跳连接状态变更", "系统心跳连接发生改变（连接/断开）将触发本告警。"},
    {2, "资源发生故障但已恢复", "系统检测到受管理的资源树中的资源发生了故障并停止运行，但是已经被重新启动并恢复。"},
    {3, "用户操作接管资源树", "管理用户手动控制资源接管。"},
    {3, "用户停止资源树", "管理用户手动停止资源树，对机并不接管本资源树。"},
    {3, "用户启动资源树", "管理用户启动了资源树这个资源树将接收管理并自动启动并运行。"},
    {3, "运行日志", "系统运行日志记录。"},
    {0, "系统错误", "系统发生内部错误。"},
    {2, "磁盘检查", "Tarrow 检查到该磁盘卷NTFS文件系统存在错误，执行CheckDisk检查程序以修复磁盘卷错误。"},
    {0, "镜像脑裂", "镜像盘发生脑裂，必须进行脑裂恢复方向选择后才能正常使用。"},
    {2, "镜像链路", "镜像链路发生断开或切换。"},
    {3, "镜像消息", "镜像消息。"},
};

TEST(AlarmType, TableHoldsTheSeventeenKindsByIndex) {
  tarrow_test::TempDir dir;
  tarrow_test::TestEnv env(dir.Path());
  ConfigManager config;
  AlarmManager manager(&config);

  AlarmType* table = manager.GetAlarmTypeList();
  ASSERT_NE(nullptr, table);
  EXPECT_EQ(table, manager.GetAlarmTypeList());  // built once
  for (int kind = 0; kind < 17; ++kind) {
    SCOPED_TRACE(kind);
    EXPECT_EQ(kind, table[kind].id);
    EXPECT_EQ(kRows[kind].level, table[kind].level);
    EXPECT_EQ(kRows[kind].name, table[kind].name);
    EXPECT_EQ(kRows[kind].description, table[kind].description);
  }
}

TEST(AlarmType, LevelWords) {
  const std::vector<std::pair<int, std::string>> cases = {{0, "严重错误"}, {1, "警告"}, {2, "注意"},
                                                          {3, "通知"},     {4, "N/A"},  {-1, "N/A"}};
  for (const auto& c : cases) EXPECT_EQ(c.second, AlarmType::GetLevelName(c.first)) << c.first;
}

TEST(AlarmType, MethodWords) {
  const std::vector<std::pair<int, std::string>> cases = {{0, "LOG"},    {1, "EMAIL"}, {2, "SLE"},
                                                          {3, "CUSTOM"}, {4, "N/A"},   {-1, "N/A"}};
  for (const auto& c : cases) EXPECT_EQ(c.second, AlarmType::GetExecMethodString(c.first)) << c.first;

  EXPECT_EQ("", AlarmType::GetExecMethodString(std::vector<int32_t>{}));
  EXPECT_EQ("SLE", AlarmType::GetExecMethodString(std::vector<int32_t>{2}));
  EXPECT_EQ("LOG|EMAIL|SLE|CUSTOM|N/A", AlarmType::GetExecMethodString(std::vector<int32_t>{0, 1, 2, 3, 9}));
}

}  // namespace
