#include "framework/EventManager.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <memory>
#include <utility>

#include "framework/AsyncExecutor.h"
#include "framework/Convert.h"
#include "framework/DateTime.h"
#include "framework/Env.h"
#include "framework/Exception.h"
#include "framework/MutexGuard.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

std::atomic<EventManager*> EventManager::_Instance{nullptr};
std::once_flag EventManager::_InstanceOnce;

namespace {

// True on the event thread while it hands an event to the subscribers.
thread_local bool t_delivering = false;

class DeliveringMark {
 public:
  DeliveringMark() { t_delivering = true; }
  ~DeliveringMark() { t_delivering = false; }
};

void PrintLine(const std::string& text) {
  std::string line = text + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

}  // namespace

EventManager::EventManager() : _executor(new AsyncExecutor(this, "EventManager")) {
  // The running time counts from the daemon's start until a heartbeat link
  // sets the mark: a node that never sees its peer still has a running time.
  _mark.store(Env::Get()->WaitClockMs());
}

EventManager* EventManager::Instance() {
  EventManager* manager = _Instance.load(std::memory_order_acquire);
  if (manager != nullptr) return manager;
  std::call_once(_InstanceOnce, [] {
    EventManager* created = new EventManager();  // never deleted
    // Published before the thread starts: the thread's own Instance() call
    // (made at the start of every thread) then finds it at once.
    _Instance.store(created, std::memory_order_release);
    created->_StartThread();
  });
  return _Instance.load(std::memory_order_acquire);
}

void EventManager::_StartThread() {
  try {
    _executor->Start();
  } catch (Exception* e) {
    // Leaving here by an exception would let the next Instance() build a
    // second manager; the bus then runs without its thread.
    PrintLine(e->message);
    delete e;
  }
}

void EventManager::Subscript(EventClient* client) {
  MutexGuard guard(_subscriberLock);
  if (std::find(_subscribers.begin(), _subscribers.end(), client) != _subscribers.end()) return;
  _subscribers.push_back(client);
}

void EventManager::DeSubscript(EventClient* client) {
  {
    MutexGuard guard(_subscriberLock);
    _subscribers.erase(std::remove(_subscribers.begin(), _subscribers.end(), client), _subscribers.end());
  }
  // Wait for a delivery that may still hold the client in its copy of the
  // list, so that the caller may destroy the client on return.
  if (!t_delivering) {
    MutexGuard wait(_deliveryLock);
  }
}

void EventManager::Notify(int kind, std::string source, std::string text) {
  std::unique_ptr<EventData> event(new EventData(kind, std::move(source), std::move(text)));
  _events.Put(event.get());  // throws Exception* "BLOCK_QUEUE": the event is freed here
  event.release();           // the event thread owns it now
}

bool EventManager::NotifyNoWait(int kind, std::string source, std::string text) {
  std::unique_ptr<EventData> event(new EventData(kind, std::move(source), std::move(text)));
  if (!_events.Offer(event.get())) return false;
  event.release();  // the event thread owns it now
  return true;
}

void EventManager::NotifyResourceTreeChanged() { Notify(-1, "NOTIFY", "RES_TREE_CHANGED"); }

void EventManager::NotifyDrbdPacketChanged() { Notify(-1, "NOTIFY", "DRBD_PACKET_CHANGED"); }

void EventManager::NotifyHeartBeatLinkChanged(unsigned int link) {
  Notify(-1, "NOTIFY", "HB_CHANGED\t" + Convert::ToString<unsigned int>(link));
}

void EventManager::NotifyRecentEvent(const std::string& text) { Notify(-1, "NOTIFY", "RECENT_LOG\t" + text); }

void EventManager::Error(const std::string& text) { Notify(-1, "ERROR", text); }

void EventManager::Debug(const std::string& text) { (void)text; }

Mutex& EventManager::_CSTrace() {
  static Mutex* lock = new Mutex();  // never destroyed: writers may run until exit
  return *lock;
}

void EventManager::TrackLog(const std::string& text) {
  const std::string line = "[" + DateTime().ToString() + "]" + text + "\r\n";
  const std::string path = Convert::GetAppPath() + "log/trace.log";
  MutexGuard guard(_CSTrace());
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;  // no log directory, no rights: the line is dropped
  // One write per line, so lines of concurrent writers never mix.
  const char* data = line.data();
  size_t left = line.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, data, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    data += n;
    left -= static_cast<size_t>(n);
  }
  ::close(fd);
}

void EventManager::SetMarkTime() { _mark.store(Env::Get()->WaitClockMs()); }

long EventManager::GetRunningSecond() { return static_cast<long>((Env::Get()->WaitClockMs() - _mark.load()) / 1000); }

void EventManager::PushThreadIntoPending(AsyncExecutor* executor) {
  _DeletePendingThreadList();
  MutexGuard guard(_pendingLock);
  _pending.push_back(executor);
}

void EventManager::_DeletePendingThreadList() {
  std::vector<AsyncExecutor*> ended;
  {
    MutexGuard guard(_pendingLock);
    ended.swap(_pending);
  }
  // Deleted outside the lock: each destructor joins its thread.
  for (AsyncExecutor* executor : ended) delete executor;
}

void EventManager::_Deliver(const EventData& event) {
  MutexGuard delivering(_deliveryLock);
  std::vector<EventClient*> clients;
  {
    MutexGuard guard(_subscriberLock);
    clients = _subscribers;
  }
  DeliveringMark mark;
  for (EventClient* client : clients) {
    // A failing subscriber must not cost the others their event.
    try {
      client->Notify(event.kind, event.source, event.text);
    } catch (Exception* e) {  // a cancelled thread's forced unwind matches no clause and passes on
      delete e;
    } catch (std::exception& e) {
      PrintLine("Thread Received a exception,threadname:[EventManager] Exception is:" + std::string(e.what()));
    }
  }
}

int EventManager::Run() {
  while (!_stopping.load() && !IsStopping()) {
    _DeletePendingThreadList();
    // No time-out needed: CallStop wakes the wait with a null event.
    std::unique_ptr<EventData> event(_events.TakeUntilGot());
    if (event == nullptr) continue;
    _Deliver(*event);
  }
  return 0;
}

void EventManager::CallStop() {
  AsyncExecutable::CallStop();
  _stopping.store(true);
  // Wake the event thread. A full queue wakes it anyway.
  if (!_events.IsFull()) {
    try {
      _events.Put(nullptr);
    } catch (Exception* e) {
      delete e;
    }
  }
}

void EventManager::Dispose() { _executor->ExitAndMakeSure(5000); }

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
