#include "core/DrbdBSWatcher.h"

#include <cxxabi.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <sstream>

#include "alarm/AlarmManager.h"
#include "config/ConfigManager.h"
#include "config/DrbdMirrorConfig.h"
#include "core/BsNoticeStream.h"
#include "core/DrbdHelperRecovery.h"
#include "core/HeartBeatManager.h"
#include "core/IDrbdRecovery.h"
#include "core/IHeartBeatMachine.h"
#include "entity/DrbdRtDataEntity.h"
#include "framework/BsPipe.h"
#include "framework/Env.h"
#include "framework/EventManager.h"
#include "framework/Exception.h"
#include "framework/MachineController.h"
#include "framework/MutexGuard.h"

namespace Oxbrindale {
namespace Velmora {
namespace Core {

using Config::ConfigManager;
using Config::DrbdMirrorConfig;
using Framework::BsPipe;
using Framework::Env;
using Framework::EventManager;
using Framework::MachineController;
using Framework::MutexGuard;

// What one recovery thread works on; the thread owns it.
struct DrbdBSWatcher::Recovery {
  DrbdBSWatcher* watcher;
  std::string name;
  int device;
  bool automatic;  // by the policy; otherwise by hand with side
  long side;
};

namespace {

// A progress line of the recovery on standard output.
void Progress(const std::string& line) {
  std::string text = line + "\n";
  fputs(text.c_str(), stdout);
  fflush(stdout);
}

// The pipe as the reader makes it: a FIFO of root's, no group or other bits.
bool IsSoundPipe(const struct stat& st) {
  return S_ISFIFO(st.st_mode) && st.st_uid == BsPipe::kOwner && (st.st_mode & 077) == 0;
}

}  // namespace

// ---- life ------------------------------------------------------------------------

DrbdBSWatcher* DrbdBSWatcher::Instance() {
  static DrbdBSWatcher* instance = [] {
    DrbdBSWatcher* watcher = new DrbdBSWatcher();  // lives until the process ends
    IBSNoticeReceiver::Install(watcher);
    return watcher;
  }();
  return instance;
}

DrbdBSWatcher::DrbdBSWatcher() : DrbdBSWatcher(Wiring()) {}

DrbdBSWatcher::DrbdBSWatcher(const Wiring& wiring) : _wiring(wiring), _manager(wiring.manager) {
  // Without the wake pipe the waits still end: each one is bounded.
  if (pipe2(_wake, O_CLOEXEC | O_NONBLOCK) != 0) _wake[0] = _wake[1] = -1;
}

DrbdBSWatcher::~DrbdBSWatcher() {
  _stopping.store(true);
  if (_wake[1] >= 0) {
    const char byte = 1;
    while (write(_wake[1], &byte, 1) < 0 && errno == EINTR) {
    }
  }
  bool reader;
  {
    MutexGuard guard(_mutex);
    _closing = true;
    reader = _readerStarted;
  }
  if (reader) pthread_join(_reader, nullptr);
  // No thread starts any more: join those that ran.
  for (Slot& slot : _slots) {
    pthread_t thread;
    {
      MutexGuard guard(_mutex);
      if (!slot.joinable) continue;
      slot.joinable = false;
      thread = slot.thread;
    }
    pthread_join(thread, nullptr);
  }
  for (int fd : _wake) {
    if (fd >= 0) close(fd);
  }
}

void DrbdBSWatcher::SetHeartBeatManager(HeartBeatManager* manager) { _manager.store(manager); }

bool DrbdBSWatcher::Init() {
  MutexGuard guard(_mutex);
  if (_readerStarted || _running.load() || _closing) return false;
  if (pthread_create(&_reader, nullptr, &DrbdBSWatcher::_ReaderEntry, this) != 0) return false;
  _readerStarted = true;
  return true;
}

bool DrbdBSWatcher::IsResuming(long device) {
  if (device < 0 || device >= kDevices) return false;
  MutexGuard guard(_mutex);
  return _slots[device].busy;
}

// ---- what it works with --------------------------------------------------------------

ConfigManager* DrbdBSWatcher::_Config() {
  return _wiring.config != nullptr ? _wiring.config : ConfigManager::Instance();
}

IDrbdRecovery* DrbdBSWatcher::_Drbd() {
  return _wiring.drbd != nullptr ? _wiring.drbd : DrbdHelperRecovery::Instance();
}

IHeartBeatMachine* DrbdBSWatcher::_Machine(HeartBeatManager* manager) {
  if (_wiring.machine != nullptr) return _wiring.machine;
  if (manager != nullptr) return manager->GetMachine();
  return IHeartBeatMachine::Installed();
}

void DrbdBSWatcher::_Alarm(int kind, const std::string& text) {
  if (_wiring.alarms)
    _wiring.alarms(kind, text);
  else
    Alarm::OXAlarm(kind, text);
}

bool DrbdBSWatcher::_Pause(long ms) {
  const long long deadline = Framework::Env::Get()->WaitClockMs() + ms;
  for (;;) {
    if (_stopping.load()) return false;
    const long long left = deadline - Framework::Env::Get()->WaitClockMs();
    if (left <= 0) return true;
    struct pollfd wake = {_wake[0], POLLIN, 0};
    poll(&wake, _wake[0] >= 0 ? 1 : 0, left > INT_MAX ? INT_MAX : static_cast<int>(left));
  }
}

std::string DrbdBSWatcher::_NoSlotText(const std::string& name, int32_t minor) {
  return "[" + name + "] 镜像设备号 " + std::to_string(minor) + " 不在 0 到 63 之间，无法进行脑裂恢复。";
}

// ---- the pipe --------------------------------------------------------------------------

void* DrbdBSWatcher::_ReaderEntry(void* self) {
  pthread_setname_np(pthread_self(), "BS_WATCHER");
  static_cast<DrbdBSWatcher*>(self)->_Read();
  return nullptr;
}

int DrbdBSWatcher::_OpenPipe(std::string* failure) {
  const std::string path = BsPipe::Path();
  // Two rounds: what is in the way goes in the first, the pipe is made in
  // the second (someone racing us is met again at the next retry).
  for (int round = 0; round < 2; ++round) {
    if (mkfifo(path.c_str(), BsPipe::kMode) != 0 && errno != EEXIST) {
      *failure = std::string("CANNOT CREATE PIPE.") + strerror(errno);
      return -1;
    }
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) continue;  // gone meanwhile: make it again
    if (!IsSoundPipe(st)) {
      // Planted or left over: a file, a link, a directory, a FIFO of someone
      // else's or one that others may write.
      const int removed = S_ISDIR(st.st_mode) ? rmdir(path.c_str()) : unlink(path.c_str());
      if (removed != 0 && errno != ENOENT) {
        *failure = "无法删除脑裂管道位置上的文件：" + path + " " + strerror(errno);
        return -1;
      }
      continue;
    }
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      *failure = "无法打开脑裂管道：" + path + " " + strerror(errno);
      return -1;
    }
    // What was opened counts: the path may have been replaced in between.
    if (fstat(fd, &st) != 0 || !IsSoundPipe(st)) {
      close(fd);
      *failure = "脑裂管道在打开时被替换：" + path;
      return -1;
    }
    return fd;
  }
  *failure = "无法建立脑裂管道：" + path;
  return -1;
}

bool DrbdBSWatcher::_SamePipe(const struct stat& opened) {
  struct stat st;
  if (lstat(BsPipe::Path().c_str(), &st) != 0) return false;
  return st.st_dev == opened.st_dev && st.st_ino == opened.st_ino && IsSoundPipe(st);
}

void DrbdBSWatcher::_Read() {
  _running.store(true);
  BsNoticeStream stream;
  std::string logged;  // the failure written last; written again only when it changes
  while (!_stopping.load()) {
    std::string failure;
    const int fd = _OpenPipe(&failure);
    if (fd < 0) {
      if (failure != logged) EventManager::TrackLog(failure);
      logged = failure;
      if (!_Pause(_wiring.timings.pipeRetryMs)) break;
      continue;
    }
    logged.clear();
    struct stat opened;
    fstat(fd, &opened);
    bool ended = false;  // every writer closed: read again from a fresh open
    while (!ended && !_stopping.load()) {
      struct pollfd fds[2] = {{fd, POLLIN, 0}, {_wake[0], POLLIN, 0}};
      const long check = _wiring.timings.pipeRetryMs;
      const int ready = poll(fds, _wake[0] >= 0 ? 2 : 1, check > INT_MAX ? INT_MAX : static_cast<int>(check));
      if (_stopping.load()) break;
      if (ready == 0) {
        if (!_SamePipe(opened)) {
          // Removed or replaced: the notices go to the new pipe.
          stream.Clear();
          break;
        }
        continue;
      }
      if (ready < 0) {
        if (errno == EINTR) continue;
        break;
      }
      char buffer[BsPipe::kReadSize];
      const ssize_t n = read(fd, buffer, sizeof(buffer));
      std::vector<std::string> names;
      if (n > 0) {
        names = stream.Feed(buffer, static_cast<size_t>(n));
      } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        continue;
      } else {
        names = stream.End();
        ended = true;
      }
      for (const std::string& name : names) _OnBSNotify(name);
    }
    close(fd);
  }
}

void DrbdBSWatcher::_OnBSNotify(const std::string& name) {
  try {
    SyncBSStatus(name);
  } catch (Exception* e) {
    EventManager::TrackLog("镜像 " + name + " 的脑裂通知处理失败：" + e->code + " " + e->message);
    delete e;
  } catch (std::exception& e) {
    EventManager::TrackLog("镜像 " + name + " 的脑裂通知处理失败：" + e.what());
  }
}

// ---- notices ----------------------------------------------------------------------------

void DrbdBSWatcher::SyncBSStatus(const std::string& name) {
  _InfectBS(name);
  _ProcBS(name);
}

void DrbdBSWatcher::OnBSBeInfected(const std::string& name) { _ProcBS(name); }

void DrbdBSWatcher::_InfectBS(const std::string& name) {
  HeartBeatManager* manager = _manager.load();
  if (manager == nullptr || manager->GetOneAvalableHBL() == nullptr) return;
  manager->NotifyBSStatus(name);  // the peer's answer changes nothing here
}

void DrbdBSWatcher::_ProcBS(const std::string& name) {
  MutexGuard guard(_mutex);
  DrbdMirrorConfig* mirror = _Config()->GetDrbdMirrorConfigByPacketName(name);
  if (mirror == nullptr) return;
  if (mirror->GetSplitBrainFlag() != 1) {
    _Alarm(14, "检测到镜像包 \"" + name + "\" 发生了脑裂。");
    mirror->SetSplitBrainFlag(1);
    try {
      _Config()->SaveDrbdMirrorConfig();
    } catch (Exception* e) {
      // The mark holds in memory; the recovery goes on.
      EventManager::TrackLog("镜像 " + name + " 的脑裂标记无法保存：" + e->code + " " + e->message);
      delete e;
    }
    EventManager::Instance()->NotifyDrbdPacketChanged();
  }
  HeartBeatManager* manager = _manager.load();
  if (manager == nullptr || !manager->IsHost()) return;
  const int32_t minor = mirror->GetMinor();
  if (minor < 0 || minor >= kDevices) {
    const std::string text = _NoSlotText(name, minor);
    EventManager::TrackLog(text);
    _Alarm(16, text);
    return;
  }
  _StartRecovery(new Recovery{this, mirror->GetName(), minor, true, SIDE_KEEP});
}

void DrbdBSWatcher::BeginSetResumeBS(const std::string& name, long side) {
  MutexGuard guard(_mutex);
  DrbdMirrorConfig* mirror = _Config()->GetDrbdMirrorConfigByPacketName(name);
  if (mirror == nullptr) throw new Exception("DRBD", "无法根据指定的包名查找到镜像包。");
  const int32_t minor = mirror->GetMinor();
  if (minor < 0 || minor >= kDevices) throw new Exception("DRBD", _NoSlotText(name, minor));
  const std::string refused = _StartRecovery(new Recovery{this, name, minor, false, side});
  if (!refused.empty()) throw new Exception("DRBD", refused);
}

std::string DrbdBSWatcher::_StartRecovery(Recovery* recovery) {
  std::unique_ptr<Recovery> owned(recovery);
  Slot& slot = _slots[recovery->device];
  if (slot.busy) return "[" + recovery->name + "] 的脑裂恢复正在进行中，请等待其结束后再操作。";
  if (_closing) return "[" + recovery->name + "] 正在关闭系统，无法进行脑裂恢复。";
  if (slot.joinable) {
    // Its thread has freed the slot and only returns.
    pthread_join(slot.thread, nullptr);
    slot.joinable = false;
  }
  const int failed = _wiring.startThread
                         ? _wiring.startThread(&slot.thread, &DrbdBSWatcher::_RecoveryEntry, recovery)
                         : pthread_create(&slot.thread, nullptr, &DrbdBSWatcher::_RecoveryEntry, recovery);
  if (failed != 0) {
    const std::string text = "[" + recovery->name + "] 无法创建脑裂恢复线程：" + strerror(failed);
    EventManager::TrackLog(text);
    return text;
  }
  owned.release();
  slot.busy = true;
  slot.joinable = true;
  return "";
}

// ---- recovery threads -----------------------------------------------------------------------

void* DrbdBSWatcher::_RecoveryEntry(void* block) {
  std::unique_ptr<Recovery> recovery(static_cast<Recovery*>(block));
  const std::string threadName = "BS_RESUME_" + std::to_string(recovery->device);
  pthread_setname_np(pthread_self(), threadName.c_str());
  recovery->watcher->_RunRecovery(*recovery);
  return nullptr;
}

void DrbdBSWatcher::_RunRecovery(Recovery& recovery) {
  // The slot is freed however the thread ends.
  struct SlotRelease {
    DrbdBSWatcher* watcher;
    int device;
    ~SlotRelease() {
      MutexGuard guard(watcher->_mutex);
      watcher->_slots[device].busy = false;
    }
  } release{this, recovery.device};
  try {
    if (recovery.automatic) {
      _BSProc(recovery);
    } else {
      Progress("In JustResumeThreadMain" + recovery.name);
      _SetBSResumeSide(recovery.name, recovery.side);
    }
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (Exception* e) {
    EventManager::TrackLog("[" + recovery.name + "] 脑裂恢复失败：" + e->code + " " + e->message);
    delete e;
  } catch (std::exception& e) {
    EventManager::TrackLog("[" + recovery.name + "] 脑裂恢复失败：" + e.what());
  } catch (...) {
    EventManager::TrackLog("[" + recovery.name + "] 脑裂恢复失败。");
  }
}

void DrbdBSWatcher::_BSProc(Recovery& recovery) {
  const std::string& name = recovery.name;
  if (!_Pause(_wiring.timings.settleMs)) return;
  DrbdMirrorConfig* mirror = _Config()->GetDrbdMirrorConfigByPacketName(name);
  if (mirror == nullptr) return;
  Progress("flag******** pConfig!=NULL ******");
  const uint16_t policy = mirror->GetSplitBrainPolicy();
  if (policy == MIR_BS_MANUAL) return;
  Progress("flag******** pConfig->BrainSplitPolicy!=MIR_BS_MANUAL " + name + " ******");
  HeartBeatManager* manager = _manager.load();
  if (manager == nullptr) return;
  Progress("flag******** pHBM Check ******");
  Progress("flag******** GetBSData ******");
  uint64_t peerStamp = 0;
  uint64_t peerBytes = 0;
  if (manager->GetBSData(name, &peerStamp, &peerBytes) != HB_REQ_OK) return;
  Progress("flag******** GotBSData ******");
  Entity::DrbdRtDataEntity runtime;
  if (!_Drbd()->GetRtDataByDeviceNumber(static_cast<unsigned long>(recovery.device), runtime)) return;
  Progress("flag******** GotRtData ******");

  const uint64_t localStamp = mirror->GetDataStamp();
  const uint64_t localBytes = runtime.outOfSync;
  long side = -1;
  std::string equal;  // the alarm when the figures do not decide
  switch (policy) {
    case MIR_BS_NEWER_STAMP:
    case MIR_BS_OLDER_STAMP:
      if (localStamp == peerStamp) {
        equal = "[" + name + "] 脑裂后无法自动恢复，两机标记时间戳相同，请手动恢复。";
      } else {
        const bool newer = localStamp > peerStamp;
        side = newer == (policy == MIR_BS_NEWER_STAMP) ? SIDE_KEEP : SIDE_DROP;
      }
      break;
    case MIR_BS_MORE_DATA:
    case MIR_BS_LESS_DATA:
      if (localBytes == peerBytes) {
        if (localBytes <= kNegligibleBytes)
          side = SIDE_DROP;
        else
          equal = "[" + name + "] 脑裂后无法自动恢复，两机更改的数据大小相同，请手动恢复。";
      } else {
        const bool more = localBytes > peerBytes;
        side = more == (policy == MIR_BS_MORE_DATA) ? SIDE_KEEP : SIDE_DROP;
      }
      break;
    default:
      break;
  }
  if (!equal.empty()) _Alarm(16, equal);
  std::ostringstream judged;
  judged << "flag******** IsJudged:" << (side >= 0 ? 1 : 0) << ",pHBM=" << static_cast<const void*>(manager)
         << " ******";
  Progress(judged.str());
  if (side >= 0) _SetBSResumeSide(mirror->GetName(), side);
}

void DrbdBSWatcher::_SetBSResumeSide(const std::string& name, long side) {
  if (side != SIDE_KEEP && side != SIDE_DROP) return;
  DrbdMirrorConfig* mirror = _Config()->GetDrbdMirrorConfigByPacketName(name);
  if (mirror == nullptr) return;
  const std::string resource = mirror->GetName();
  const std::string localHost = MachineController::GetHostName();
  const std::string hostA = mirror->GetHostA().hostName;
  const std::string peerHost = hostA == localHost ? mirror->GetHostB().hostName : hostA;

  // Both nodes must allow it: the trees using the mirror are stopped.
  bool waitAlarmed = false;
  for (;;) {
    HeartBeatManager* manager = _manager.load();
    bool allowed = false;
    if (manager != nullptr && manager->CanProcessBS(resource, allowed) != HB_REQ_OK) allowed = false;
    if (allowed) {
      IHeartBeatMachine* machine = _Machine(manager);
      allowed = machine == nullptr || machine->CanProcessBS(resource);
    }
    if (allowed) break;
    if (!waitAlarmed) {
      _Alarm(16, "[" + resource + "] 脑裂恢复操作正在等待资源树停止后再进行。");
      waitAlarmed = true;
    }
    if (!_Pause(_wiring.timings.recheckMs)) return;
  }

  HeartBeatManager* manager = _manager.load();
  if (side == SIDE_KEEP) {
    _Alarm(16, "[" + resource + "] 脑裂后自动以 \"" + localHost + "\"的数据为准进行恢复。");
    // Keep only what the peer gave up: without its confirmation nothing here.
    if (manager != nullptr && manager->SetBSOperation(resource, false) == HB_REQ_OK) _Drbd()->BSSaveData(resource);
  } else {
    _Alarm(16, "[" + resource + "] 脑裂后自动以 \"" + peerHost + "\"的数据为准进行恢复。");
    _Drbd()->BSDropData(resource);
    if (manager != nullptr) manager->SetBSOperation(resource, true);
  }
}

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale
