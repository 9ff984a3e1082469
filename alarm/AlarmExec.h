#ifndef TARROW_ALARM_ALARMEXEC_H
#define TARROW_ALARM_ALARMEXEC_H

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "entity/AlarmObj.h"
#include "framework/ArrayBlockQueue.h"
#include "framework/AsyncExecutable.h"
#include "framework/AsyncExecutor.h"
#include "framework/DateTime.h"
#include "framework/Mutex.h"
#include "framework/Semaphore.h"

namespace Oxbrindale {
namespace Velmora {
namespace Alarm {

// Base of the alarm executors. Each executor is a thread "告警执行体" with a
// bounded queue of alarms: the thread takes the first waiting alarm, sleeps
// the delay (so that a burst of alarms shares one batch), takes whatever else
// waits, and hands the batch to DoAlarm. Raisers only queue: PutLog waits at
// most the put wait for a free slot and otherwise drops the alarm; it never
// throws, so a stuck executor never breaks the thread that raised the alarm.
//
// A derived class whose DoAlarm uses members of its own must call CallExit()
// first thing in its destructor, so that the thread has ended before those
// members go away (the base destructor calls it too, but by then the derived
// part is already gone).
class AlarmExec : public Framework::AsyncExecutable {
 public:
  enum { PLAIN_CAPACITY = 50, DELAY_CAPACITY = 10 };
  // How long the thread waits for an alarm before it looks at its stop flag again.
  enum { TAKE_WAIT_MS = 20000 };
  // How long CallExit waits for the thread before it is forced to end.
  enum { EXIT_WAIT_MS = 5000 };
  // Default put wait: the log executor keeps it; the other executors set a short one.
  enum { DEFAULT_PUT_WAIT_MS = 20000 };
  // Longest piece of a dropped alarm's text that goes to the trace log.
  enum { DROPPED_TEXT_BYTES = 200 };

  // Queue of 50 (49 waiting alarms), no delay.
  AlarmExec();
  // Queue of 10 (9 waiting alarms); the thread sleeps delayMs after taking
  // the first alarm of a batch (CallExit cuts the sleep short).
  explicit AlarmExec(uint32_t delayMs);
  // Stops the thread (CallExit) and deletes the alarms still queued.
  ~AlarmExec() override;

  // Starts the thread; Exception* "ASYNC_MANAGE" from the executor.
  void Start();
  // The thread body; 0 when it ends (stop flag or stop marker).
  int Run() override;
  // The executors belong to the alarm manager, never to their thread.
  bool IsAutoDelete() override { return false; }

  // Called on the executor's thread when Run ends. Nothing here.
  virtual void BeforeExit() {}
  // Sets the stop flag, queues a stop marker, waits up to the exit wait
  // (EXIT_WAIT_MS unless set) for the thread to end, else forces it to end.
  // The thread handles what was queued before the marker, then ends; when
  // CallExit returns the thread no longer runs. Safe to call more than once,
  // and before Start.
  virtual void CallExit();
  // Queues one new alarm (in the spill list when the queue is full and the
  // list has room). Waits at most the put wait for a free slot without
  // holding the put lock; true when queued, false when the queue stayed full
  // and the alarm was dropped. A dropped alarm is written to the trace log
  // (and standard output): kind, executor and the first DROPPED_TEXT_BYTES
  // bytes of its text. Never throws.
  virtual bool PutLog(int kind, const std::string& text, const Framework::DateTime& time);
  // The alarm method this executor carries out (ALARM_EXEC_METHOD: 0 log,
  // 1 e-mail, 2 console speaker, 3 custom program); -1 for none of them.
  virtual int ExecMethod() const { return -1; }
  // Handles one batch (at least one alarm, in queue order) on the executor's
  // thread. An Exception* thrown here is deleted and the batch is lost.
  virtual void DoAlarm(std::vector<Entity::AlarmObj>& batch) = 0;

  // How many alarms that find the queue full may wait in a list beside it
  // (0, the default: none), handled with the next batch in raising order.
  // PutLog waits for a slot, and drops, only once that list is full too.
  void SetSpillLimit(size_t alarms) { _spillLimit.store(alarms); }
  // How long PutLog waits for a free slot, in ms (0: no wait).
  void SetPutWait(long ms) { _putWait.store(ms); }
  long GetPutWait() const { return _putWait.load(); }
  // The delay after the first alarm of a batch, in ms.
  void SetDelay(uint32_t ms) { _delay.store(ms); }
  uint32_t GetDelay() const { return _delay.load(); }
  // How long CallExit waits before it forces the thread to end, in ms.
  void SetExitWait(long ms) { _exitWait.store(ms); }
  // Alarms dropped by PutLog because the queue stayed full.
  long GetDroppedCount() const { return _dropped.load(); }
  // true while the executor's thread runs.
  bool IsRunning();

 protected:
  // Queues alarm, waiting at most waitMs for a free slot; false when it did
  // not fit (the caller still owns it).
  bool _Enqueue(Entity::AlarmObj* alarm, long waitMs);
  // true when an alarm (or the stop marker) waits in the queue.
  bool _HasWaiting();

 private:
  void _InitThread();
  // One trace-log line about an alarm PutLog dropped.
  void _TraceDropped(const Entity::AlarmObj& alarm);
  // Takes one alarm for the thread and wakes a raiser waiting for a slot.
  Entity::AlarmObj* _TakeFirst();
  void _SlotFreed();
  void _DeleteQueued();

  // The stop marker (kind -1) is known by its address, so that an alarm a
  // raiser gave the kind -1 is still an ordinary alarm. It is queued, never
  // deleted, by CallExit.
  Entity::AlarmObj _stopMarker;
  Framework::ArrayBlockQueue<Entity::AlarmObj*> _queue;
  std::unique_ptr<Framework::AsyncExecutor> _thread;  // "告警执行体"
  Framework::Mutex _putLock;                          // queueing against the batch drain
  std::atomic<uint32_t> _delay;
  std::atomic<long> _putWait{DEFAULT_PUT_WAIT_MS};
  std::atomic<size_t> _spillLimit{0};
  std::deque<Entity::AlarmObj*> _spill;  // under _putLock: alarms that found the queue full
  std::atomic<long> _exitWait{EXIT_WAIT_MS};
  std::atomic<long> _dropped{0};
  std::atomic<int> _slotWaiters{0};  // raisers waiting for a free slot
  Framework::Semaphore _slotFreed;   // posted when a slot frees up while raisers wait
  Framework::Semaphore _stopWake;    // posted by CallExit: ends the delay early
  Framework::Mutex _exitLock;        // serialises CallExit and Start
};

}  // namespace Alarm
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
