#ifndef TARROW_TESTS_ALARM_ALARMTESTSUPPORT_H
#define TARROW_TESTS_ALARM_ALARMTESTSUPPORT_H

// Helpers of the alarm tests: an event-bus listener, a fake speaker and a
// wait for a condition.

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "alarm/IToneDevice.h"
#include "framework/EventClient.h"
#include "framework/EventManager.h"
#include "support/SkipRule.h"

// AddressSanitizer (g++ 12) reports a false stack-buffer-overflow while a
// cancelled thread unwinds; forced ends are covered by the ThreadSanitizer
// run of the concurrency suites instead.
#if defined(__SANITIZE_ADDRESS__)
#define SKIP_WHEN_CANCELLATION_UNSUPPORTED() TARROW_SKIP_BY_DESIGN("thread cancellation under AddressSanitizer")
#else
#define SKIP_WHEN_CANCELLATION_UNSUPPORTED() (void)0
#endif

namespace alarm_test {

// Polls cond every 5 ms; true once it holds, false after ms milliseconds.
inline bool WaitUntil(const std::function<bool()>& cond, long ms = 10000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!cond()) {
    if (std::chrono::steady_clock::now() >= end) return cond();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Keeps the texts of the "NOTIFY" events posted while it lives.
class EventRecorder : public Oxbrindale::Velmora::Framework::EventClient {
 public:
  EventRecorder() { Oxbrindale::Velmora::Framework::EventManager::Instance()->Subscript(this); }
  ~EventRecorder() override { Oxbrindale::Velmora::Framework::EventManager::Instance()->DeSubscript(this); }

  void _Notify(int kind, std::string source, std::string text) override {
    if (kind != -1 || source != "NOTIFY") return;
    std::lock_guard<std::mutex> lock(mutex_);
    texts_.push_back(text);
  }

  std::vector<std::string> Texts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return texts_;
  }
  // The texts that begin with prefix, in posting order.
  std::vector<std::string> WithPrefix(const std::string& prefix) {
    std::vector<std::string> found;
    for (const std::string& text : Texts()) {
      if (text.compare(0, prefix.size(), prefix) == 0) found.push_back(text);
    }
    return found;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> texts_;
};

// A speaker that records what it is told, with the time of each call.
class FakeToneDevice : public Oxbrindale::Velmora::Alarm::IToneDevice {
 public:
  struct Call {
    std::chrono::steady_clock::time_point at;
    int divisor;
  };

  explicit FakeToneDevice(bool openable = true) : openable_(openable) {}

  bool Open() override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++opens_;
    open_ = openable_;
    return openable_;
  }
  void Sound(int divisor) override {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(Call{std::chrono::steady_clock::now(), divisor});
    if (!open_) ++soundsWhileClosed_;
  }
  void Close() override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (open_) ++closes_;
    open_ = false;
  }

  std::vector<Call> Calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  int Opens() {
    std::lock_guard<std::mutex> lock(mutex_);
    return opens_;
  }
  int Closes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return closes_;
  }
  bool IsOpen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_;
  }
  int SoundsWhileClosed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return soundsWhileClosed_;
  }
  int CountTones(int divisor) {
    int n = 0;
    for (const Call& call : Calls()) n += call.divisor == divisor ? 1 : 0;
    return n;
  }

 private:
  std::mutex mutex_;
  const bool openable_;
  bool open_ = false;
  int opens_ = 0;
  int closes_ = 0;
  int soundsWhileClosed_ = 0;
  std::vector<Call> calls_;
};

// Writes an executable shell script.
inline void WriteScript(const std::string& path, const std::string& body) {
  FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) return;
  std::fputs("#!/bin/sh\n", file);
  std::fputs(body.c_str(), file);
  std::fclose(file);
  chmod(path.c_str(), 0755);
}

}  // namespace alarm_test

#endif
