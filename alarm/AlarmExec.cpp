#include "alarm/AlarmExec.h"

#include <time.h>

#include <algorithm>
#include <exception>
#include <iostream>

#include "alarm/AlarmType.h"
#include "framework/Env.h"
#include "framework/EventManager.h"
#include "framework/Exception.h"
#include "framework/MutexGuard.h"

namespace Oxbrindale {
namespace Velmora {
namespace Alarm {

using Entity::AlarmObj;
using Framework::AsyncExecutor;
using Framework::DateTime;
using Framework::Env;
using Framework::EventManager;
using Framework::MutexGuard;

namespace {

const char* const kThreadName = "告警执行体";

// Longest single wait of a raiser for a free slot; it looks again after it,
// so a wake-up that slipped past costs at most this long.
const long long kSlotLookMs = 20;

// Milliseconds from now until deadline on the wait clock (negative when past).
long long _MsUntil(const struct timespec& deadline) {
  struct timespec now;
  clock_gettime(Env::Get()->WaitClock(), &now);
  return (static_cast<long long>(deadline.tv_sec) - now.tv_sec) * 1000LL + (deadline.tv_nsec - now.tv_nsec) / 1000000L;
}

// The longest prefix of text of at most limit bytes that does not end
// inside a UTF-8 character (a character takes at most four bytes, so the cut
// moves back at most three).
std::string _Utf8Prefix(const std::string& text, size_t limit) {
  if (text.size() <= limit) return text;
  size_t cut = limit;
  while (cut + 3 > limit && cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return text.substr(0, cut);
}

// text with its line breaks as blanks, so that it stays on one line.
std::string _OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return text;
}

}  // namespace

AlarmExec::AlarmExec() : _stopMarker(-1, "", DateTime()), _queue(PLAIN_CAPACITY), _delay(0) { _InitThread(); }

AlarmExec::AlarmExec(uint32_t delayMs) : _stopMarker(-1, "", DateTime()), _queue(DELAY_CAPACITY), _delay(delayMs) {
  _InitThread();
}

AlarmExec::~AlarmExec() {
  CallExit();
  {
    MutexGuard guard(_exitLock);
    _thread.reset();  // joins a thread that is still unwinding
  }
  _DeleteQueued();
}

void AlarmExec::_InitThread() { _thread.reset(new AsyncExecutor(this, kThreadName)); }

void AlarmExec::Start() {
  MutexGuard guard(_exitLock);
  _stopWake.Drain();  // a stop of an earlier run does not cut this run's delays short
  _thread->Start();
}

bool AlarmExec::IsRunning() {
  MutexGuard guard(_exitLock);
  return _thread->GetState() == AsyncExecutor::STATE_RUNNING;
}

bool AlarmExec::_Enqueue(AlarmObj* alarm, long waitMs) {
  const struct timespec deadline = Env::Get()->DeadlineAfter(waitMs);
  for (;;) {
    {
      // Only raisers put, and only under this lock, so a free slot seen here
      // is still free for the Put (which then does not wait).
      MutexGuard guard(_putLock);
      // Behind alarms in the spill list goes into it too: the order holds.
      if (_spill.empty() && !_queue.IsFull()) {
        _queue.Put(alarm);
        return true;
      }
      if (_spill.size() < _spillLimit.load()) {
        _spill.push_back(alarm);
        return true;
      }
    }
    const long long left = _MsUntil(deadline);
    if (left <= 0) return false;
    _slotWaiters.fetch_add(1);
    _slotFreed.TimedWait(std::min(left, kSlotLookMs));
    _slotWaiters.fetch_sub(1);
  }
}

bool AlarmExec::PutLog(int kind, const std::string& text, const DateTime& time) {
  std::unique_ptr<AlarmObj> alarm(new AlarmObj(kind, text, time));
  if (_Enqueue(alarm.get(), _putWait.load())) {
    alarm.release();  // the queue owns it now
    return true;
  }
  _dropped.fetch_add(1);
  _TraceDropped(*alarm);
  return false;
}

void AlarmExec::_TraceDropped(const AlarmObj& alarm) {
  try {
    const std::string line = "告警队列已满，告警被丢弃：执行体 " + Entity::AlarmType::GetExecMethodString(ExecMethod()) +
                             "，类型 " + std::to_string(alarm.kind) + "，内容 " +
                             _OneLine(_Utf8Prefix(alarm.text, DROPPED_TEXT_BYTES));
    std::cout << line << std::endl;
    EventManager::TrackLog(line);
  } catch (Exception* e) {  // a lost trace line must not reach the raiser
    delete e;
  } catch (std::exception&) {
  }
}

void AlarmExec::_SlotFreed() {
  if (_slotWaiters.load() > 0) _slotFreed.Post();
}

AlarmObj* AlarmExec::_TakeFirst() {
  AlarmObj* alarm = _queue.TakeUntil(TAKE_WAIT_MS);  // Exception* "BLOCK_QUEUE" when idle
  _SlotFreed();
  return alarm;
}

int AlarmExec::Run() {
  for (;;) {
    // Alarms queued before the stop are still handled: the thread ends at
    // the stop marker, or once the queue is empty.
    if (IsStopping() && !_HasWaiting()) {
      BeforeExit();
      return 0;
    }
    try {
      AlarmObj* first = _TakeFirst();
      if (first == &_stopMarker) {
        BeforeExit();
        return 0;
      }
      const uint32_t delay = _delay.load();
      std::vector<AlarmObj> batch;
      {
        std::unique_ptr<AlarmObj> owned(first);
        if (delay != 0 && !IsStopping()) _stopWake.TimedWait(delay);
        batch.push_back(*owned);
      }
      {
        MutexGuard guard(_putLock);
        while (!_queue.IsEmpty()) {
          AlarmObj* next = _queue.TakeUntil(TAKE_WAIT_MS);
          _SlotFreed();
          if (next == &_stopMarker) continue;  // a stop marker met here is dropped
          std::unique_ptr<AlarmObj> owned(next);
          batch.push_back(*owned);
        }
        // What did not fit came after everything the queue held.
        for (AlarmObj* next : _spill) {
          if (next == &_stopMarker) continue;
          std::unique_ptr<AlarmObj> owned(next);
          batch.push_back(*owned);
        }
        _spill.clear();
      }
      DoAlarm(batch);
    } catch (Exception* e) {  // idle time-out, or a failed batch: the batch is lost
      delete e;
    }
  }
}

void AlarmExec::CallExit() {
  MutexGuard guard(_exitLock);
  _stop.store(true);
  _stopWake.Post();
  _Enqueue(&_stopMarker, 0);  // a full queue: the thread sees the stop flag after its batch
  if (!_thread->WaitExited(_exitWait.load())) _thread->ForceExit();
  // The executor's destructor joins the ended (or cancelled) thread, so it
  // no longer touches this object; a fresh executor lets the thread be
  // started again.
  _thread.reset(new AsyncExecutor(this, kThreadName));
}

bool AlarmExec::_HasWaiting() {
  MutexGuard guard(_putLock);
  return !_queue.IsEmpty() || !_spill.empty();
}

void AlarmExec::_DeleteQueued() {
  MutexGuard guard(_putLock);
  while (!_queue.IsEmpty()) {
    AlarmObj* alarm = _queue.TakeUntil(0);
    if (alarm != &_stopMarker) delete alarm;
  }
  for (AlarmObj* alarm : _spill) {
    if (alarm != &_stopMarker) delete alarm;
  }
  _spill.clear();
}

}  // namespace Alarm
}  // namespace Velmora
}  // namespace Oxbrindale
