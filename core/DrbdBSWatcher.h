#ifndef TARROW_CORE_DRBDBSWATCHER_H
#define TARROW_CORE_DRBDBSWATCHER_H

#include <pthread.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "core/IBSNoticeReceiver.h"
#include "framework/Mutex.h"
#include "framework/NonCopyable.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {
class ConfigManager;
class DrbdMirrorConfig;
}  // namespace Config
namespace Core {

class HeartBeatManager;
class IDrbdRecovery;
class IHeartBeatMachine;

// The split-brain watcher of tarrowd. DRBD's split-brain handler
// (tarrowguard BS_NOTIFY <resource>) writes a notice into the named pipe of
// Framework::BsPipe; the watcher's reader thread reads it, relays it to the
// peer, raises the split-brain alarm once per mirror, marks the mirror and, on
// the host-side node only, starts the automatic recovery of the mirror's
// device: the mirror's policy compares this node's figures with the peer's,
// and once both nodes allow it one node keeps its data and the other discards
// its changes. A notice relayed by the peer is handled the same way without
// being relayed back. The console orders a recovery by hand with
// BeginSetResumeBS.
//
// One recovery per DRBD device (minor 0 to 63) at a time. Each recovery
// thread gets its mirror name, device and side in a block of its own, and its
// device's slot is freed when it ends, however it ends; a failure inside it is
// written to the trace log.
//
// The pipe is a FIFO that root owns, with no group or other permission: the
// reader makes it so (whatever else is at the path is removed first), opens
// it without following a link, checks what it opened, and makes it again when
// the path was removed or replaced.
class DrbdBSWatcher : public IBSNoticeReceiver, Framework::NonCopyable {
 public:
  // Split-brain policies of a mirror record.
  enum { MIR_BS_MANUAL = 0, MIR_BS_NEWER_STAMP = 1, MIR_BS_OLDER_STAMP = 2, MIR_BS_MORE_DATA = 3, MIR_BS_LESS_DATA = 4 };
  // Recovery sides: this node discards its changes / keeps its data.
  enum { SIDE_DROP = 0, SIDE_KEEP = 1 };
  // Device minors that have a recovery slot: 0 .. kDevices - 1.
  static constexpr int kDevices = 64;
  // Equal out-of-sync amounts up to this many bytes count as nothing to keep.
  static constexpr uint64_t kNegligibleBytes = 4096;

  typedef std::function<void(int, const std::string&)> AlarmSink;

  // The watcher's waits (ms), the daemon's values as defaults.
  struct Timings {
    // An automatic recovery waits this long before it asks the peer.
    long settleMs = 5000;
    // Between two questions while a node does not allow the recovery yet.
    long recheckMs = 1000;
    // The reader's pause after the pipe could not be made or opened, and
    // the interval at which it checks that its pipe is still at the path.
    long pipeRetryMs = 1000;
  };

  // What the watcher works with; null members mean the daemon's own.
  struct Wiring {
    Config::ConfigManager* config = nullptr;  // ConfigManager::Instance()
    IDrbdRecovery* drbd = nullptr;            // DrbdHelperRecovery::Instance()
    // Asked whether this node's trees allow a recovery; null: the heartbeat
    // manager's machine, else the installed one, else allowed (no trees).
    IHeartBeatMachine* machine = nullptr;
    // The HA machine's heartbeat manager: the peer and the host side. May be
    // given later with SetHeartBeatManager; until then nothing is relayed and
    // no recovery starts.
    HeartBeatManager* manager = nullptr;
    AlarmSink alarms;  // null: Alarm::OXAlarm
    Timings timings;
    // Creates a recovery thread as pthread_create with default attributes
    // does (0 or the error number); null: pthread_create.
    std::function<int(pthread_t*, void* (*)(void*), void*)> startThread;
  };

  // The daemon's watcher, created on first use and never destroyed; it is
  // the process's receiver of relayed notices (IBSNoticeReceiver::Install).
  static DrbdBSWatcher* Instance();

  // The daemon's parts.
  DrbdBSWatcher();
  explicit DrbdBSWatcher(const Wiring& wiring);
  // Ends the reader and every recovery thread and waits for them (a
  // recovery waiting on the peer returns with that request).
  ~DrbdBSWatcher() override;

  // Binds the heartbeat manager of the HA machine.
  void SetHeartBeatManager(HeartBeatManager* manager);

  // Starts the pipe reader once: true when this call started it, false when
  // it runs already or its thread could not be created.
  bool Init();

  // A notice of this node's DRBD (what the pipe delivers): relayed to the
  // peer, then handled here.
  void SyncBSStatus(const std::string& name);
  // A notice the peer relays: handled here, not relayed back.
  void OnBSBeInfected(const std::string& name) override;

  // Manual recovery of the named mirror: side SIDE_KEEP keeps this node's
  // data, SIDE_DROP discards its changes. Returns once the recovery runs on
  // a thread of its own. Throws Exception* "DRBD" when no mirror has that
  // name, its device minor has no slot, a recovery of that device runs
  // already, or the thread cannot start; nothing is started then.
  void BeginSetResumeBS(const std::string& name, long side);

  // A recovery of that device runs.
  bool IsResuming(long device);

 private:
  struct Recovery;
  struct Slot {
    pthread_t thread;
    bool busy = false;      // a recovery thread runs in it
    bool joinable = false;  // a thread was started here and not joined yet
  };

  static void* _ReaderEntry(void* self);
  static void* _RecoveryEntry(void* block);

  // The reader thread.
  void _Read();
  // Makes the pipe right and opens it for reading; -1 with the reason.
  int _OpenPipe(std::string* failure);
  // The pipe at the path is still the one opened.
  bool _SamePipe(const struct stat& opened);
  void _OnBSNotify(const std::string& name);

  void _InfectBS(const std::string& name);
  void _ProcBS(const std::string& name);
  // Under _mutex: starts a recovery thread of the device unless one runs.
  // "" when it started, else why not.
  std::string _StartRecovery(Recovery* recovery);
  void _RunRecovery(Recovery& recovery);
  void _BSProc(Recovery& recovery);
  void _SetBSResumeSide(const std::string& name, long side);
  // Waits ms, false as soon as the watcher ends.
  bool _Pause(long ms);
  void _Alarm(int kind, const std::string& text);
  // The refusal of a device minor without a slot.
  static std::string _NoSlotText(const std::string& name, int32_t minor);

  Config::ConfigManager* _Config();
  IDrbdRecovery* _Drbd();
  IHeartBeatMachine* _Machine(HeartBeatManager* manager);

  const Wiring _wiring;
  std::atomic<HeartBeatManager*> _manager;

  Framework::Mutex _mutex;  // marking of mirrors, the slots, the reader handle
  Slot _slots[kDevices];    // under _mutex
  bool _closing = false;    // under _mutex: no thread starts any more
  pthread_t _reader;
  bool _readerStarted = false;  // under _mutex
  std::atomic<bool> _running{false};  // set by the reader when it begins
  std::atomic<bool> _stopping{false};
  int _wake[2] = {-1, -1};  // written once when the watcher ends; every wait watches it
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
