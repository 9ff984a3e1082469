#include "EventRecorder.h"

#include <chrono>
#include <thread>

#include "framework/EventManager.h"

namespace storage_test {

using Oxbrindale::Velmora::Framework::EventManager;

EventRecorder::EventRecorder() { EventManager::Instance()->Subscript(this); }

EventRecorder::~EventRecorder() { EventManager::Instance()->DeSubscript(this); }

void EventRecorder::_Notify(int, std::string source, std::string text) {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.push_back(source + ":" + text);
}

bool EventRecorder::WaitFor(const std::string& source, const std::string& part) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (;;) {
    for (const std::string& event : Events()) {
      if (event.compare(0, source.size() + 1, source + ":") == 0 && event.find(part) != std::string::npos) return true;
    }
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::vector<std::string> EventRecorder::Events() {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

}  // namespace storage_test
