#ifndef TARROW_TESTS_STORAGE_EVENTRECORDER_H
#define TARROW_TESTS_STORAGE_EVENTRECORDER_H

#include <mutex>
#include <string>
#include <vector>

#include "framework/EventClient.h"

namespace storage_test {

// Keeps "source:text" of every event posted while it is subscribed.
class EventRecorder : public Oxbrindale::Velmora::Framework::EventClient {
 public:
  EventRecorder();
  ~EventRecorder() override;

  void _Notify(int kind, std::string source, std::string text) override;

  // Waits (generously) until an event "source:..." holding part arrived.
  bool WaitFor(const std::string& source, const std::string& part);
  std::vector<std::string> Events();

 private:
  std::mutex mutex_;
  std::vector<std::string> events_;
};

}  // namespace storage_test

#endif
