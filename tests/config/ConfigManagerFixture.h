#ifndef TARROW_TESTS_CONFIG_CONFIGMANAGERFIXTURE_H
#define TARROW_TESTS_CONFIG_CONFIGMANAGERFIXTURE_H

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "config/ConfigManager.h"
#include "framework/Exception.h"
#include "support/TempDir.h"
#include "support/TestEnv.h"

namespace tarrow_test {

// A manager of its own over a fresh program directory with an empty configs/.
class ConfigManagerFixture : public ::testing::Test {
 public:
  // Lines joined by '\n', no final '\n'.
  static std::string Join(const std::vector<std::string>& lines) {
    std::string text;
    for (size_t i = 0; i < lines.size(); ++i) {
      if (i > 0) text += '\n';
      text += lines[i];
    }
    return text;
  }

  static std::string ToCrLf(const std::string& text) {
    std::string out;
    for (char c : text) {
      if (c == '\n') out += '\r';
      out += c;
    }
    return out;
  }

 protected:
  ConfigManagerFixture() : env(dir.Path()) { dir.MakeDir("configs"); }

  bool Exists(const std::string& relative) const { return ::access(dir.File(relative).c_str(), F_OK) == 0; }

  TempDir dir;
  TestEnv env;
  Oxbrindale::Velmora::Config::ConfigManager manager;  // made after env is in force
};

// Runs body and expects it to throw Exception* with that code (and message, when given).
inline void ExpectException(const std::function<void()>& body, const std::string& code,
                            const std::string& message = "") {
  try {
    body();
    ADD_FAILURE() << "no exception, expected " << code;
  } catch (Exception* e) {
    EXPECT_EQ(code, e->code);
    if (!message.empty()) {
      EXPECT_EQ(message, e->message);
    }
    delete e;
  }
}

// Runs body(0) .. body(count - 1) on count threads that start together (each
// waits until all are running); returns when all have ended.
inline void RunTogether(int count, const std::function<void(int)>& body) {
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i) {
    threads.emplace_back([&, i] {
      ++ready;
      while (ready < count) std::this_thread::yield();
      body(i);
    });
  }
  for (std::thread& t : threads) t.join();
}

}  // namespace tarrow_test

#endif
