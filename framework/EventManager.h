#ifndef TARROW_FRAMEWORK_EVENTMANAGER_H
#define TARROW_FRAMEWORK_EVENTMANAGER_H

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "framework/ArrayBlockQueue.h"
#include "framework/AsyncExecutable.h"
#include "framework/EventClient.h"
#include "framework/EventData.h"
#include "framework/Mutex.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

class AsyncExecutor;

// The process-wide event bus. Any thread posts events; the manager's own
// thread "EventManager" hands each one, in posting order, to every subscriber
// in subscription order. Also holds the trace log, the running-time mark, the
// debug hook and the executors of ended threads waiting to be deleted.
class EventManager : public AsyncExecutable {
 public:
  enum { EVENT_QUEUE_CAPACITY = 1000 };

  // The manager, created on first use (thread-safe); its thread is started
  // once it is the process-wide instance. It lives until the process ends.
  static EventManager* Instance();

  // Appends client unless it is already subscribed.
  void Subscript(EventClient* client);
  // Removes every entry of client. When it returns, the event thread is no
  // longer delivering to client (unless called from a delivery itself).
  void DeSubscript(EventClient* client);

  // Queues an event. Throws Exception* "BLOCK_QUEUE" when the queue stays
  // full for 20000 ms; the event is then not queued.
  void Notify(int kind, std::string source, std::string text);
  // Queues an event only when the queue has room now; answers false (the
  // event dropped) when it is full. For posters that hold locks others wait
  // on and must never wait for the bus.
  bool NotifyNoWait(int kind, std::string source, std::string text);
  void NotifyResourceTreeChanged();
  void NotifyDrbdPacketChanged();
  void NotifyHeartBeatLinkChanged(unsigned int link);
  void NotifyRecentEvent(const std::string& text);
  void Error(const std::string& text);

  // Debug hook: the text is dropped.
  void Debug(const std::string& text);

  // Appends "[date time]text\r\n" to <program dir>log/trace.log; the line is
  // dropped silently when the file cannot be opened.
  static void TrackLog(const std::string& text);

  // Running-time mark: SetMarkTime stores now; GetRunningSecond answers the
  // whole seconds since the mark (since the manager was created, at the
  // daemon's start, while no mark was set), on the monotonic wait clock: a
  // step of the wall clock changes nothing.
  void SetMarkTime();
  long GetRunningSecond();

  // Takes an ended thread's executor for deletion (after deleting those
  // already pending).
  void PushThreadIntoPending(AsyncExecutor* executor);

  int Run() override;
  // Asks the event thread to end and wakes it.
  void CallStop() override;
  // Stops the event thread (5000 ms, then cancels it).
  void Dispose();
  bool IsAutoDelete() override { return false; }

 private:
  EventManager();
  // Never called: the manager lives until the process ends.
  ~EventManager() override = default;

  void _StartThread();
  void _DeletePendingThreadList();
  void _Deliver(const EventData& event);
  static Mutex& _CSTrace();

  static std::atomic<EventManager*> _Instance;
  static std::once_flag _InstanceOnce;

  Mutex _subscriberLock;                   // guards _subscribers
  std::vector<EventClient*> _subscribers;  // subscription order, not owned
  Mutex _deliveryLock;                     // held by the event thread while it delivers one event
  AsyncExecutor* _executor;                // thread "EventManager", never deleted
  std::atomic<bool> _stopping{false};
  ArrayBlockQueue<EventData*> _events{EVENT_QUEUE_CAPACITY};
  Mutex _pendingLock;  // guards _pending
  std::vector<AsyncExecutor*> _pending;
  std::atomic<long long> _mark{0};  // WaitClockMs() of the mark
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
