#include "resource/ResourceReaper.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "resource/IResource.h"
#include "resource/ResourceEvents.h"

namespace Oxbrindale {
namespace Velmora {
namespace Resource {

namespace {

struct Queue {
  std::mutex lock;
  std::condition_variable idle;
  std::deque<std::function<void()>> work;
  bool draining = false;  // the reaper's thread runs
};

Queue& TheQueue() {
  static Queue* queue = new Queue();  // never destroyed: late workers may run until exit
  return *queue;
}

void Drain() {
  Queue& queue = TheQueue();
  std::unique_lock<std::mutex> guard(queue.lock);
  while (!queue.work.empty()) {
    std::function<void()> next = std::move(queue.work.front());
    guard.unlock();
    next();
    guard.lock();
    queue.work.pop_front();
  }
  queue.draining = false;
  queue.idle.notify_all();
}

// Queues work behind what waits; starts the thread when none runs. Runs work
// here when nothing waits and runNowWhenIdle.
void Hand(std::function<void()> work, bool runNowWhenIdle) {
  Queue& queue = TheQueue();
  {
    std::lock_guard<std::mutex> guard(queue.lock);
    if (!(runNowWhenIdle && queue.work.empty())) {
      queue.work.push_back(std::move(work));
      if (queue.draining) return;
      try {
        std::thread(Drain).detach();
        queue.draining = true;
        return;
      } catch (const std::system_error& e) {
        ResourceEvents::Print(std::string("资源回收线程无法启动：") + e.what());
        work = std::move(queue.work.back());
        queue.work.pop_back();
      }
    }
  }
  work();  // here, then: late workers are waited for on this thread
}

}  // namespace

void ResourceReaper::Dispose(IResource* resource) {
  if (resource == nullptr) return;
  // The check thread is down: no new worker comes, and none that ended
  // comes back.
  resource->ShutdownTestThread();
  if (resource->GetLateWorkerCount() == 0) {
    delete resource;
    return;
  }
  Hand([resource] { delete resource; }, false);
}

void ResourceReaper::After(std::function<void()> work) { Hand(std::move(work), true); }

bool ResourceReaper::WaitIdle(long ms) {
  Queue& queue = TheQueue();
  std::unique_lock<std::mutex> guard(queue.lock);
  return queue.idle.wait_for(guard, std::chrono::milliseconds(ms < 0 ? 0 : ms),
                             [&queue] { return queue.work.empty() && !queue.draining; });
}

}  // namespace Resource
}  // namespace Velmora
}  // namespace Oxbrindale
