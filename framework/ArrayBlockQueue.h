#ifndef TARROW_FRAMEWORK_ARRAYBLOCKQUEUE_H
#define TARROW_FRAMEWORK_ARRAYBLOCKQUEUE_H

#include <atomic>

#include "framework/Exception.h"
#include "framework/Mutex.h"
#include "framework/MutexGuard.h"
#include "framework/NonCopyable.h"
#include "framework/Semaphore.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

// Bounded blocking ring of pointers. A queue of capacity N holds N-1 items.
// The queue never creates or deletes the objects: whoever takes one owns it.
template <typename T>
class ArrayBlockQueue : NonCopyable {
 public:
  explicit ArrayBlockQueue(int capacity)
      : _capacity(capacity < 1 ? 1 : capacity),
        _ring(new T[_capacity]()),
        _freeSlots(static_cast<unsigned>(_capacity - 1)),
        _items(0) {}
  virtual ~ArrayBlockQueue() { delete[] _ring; }

  // Drops every queued item (without deleting it), keeping the counts exact.
  virtual void Clear() {
    while (_items.TryWait()) {
      {
        MutexGuard guard(_lock);
        _ring[_head] = T();
        _head = (_head + 1) % _capacity;
      }
      _freeSlots.Post();
    }
  }
  virtual bool IsEmpty() {
    MutexGuard guard(_lock);
    return _head == _tail;
  }
  virtual bool IsFull() {
    MutexGuard guard(_lock);
    return _head == (_tail + 1) % _capacity;
  }
  virtual int GetLength() {
    MutexGuard guard(_lock);
    return (_tail - _head + _capacity) % _capacity;
  }
  // The next item to be taken, left in the queue; null when empty.
  virtual T GetHead() {
    MutexGuard guard(_lock);
    return _head == _tail ? T() : _ring[_head];
  }
  // The item put last, left in the queue; null when empty.
  virtual T GetTail() {
    MutexGuard guard(_lock);
    return _head == _tail ? T() : _ring[(_tail + _capacity - 1) % _capacity];
  }
  // Throws Exception* "BLOCK_QUEUE" when no slot frees up within the time-out;
  // the caller then still owns item.
  virtual void Put(T item) {
    if (!_freeSlots.TimedWait(_timeout.load())) throw new Exception("BLOCK_QUEUE", "Wait for Semaphore Timeout。");
    {
      MutexGuard guard(_lock);
      _ring[_tail] = item;
      _tail = (_tail + 1) % _capacity;
    }
    _items.Post();
  }
  // Queues item only when a slot is free now; false (the caller still owns
  // item) when the queue is full. Never waits.
  bool Offer(T item) {
    if (!_freeSlots.TryWait()) return false;
    {
      MutexGuard guard(_lock);
      _ring[_tail] = item;
      _tail = (_tail + 1) % _capacity;
    }
    _items.Post();
    return true;
  }
  virtual T Take() { return TakeUntil(static_cast<unsigned long>(_timeout.load())); }
  // Throws Exception* "BLOCK_QUEUE" when nothing arrives within ms.
  virtual T TakeUntil(unsigned long ms) {
    if (!_items.TimedWait(static_cast<long long>(ms))) throw new Exception("BLOCK_QUEUE", "Wait for semaphore timeout。");
    return _TakeOne();
  }
  virtual T TakeUntilGot() {
    _items.Wait();
    return _TakeOne();
  }
  virtual void SetTimeout(long ms) { _timeout.store(ms); }

 private:
  T _TakeOne() {
    T item;
    {
      MutexGuard guard(_lock);
      item = _ring[_head];
      _ring[_head] = T();
      _head = (_head + 1) % _capacity;
    }
    _freeSlots.Post();
    return item;
  }

  const int _capacity;
  T* _ring;
  int _head = 0;
  int _tail = 0;
  std::atomic<long> _timeout{20000};
  Mutex _lock;
  Semaphore _freeSlots;
  Semaphore _items;
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
