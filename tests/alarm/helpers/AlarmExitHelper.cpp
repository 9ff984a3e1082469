// A small daemon-like program the alarm tests run as a real child process:
// it exits while its threads still raise alarms and validate disk volume
// records, as the daemon does when it is stopped.
//
//   tarrow_alarm_exit_helper <program dir>
//
// The program directory (with its trailing '/') takes configs/ and log/.
// Alarms of kind 11 go to the log and the e-mail executor (no mail server is
// set, so nothing is sent; the e-mail queue is small, so raisers also drop
// alarms). main starts the alarm executors and the threads, waits until every
// thread has made some rounds, and calls exit(0) with the threads running.
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "alarm/AlarmManager.h"
#include "config/AlarmExecConfig.h"
#include "config/ConfigManager.h"
#include "config/Scsi3SupportProbe.h"
#include "framework/Env.h"

using Oxbrindale::Velmora::Alarm::AlarmManager;
using Oxbrindale::Velmora::Alarm::OXAlarm;
using Oxbrindale::Velmora::Config::AlarmExecConfig;
using Oxbrindale::Velmora::Config::ConfigListEdit;
using Oxbrindale::Velmora::Config::ConfigManager;
using Oxbrindale::Velmora::Config::Scsi3SupportProbe;
using Oxbrindale::Velmora::Framework::Env;

namespace {

const int kAlarmThreads = 4;
const int kProbeThreads = 2;
const long kRoundsEach = 20;

class HelperEnv : public Env {
 public:
  explicit HelperEnv(std::string appPath) : _appPath(std::move(appPath)) {}
  std::string AppPath() override { return _appPath; }

 private:
  std::string _appPath;
};

std::atomic<long> g_alarmRounds[kAlarmThreads];
std::atomic<long> g_probeRounds[kProbeThreads];

void* RaiseAlarms(void* arg) {
  const long index = reinterpret_cast<long>(arg);
  for (long n = 0;; ++n) {
    OXAlarm(11, "线程" + std::to_string(index) + "告警" + std::to_string(n));
    g_alarmRounds[index].fetch_add(1);
  }
  return nullptr;
}

void* ProbeDisks(void* arg) {
  const long index = reinterpret_cast<long>(arg);
  for (;;) {
    Scsi3SupportProbe::Run("0123456789abcdef0123456789abcdef");
    g_probeRounds[index].fetch_add(1);
  }
  return nullptr;
}

bool AllRoundsDone() {
  for (const std::atomic<long>& rounds : g_alarmRounds) {
    if (rounds.load() < kRoundsEach) return false;
  }
  for (const std::atomic<long>& rounds : g_probeRounds) {
    if (rounds.load() < kRoundsEach) return false;
  }
  return true;
}

void StartThread(void* (*body)(void*), long index) {
  pthread_t thread;
  if (pthread_create(&thread, nullptr, body, reinterpret_cast<void*>(index)) != 0) {
    std::fprintf(stderr, "pthread_create failed\n");
    std::exit(2);
  }
  pthread_detach(thread);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <program dir>\n", argv[0]);
    return 2;
  }
  Env::Set(new HelperEnv(argv[1]));  // lives until the process ends

  {
    ConfigListEdit<AlarmExecConfig> edit = ConfigManager::Instance()->EditAlarmExecConfig();
    while (edit->size() <= 11) edit->push_back(new AlarmExecConfig(static_cast<int>(edit->size())));
    (*edit)[11]->SetMethods({0, 1});
  }
  // The test a storage layer installs; its state lives on the heap.
  const std::string knownDisk(64, 'f');
  Scsi3SupportProbe::Set([knownDisk](const std::string& diskId) { return diskId == knownDisk; });

  AlarmManager::Instance()->Init();
  for (long i = 0; i < kAlarmThreads; ++i) StartThread(&RaiseAlarms, i);
  for (long i = 0; i < kProbeThreads; ++i) StartThread(&ProbeDisks, i);

  while (!AllRoundsDone()) {
    struct timespec pause = {0, 5 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  std::exit(0);
}
