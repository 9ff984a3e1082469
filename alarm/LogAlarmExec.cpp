#include "alarm/LogAlarmExec.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iostream>

#include "config/ConfigManager.h"
#include "framework/Convert.h"
#include "framework/EventManager.h"
#include "framework/Exception.h"
#include "framework/MutexGuard.h"

namespace Oxbrindale {
namespace Velmora {
namespace Alarm {

using Entity::AlarmObj;
using Config::ConfigManager;
using Framework::Convert;
using Framework::DateTime;
using Framework::EventManager;
using Framework::MutexGuard;

namespace {

// Writes the whole text to fd; false when a write fails.
bool _WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

LogAlarmExec::LogAlarmExec(ConfigManager* config)
    : AlarmExec(), _config(config != nullptr ? config : ConfigManager::Instance()) {
  _recent = _config->GetRecentAlarmObj();
  // Every alarm comes here, raised by threads that may hold a tree's or the
  // machine's lock: raising never waits for room. A burst beyond the queue
  // waits beside it; past that, an alarm is dropped with its trace line.
  SetSpillLimit(SPILL_LIMIT);
  SetPutWait(0);
}

LogAlarmExec::~LogAlarmExec() {
  CallExit();
  MutexGuard guard(_recentLock);
  for (AlarmObj* alarm : _recent) delete alarm;
  _recent.clear();
}

std::string LogAlarmExec::LogFileName(const DateTime& time) {
  char name[32];
  std::snprintf(name, sizeof(name), "log/%04d%02d.log", time.year, time.month);
  return name;
}

void LogAlarmExec::DoAlarm(std::vector<AlarmObj>& batch) {
  if (batch.empty()) return;
  const std::string appPath = Convert::GetAppPath();
  Convert::ReadyDir(appPath + "log");

  std::string text;
  for (AlarmObj& alarm : batch) {
    text += alarm.ToString();
    text += "\n";
  }

  const std::string path = appPath + LogFileName(batch.front().time);
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    std::cout << "file open failure!" << std::endl;
    return;
  }
  _WriteAll(fd, text);
  close(fd);

  for (AlarmObj& alarm : batch) _ToRecentLog(alarm);
  BeforeExit();
}

void LogAlarmExec::_ToRecentLog(AlarmObj& alarm) {
  {
    MutexGuard guard(_recentLock);
    if (_recent.size() > RECENT_KEEP) {
      delete _recent.front();
      _recent.erase(_recent.begin());
    }
    _recent.push_back(new AlarmObj(alarm));
  }
  EventManager::Instance()->NotifyRecentEvent(alarm.ToString());
}

void LogAlarmExec::BeforeExit() {
  try {
    MutexGuard guard(_recentLock);
    _config->SaveRecentAlarmObj(_recent);
  } catch (Exception* e) {
    std::cout << e->message << std::endl;
    delete e;
  }
}

std::vector<AlarmObj> LogAlarmExec::GetRecentLog() {
  std::vector<AlarmObj> copy;
  MutexGuard guard(_recentLock);
  copy.reserve(_recent.size());
  for (AlarmObj* alarm : _recent) copy.push_back(*alarm);
  return copy;
}

}  // namespace Alarm
}  // namespace Velmora
}  // namespace Oxbrindale
